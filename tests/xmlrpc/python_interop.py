#!/usr/bin/env python3
"""Interoperability of our XML-RPC documents with Python's xmlrpc.client.

Documents written by xmlrpc.client.dumps must read to the same values with our readers, and
the documents we write must read to the same values with xmlrpc.client.loads.

usage: python_interop.py INTEROP_TOOL
"""
import json
import math
import os
import subprocess
import sys
import tempfile
import xmlrpc.client as xc

from interop_checks import check, finish

TOOL = sys.argv[1]

CALL_PARAMS = [
    0, -5, 2**31 - 1, -2**31,
    "", "plain", "a<b&c>d", "a&lt;b", "quote\"'s", "Привет, мир", "line1\nline2",
    "  padded  ", "tab\there", "中文 and ‰",
    "  ", "\n", "\t", ["  ", "\n", "\t"], {"blank": "  ", "line": "\n", "tab": "\t"},
    1.5, -0.25, 1e20, 1.5e-7, 3.14159265358979, 0.0,
    True, False,
    xc.DateTime("20260131T07:05:09"), xc.DateTime("00010101T00:00:00"),
    xc.Binary(bytes(range(256))), xc.Binary(bytes(58)), xc.Binary(b"\x00"),
    [1, "two", [3.5, {"k": "v"}], []],
    {"A": 1, "a": 2, "Имя": "значение", "nested": {"list": [True, xc.Binary(b"\x00\x01")]}},
    {},
]
# A typical answer of the link and a few single values.
RESPONSES = [True, "001A2B3C0000", 7, [{"ID": 1, "Port": 3, "Auto": True, "Type": "RS232",
                                       "ComSpeed": 9600}], {"MAC": "001A2B3C0000"},
             "  ", "\n", "\t", ["  ", "\t"], {"k": "\n"}]
FAULT = xc.Fault(1002, "bad <md5> & Привет")



def ours(value):
    """A Python value in the tool's JSON form; characters Windows-1251 lacks stay references."""
    if isinstance(value, bool):
        return {"t": "boolean", "v": value}
    if isinstance(value, int):
        return {"t": "int", "v": value}
    if isinstance(value, float):
        return {"t": "double", "v": value}
    if isinstance(value, str):
        return {"t": "string", "v": value.encode("cp1251", "xmlcharrefreplace").decode("cp1251")}
    if isinstance(value, xc.DateTime):
        return {"t": "date", "v": value.value}
    if isinstance(value, xc.Binary):
        return {"t": "base64", "v": value.data.hex()}
    if isinstance(value, list):
        return {"t": "array", "v": [ours(v) for v in value]}
    if isinstance(value, dict):
        return {"t": "struct", "v": [[k, ours(v)] for k, v in value.items()]}
    raise TypeError(value)


def same(a, b):
    """Equality, floats to the fifteen digits our documents carry."""
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=1e-14, abs_tol=0.0)
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, xc.DateTime) and isinstance(b, xc.DateTime):
        return a.value == b.value
    if isinstance(a, xc.Binary) and isinstance(b, xc.Binary):
        return a.data == b.data
    return type(a) is type(b) and a == b


def run(mode, document):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(document)
        path = f.name
    try:
        r = subprocess.run([TOOL, mode, path], capture_output=True, timeout=30)
    finally:
        os.unlink(path)
    if r.returncode != 0:
        raise RuntimeError(f"{mode}: {r.stderr.decode(errors='replace')}")
    return r.stdout


def encoded(document, encoding):
    return document.encode(encoding or "utf-8", "xmlcharrefreplace")


for encoding in (None, "windows-1251"):
    tag = encoding or "utf-8"
    call = encoded(xc.dumps(tuple(CALL_PARAMS), "SendData", encoding=encoding), encoding)
    got = json.loads(run("parse-call", call))
    check(f"{tag}: call method", got["method"] == "SendData", got["method"])
    check(f"{tag}: call params", same(got["params"], [ours(v) for v in CALL_PARAMS]),
          json.dumps(got["params"], ensure_ascii=False))
    for i, (mine, theirs) in enumerate(zip(got["params"], CALL_PARAMS)):
        check(f"{tag}: call param {i}", same(mine, ours(theirs)), f"{mine} != {ours(theirs)}")

    params, method = xc.loads(run("echo-call", call))
    check(f"{tag}: our call read by Python", method == "SendData" and same(list(params),
                                                                           CALL_PARAMS),
          repr(params))

    for value in RESPONSES:
        answer = encoded(xc.dumps((value,), methodresponse=True, encoding=encoding), encoding)
        got = json.loads(run("parse-response", answer))
        check(f"{tag}: response {value!r}", same(got, ours(value)), json.dumps(got))
        back, _ = xc.loads(run("echo-response", answer))
        check(f"{tag}: our response {value!r} read by Python", same(back[0], value), repr(back))

    fault = encoded(xc.dumps(FAULT, methodresponse=True, encoding=encoding), encoding)
    got = json.loads(run("parse-response", fault))
    check(f"{tag}: fault", got == {"t": "fault", "code": 1002, "text": FAULT.faultString},
          json.dumps(got, ensure_ascii=False))
    try:
        xc.loads(run("echo-response", fault))
        check(f"{tag}: our fault read by Python", False, "no Fault raised")
    except xc.Fault as f:
        check(f"{tag}: our fault read by Python",
              f.faultCode == 1002 and f.faultString == FAULT.faultString, repr(f))

finish("python interop")

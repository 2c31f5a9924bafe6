#!/usr/bin/env python3
"""Python's xmlrpc.client against our XML-RPC server, and our client's asynchronous calls
against Python's SimpleXMLRPCServer.

usage: python_server_interop.py SERVER_TOOL
"""
import socket
import subprocess
import sys
import threading
import time
import random
import xmlrpc.client as xc
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

from interop_checks import check, finish, md5_text

SERVER_NAME = "KavexXMLRPC/1.10 (Windows NT) ZEMRA-KAVEX v1.10"


def fault_of(call):
    try:
        call()
    except xc.Fault as f:
        return f.faultCode, f.faultString
    return None


def raw(port, request, shut=False):
    """Sends request bytes on a new connection; returns everything until the server closes or
    one complete counted answer has come."""
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    s.sendall(request)
    if shut:
        s.shutdown(socket.SHUT_WR)
    data = b""
    while True:
        if b"\r\n\r\n" in data:
            head, _, body = data.partition(b"\r\n\r\n")
            for line in head.split(b"\r\n"):
                if line.lower().startswith(b"content-length:"):
                    if len(body) >= int(line.split(b":")[1]):
                        s.close()
                        return head.decode(), body, False
        chunk = s.recv(65536)
        if not chunk:
            s.close()
            head, _, body = data.partition(b"\r\n\r\n")
            return head.decode(), body, True
        data += chunk


def post(body, digest=None, length=None):
    head = "POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
    head += "Content-Length: %d\r\n" % (len(body) if length is None else length)
    if digest is not None:
        head += "Content-MD5: %s\r\n" % digest
    return head.encode() + b"\r\n" + body


def fault_body(body):
    try:
        xc.loads(body)
    except xc.Fault as f:
        return f.faultCode
    return None


def main():
    tool = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        port = int(tool.stdout.readline())
        run(port)
    finally:
        tool.stdin.close()
        check("tool exits", tool.wait(timeout=30) == 0)
    async_to_python(sys.argv[1])
    finish("python server interop")


def async_to_python(tool):
    class H(SimpleXMLRPCRequestHandler):
        protocol_version = "HTTP/1.1"

    def echo(text):
        time.sleep(random.random() * 0.005)
        return text

    server = SimpleXMLRPCServer(("127.0.0.1", 0), requestHandler=H, logRequests=False)
    server.register_function(echo, "Echo")
    threading.Thread(target=server.serve_forever, daemon=True).start()
    n = 30
    out = subprocess.run([tool, "async", str(server.server_address[1]), str(n)],
                         capture_output=True, timeout=120, text=True)
    server.shutdown()
    lines = out.stdout.splitlines()
    check("async calls to Python's server", out.returncode == 0 and
          lines == ["call %d %s" % (i, "last" if i == n - 1 else "-") for i in range(n)],
          out.stdout + out.stderr)


def run(port):
    p = xc.ServerProxy("http://127.0.0.1:%d/RPC2" % port)
    check("method", p.Add(2, 3) == 5)
    check("method, other letter case", p.add(-7, 3) == -4)
    for v in ["Привет, мир", "a<b&c", 7, 2.5, True, [1, "x", {"k": [2]}], {"a": "b"}]:
        check("echo %r" % (v,), p.Echo(v) == v, repr(p.Echo(v)))
    check("caller info", p.Caller() == "127.0.0.1")
    check("listMethods", p.system.listMethods() ==
          ["system.listMethods", "system.methodHelp", "system.methodSignature",
           "Add", "Echo", "Caller", "Fail", "NotImplemented"], p.system.listMethods())
    helps = {"system.listMethods": "Returns a list  of all methods registered with the server",
             "system.methodHelp": "Returns any help text supplied for this method",
             "system.methodSignature": "Returns a array of know signatures for this method",
             "  Add ": "Adds two integers", "unknown": "unknown"}
    for name, text in helps.items():
        check("methodHelp " + name, p.system.methodHelp(name) == text, p.system.methodHelp(name))
    sigs = {"system.listMethods": [["array (no params)"]],
            "system.methodHelp": [["string (string method_name)"]],
            "system.methodSignature": [["array of arrays (string method_name)"]],
            "Add": [["int (int, int)"]], "unknown": [[]]}
    for name, value in sigs.items():
        got = p.system.methodSignature(name)
        check("methodSignature " + name, got == value, got)
    check("unknown method", fault_of(lambda: p.Nothing(1)) ==
          (1000, "Requested method was not registered on the server: Nothing"))
    check("item without handler", fault_of(lambda: p.NotImplemented())[0] == 1000)
    check("handler raises", fault_of(lambda: p.Fail()) == (1001, "boom"))
    check("AsyncResult without parameters", fault_of(lambda: p.AsyncResult()) ==
          (1003, "Too few parameters in AsyncResult"))
    check("AsyncResult, no name", fault_of(lambda: p.AsyncResult(5, "x")) ==
          (1004, "First parameter should be async method name"))
    check("AsyncResult", p.AsyncResult("Method", 1) == "got Method")

    call = xc.dumps((4, 5), "Add").encode()
    good = md5_text(call)
    head, body, closed = raw(port, post(call, good))
    check("answer head", head.split("\r\n") == [
        "HTTP/1.1 200 OK", "Connection: Keep-Alive", "Content-Length: %d" % len(body),
        "Content-Type: text/xml",
        "Content-MD5: " + md5_text(body),
        "Server:  " + SERVER_NAME], head)
    check("answer", xc.loads(body)[0] == (9,))
    head, body, closed = raw(port, post(call, good.lower()))
    check("digest compared in upper case", fault_body(body) is None)
    head, body, closed = raw(port, post(call, "AAAAAAAAAAAAAAAAAAAAAA=="))
    check("wrong digest", fault_body(body) == 1002)
    head, body, closed = raw(port, post(call[:20] + b"\0" + call[21:]))
    check("NUL in the body", fault_body(body) == 1001)
    head, body, closed = raw(port, post(call, length=len(call) + 50), shut=True)
    check("short body", fault_body(body) == 1001, (head, body))
    head, body, closed = raw(port, post(b"", length=1 << 30), shut=True)
    check("oversized length", fault_body(body) == 1001, (head, body))
    # A POST with no body runs nothing and gets nothing: the connection closes.
    head, body, closed = raw(port, post(b""))
    check("Content-Length 0", closed and head == "" and body == b"", (head, body, closed))
    head, body, closed = raw(port, b"GET /where?x HTTP/1.1\r\nHost: h\r\n\r\n")
    text = body.decode()
    check("GET head", head.split("\r\n") == [
        "HTTP/1.1 200 OK", "Connection: Keep-Alive", "Content-Length: %d" % len(body),
        "Content-Type: text/plain", "Server: " + SERVER_NAME], head)
    check("GET help", text.startswith("Kavex XML RPC Server received the following request "
                                      "without a XML RPC command:\r\n\r\nGET /where?x HTTP/1.1")
          and "Current URL is: /where?x\r\n" in text
          and "  system.methodSignature and system.methodHelp\r\n" in text, text)
    # After the help the server closes.
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    s.sendall(b"GET / HTTP/1.1\r\n\r\n")
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    check("GET then close", data.startswith(b"HTTP/1.1 200 OK"))


main()

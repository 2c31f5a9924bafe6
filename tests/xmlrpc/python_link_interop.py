#!/usr/bin/env python3
"""Our client and the link's callback server against Python's standard xmlrpc as a peer.

1. Our client calls a Python SimpleXMLRPCServer (HTTP/1.1, threaded) that checks every
   request's Content-MD5 and sees one connection for all the calls.
2. Python's ServerProxy calls the link's callback server: "OnMethodData" is served, a wrong
   Content-MD5 gets fault 1002, and a GET gets the plain-text help.

usage: python_link_interop.py LINK_TOOL
"""
import http.client
import socketserver
import subprocess
import sys
import threading
import xmlrpc.client as xc
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer

from interop_checks import check, finish, md5_text

TOOL = sys.argv[1]


class Handler(SimpleXMLRPCRequestHandler):
    protocol_version = "HTTP/1.1"
    digests = []
    peers = set()

    def decode_request_content(self, data):
        Handler.digests.append(self.headers.get("Content-MD5") == md5_text(data))
        Handler.peers.add(self.client_address)
        return super().decode_request_content(data)


class Server(socketserver.ThreadingMixIn, SimpleXMLRPCServer):
    daemon_threads = True


def our_client_against_python():
    server = Server(("127.0.0.1", 0), requestHandler=Handler, logRequests=False)
    server.register_function(lambda i: i, "echo")
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]
    out = subprocess.run([TOOL, "client", str(port), "5"], capture_output=True, text=True,
                         timeout=60)
    server.shutdown()
    check("client answers", out.returncode == 0 and out.stdout.split() == ["0", "1", "2", "3", "4"],
          out.stdout + out.stderr)
    check("client digests", len(Handler.digests) == 5 and all(Handler.digests), Handler.digests)
    check("one connection for all calls", len(Handler.peers) == 1, Handler.peers)


def python_against_link():
    link = subprocess.Popen([TOOL, "link"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
    try:
        ready = link.stdout.readline().split()
        check("link ready", len(ready) == 2 and ready[0] == "ready", ready)
        if len(ready) != 2:
            return
        port = int(ready[1])
        proxy = xc.ServerProxy(f"http://127.0.0.1:{port}/")
        try:
            proxy.OnMethodData("001A2B3C4D5E", "14070000050000000000440801020304050607080000")
            proxy.OnDeviceState(6, 0, "001A2B3C4D5E")
        except Exception as e:  # noqa: BLE001
            check("OnMethodData served", False, repr(e))

        body = xc.dumps(("001A2B3C4D5E", "00"), "OnMethodData").encode()
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("POST", "/", body, {"Content-Type": "text/xml",
                                         "Content-MD5": md5_text(body + b"x")})
        answer = conn.getresponse().read()
        try:
            xc.loads(answer)
            check("wrong digest", False, "no fault")
        except xc.Fault as f:
            check("wrong digest gets fault 1002", f.faultCode == 1002, f)
        # The same connection goes on: nothing was written past the counted body.
        conn.request("POST", "/", body, {"Content-Type": "text/xml"})
        check("connection kept", xc.loads(conn.getresponse().read()) == ((), None))
        conn.close()

        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/wsdl")
        help_text = conn.getresponse().read().decode()
        check("GET help", "Kavex XML RPC Server received the following request" in help_text
              and "Current URL is: /wsdl" in help_text, help_text)
        conn.close()
    finally:
        link.stdin.close()
        check("link ends", link.wait(timeout=30) == 0)


our_client_against_python()
python_against_link()
finish("python link interop")

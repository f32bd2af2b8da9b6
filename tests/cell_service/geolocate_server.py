#!/usr/bin/env python3
"""A loopback HTTPS geolocation service for the tests: serves POST requests on 127.0.0.1 with the
given certificate, writes each request (path and body, one JSON line) to LOG, and answers with
the body of ANSWER_FILE (read at each request: "404" means not found). Its port goes to PORT_FILE.

Usage: geolocate_server.py CERT KEY PORT_FILE LOG ANSWER_FILE"""
import http.server
import json
import ssl
import sys

CERT, KEY, PORT_FILE, LOG, ANSWER = sys.argv[1:6]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        with open(LOG, "a") as log:
            log.write(json.dumps({"path": self.path, "body": body}) + "\n")
        answer = open(ANSWER).read()
        if answer == "404":
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        data = answer.encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server.socket = context.wrap_socket(server.socket, server_side=True)
with open(PORT_FILE + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
import os  # noqa: E402
os.rename(PORT_FILE + ".tmp", PORT_FILE)
server.serve_forever()

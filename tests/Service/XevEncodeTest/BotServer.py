#!/usr/bin/env python3
"""A stand-in for the chat bot's HTTP interface, on loopback, for the tests.

Prints its port on the first line, then one JSON line per POST received:
{"path": ..., "content_type": ..., "body": <the body as text>}.
  --status N   answer every POST with status N (default 200) and a small body
  --silent     accept every POST and never answer
A POST to /quit is answered with 200 and ends the server.
"""
import http.server
import json
import sys
import threading

status = int(sys.argv[sys.argv.index("--status") + 1]) if "--status" in sys.argv else 200
silent = "--silent" in sys.argv
finished = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        if self.path == "/quit":
            self.answer(200)
            finished.set()
            threading.Thread(target=server.shutdown).start()
            return
        print(json.dumps({"path": self.path, "content_type": self.headers.get("Content-Type"),
                          "body": body.decode("utf-8", "replace")}), flush=True)
        if silent:
            finished.wait()
            return
        self.answer(status)

    def answer(self, code):
        payload = b'{"ok": false}'
        self.send_response(code)
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *arguments):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()

#!/usr/bin/env python3
"""Loopback stand-in for the update endpoint in front-end tests.

    update_server.py ROOT [--max-seconds S]

Listens on 127.0.0.1 at a port the system picks and prints "listening <port>".
Every GET prints "request <path>" and answers with the file ROOT/<path>:
200 with its bytes, or 404 when it is missing. Beside the file,
<file>.status holds another status code to send with the same body, and
<file>.delay seconds to wait before answering. Exits after --max-seconds
(default 300) so that it cannot outlive a test.
"""

import argparse
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def read(path, default=None):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return default


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        sys.stdout.write("request %s\n" % self.path)
        sys.stdout.flush()
        local = os.path.join(self.server.root, self.path.lstrip("/"))
        body = read(local)
        status = 200 if body is not None else 404
        if body is None:
            body = b"not found"
        override = read(local + ".status")
        if override:
            status = int(override)
        delay = read(local + ".delay")
        if delay:
            time.sleep(min(float(delay), 60.0))
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--max-seconds", type=float, default=300.0)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = args.root
    sys.stdout.write("listening %d\n" % server.server_address[1])
    sys.stdout.flush()
    threading.Timer(args.max_seconds, server.shutdown).start()
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Loopback HTTP server for tests and the demo.

Serves one folder on 127.0.0.1 with Range support. Usage:

    http_server.py ROOT [--port N] [--max-seconds S]

Port 0 (the default) lets the system choose; the chosen port is printed on the
first line of standard output as "listening <port>" and flushed.

Fault modes, chosen by a path prefix in front of the file path:

    /cut/<N>/<file>    announces the whole file, sends its first N bytes, then
                       closes the connection (a source that breaks off mid-run)
    /stall/<N>/<file>  sends the first N bytes, then holds the connection open
                       without sending more until the client leaves or the
                       server stops (a source that stops delivering)
    /norange/<file>    ignores Range and does not announce byte ranges, so the
                       client cannot seek (a live-like source)
    /cut/<N>/norange/<file>, /stall/<N>/norange/<file>
                       both at once: a live-like source that breaks off or goes
                       silent after N bytes (the client's probing cannot seek into
                       the silent part)

The server exits by itself after --max-seconds (default 600) so that a test that
forgets it cannot leave it behind forever.
"""

import argparse
import os
import re
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 64 * 1024
STALL_LIMIT_SECONDS = 120

FAULT_RE = re.compile(r"^/(cut|stall)/(\d+)(/.*)$")
NORANGE_PREFIX = "/norange/"
RANGE_RE = re.compile(r"^bytes=(\d*)-(\d*)$")

CONTENT_TYPES = {
    ".m3u8": "application/vnd.apple.mpegurl",
    ".ts": "video/mp2t",
    ".mp4": "video/mp4",
    ".m4a": "audio/mp4",
    ".mkv": "video/x-matroska",
    ".webm": "video/webm",
}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NuvixTestHTTP/1.0"

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    def do_HEAD(self):
        self.handle_request(send_body=False)

    def do_GET(self):
        self.handle_request(send_body=True)

    def resolve(self, url_path):
        rel = urllib.parse.unquote(url_path).lstrip("/")
        root = self.server.root
        full = os.path.realpath(os.path.join(root, rel))
        if full != root and not full.startswith(root + os.sep):
            return None
        return full

    def handle_request(self, send_body):
        path = urllib.parse.urlsplit(self.path).path
        mode, limit = None, None
        ranges = True
        m = FAULT_RE.match(path)
        if m:
            mode, limit, path = m.group(1), int(m.group(2)), m.group(3)
        if path.startswith(NORANGE_PREFIX):
            ranges, path = False, path[len(NORANGE_PREFIX) - 1:]
        full = self.resolve(path)
        if full is None or not os.path.isfile(full):
            self.send_error(404)
            return
        size = os.path.getsize(full)
        start, end = 0, size - 1
        status = 200
        rng = self.headers.get("Range") if ranges else None
        if rng:
            r = RANGE_RE.match(rng.strip())
            if not r or (not r.group(1) and not r.group(2)):
                self.send_error(416)
                return
            if r.group(1):
                start = int(r.group(1))
                if r.group(2):
                    end = min(int(r.group(2)), size - 1)
            else:
                start = max(0, size - int(r.group(2)))
            if start >= size or start > end:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            status = 206
        length = end - start + 1
        self.send_response(status)
        ext = os.path.splitext(full)[1].lower()
        self.send_header("Content-Type", CONTENT_TYPES.get(ext, "application/octet-stream"))
        if ranges:
            self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(length))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        if mode:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if not send_body:
            return
        # The fault limit counts bytes of the file, not of this response.
        budget = length if mode is None else max(0, min(length, limit - start))
        try:
            with open(full, "rb") as f:
                f.seek(start)
                while budget > 0:
                    data = f.read(min(CHUNK, budget))
                    if not data:
                        break
                    self.wfile.write(data)
                    budget -= len(data)
                self.wfile.flush()
            if mode == "stall":
                deadline = time.monotonic() + STALL_LIMIT_SECONDS
                while not self.server.stopping.is_set() and time.monotonic() < deadline:
                    self.server.stopping.wait(0.2)
            if mode:
                self.close_connection = True
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


def main():
    parser = argparse.ArgumentParser(description="loopback HTTP server for tests")
    parser.add_argument("root")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--max-seconds", type=float, default=600.0)
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.root = os.path.realpath(args.root)
    server.stopping = threading.Event()

    def expire():
        server.stopping.set()
        server.shutdown()

    timer = threading.Timer(args.max_seconds, expire)
    timer.daemon = True
    timer.start()

    print("listening %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

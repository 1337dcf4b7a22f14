#!/usr/bin/env python3
"""The example program shipped inside Sandvoll.app.

Run with --server it serves the application on 127.0.0.1:8766: the page at
"/" and the state endpoint "api/state", whose "jobs" object names each job
and whether it runs. "api/keys" holds what the page's key logger last
reported: the keys the page received and the text of its field. It stops
cleanly on SIGTERM, which is what the app sends when it quits.
"""

import json
import math
import signal
import sys
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

HOST = "127.0.0.1"
PORT = 8766
HERE = Path(__file__).resolve().parent
STATIC = HERE / "static"


class Jobs:
    """A few named jobs that count while they run, shared by all requests."""

    def __init__(self, names):
        self._lock = threading.Lock()
        self._jobs = {name: {"running": False, "progress": 0} for name in names}
        self._started = {}

    def snapshot(self):
        with self._lock:
            now = time.monotonic()
            result = {}
            for name, job in self._jobs.items():
                progress = job["progress"]
                if job["running"]:
                    progress += int(now - self._started[name])
                result[name] = {"running": job["running"], "progress": progress}
            return result

    def set_running(self, name, running):
        with self._lock:
            job = self._jobs.get(name)
            if job is None:
                return False
            now = time.monotonic()
            if running and not job["running"]:
                self._started[name] = now
            elif not running and job["running"]:
                job["progress"] += int(now - self._started.pop(name))
            job["running"] = running
            return True


class KeyLog:
    """What the page last reported of the keys it received, newest report kept.

    The page sends its whole record each time, numbered by when it was
    made, so a report that overtakes a later one on another connection loses.
    """

    def __init__(self):
        self._lock = threading.Lock()
        self._record = {"seq": 0.0, "keys": [], "text": ""}

    def snapshot(self):
        with self._lock:
            return dict(self._record)

    def report(self, record):
        try:
            seq, keys, text = float(record["seq"]), record["keys"], record["text"]
        except (KeyError, TypeError, ValueError):
            return False
        if not (math.isfinite(seq) and isinstance(keys, list) and all(isinstance(k, str) for k in keys)
                and isinstance(text, str)):
            return False
        with self._lock:
            if seq > self._record["seq"]:
                self._record = {"seq": seq, "keys": keys[-200:], "text": text[:4096]}
        return True


JOBS = Jobs(["backup", "index", "sync"])
KEYS = KeyLog()
STARTED_AT = time.time()


class Handler(BaseHTTPRequestHandler):
    server_version = "SandvollExample/1.0"

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path == "/api/state":
            self._json({"jobs": JOBS.snapshot(), "startedAt": STARTED_AT})
        elif path == "/api/keys":
            self._json(KEYS.snapshot())
        elif path in ("/", "/index.html"):
            self._file(STATIC / "index.html", "text/html; charset=utf-8")
        elif path == "/app.js":
            self._file(STATIC / "app.js", "text/javascript; charset=utf-8")
        elif path == "/style.css":
            self._file(STATIC / "style.css", "text/css; charset=utf-8")
        else:
            self._json({"error": "not found"}, HTTPStatus.NOT_FOUND)

    def do_POST(self):
        path = self.path.split("?", 1)[0]
        parts = path.strip("/").split("/")
        if len(parts) == 4 and parts[:2] == ["api", "jobs"] and parts[3] in ("start", "stop"):
            if JOBS.set_running(parts[2], parts[3] == "start"):
                self._json({"jobs": JOBS.snapshot()})
            else:
                self._json({"error": "no such job"}, HTTPStatus.NOT_FOUND)
        elif path == "/api/keys":
            # The page's key logger: a tool (or a test) can read back which
            # keys reached the page and what the page's field holds.
            length = min(int(self.headers.get("Content-Length") or 0), 65536)
            try:
                record = json.loads(self.rfile.read(length) or b"null")
            except ValueError:
                record = None
            if KEYS.report(record):
                self._json({"ok": True})
            else:
                self._json({"error": "expected seq, keys and text"}, HTTPStatus.BAD_REQUEST)
        elif path == "/api/hello":
            # The page reports what it read of window.SV_APP, so the log
            # shows what the app injected into a real page.
            length = min(int(self.headers.get("Content-Length") or 0), 4096)
            body = self.rfile.read(length).decode("utf-8", "replace")
            print("SV_APP " + body, flush=True)
            self._json({"ok": True})
        else:
            self._json({"error": "not found"}, HTTPStatus.NOT_FOUND)

    def _json(self, value, status=HTTPStatus.OK):
        body = json.dumps(value).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def _file(self, file, content_type):
        try:
            body = file.read_bytes()
        except OSError:
            self._json({"error": "missing file"}, HTTPStatus.INTERNAL_SERVER_ERROR)
            return
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_request(self, code="-", size="-"):
        # The page asks for the state every two seconds for as long as it
        # shows, and loads its script and style with every page: a line for
        # each would grow the log by about 95 KB an hour and bury what a
        # reader looks for. Page loads, job changes, the page's hello and
        # every error still get their line.
        path = self.path.split("?", 1)[0]
        quiet = path in ("/api/state", "/api/keys") or path in ("/app.js", "/style.css")
        if quiet and isinstance(code, int) and code < 400:
            return
        super().log_request(code, size)

    def log_message(self, fmt, *args):
        sys.stdout.write("%s %s\n" % (self.log_date_time_string(), fmt % args))
        sys.stdout.flush()


def serve():
    server = ThreadingHTTPServer((HOST, PORT), Handler)
    server.daemon_threads = True

    def stop(signum, frame):
        # shutdown() waits for serve_forever() to return, so it must not run
        # on the thread that serves.
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("Serving on http://%s:%d/" % (HOST, PORT), flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
    print("Stopped", flush=True)
    return 0


def main(argv):
    if "--server" in argv[1:]:
        return serve()
    print("usage: start.py --server", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

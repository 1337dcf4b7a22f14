#!/usr/bin/env python3
"""The example program shipped inside Sandvoll.app.

Run with --server it serves the application on 127.0.0.1:8766: the page at
"/" and the state endpoint "api/state", whose "jobs" object names each job
and whether it runs. "api/keys" holds what the page's key logger last
reported: the keys the page received and the text of its field. It stops
cleanly on SIGTERM, which is what the app sends when it quits. A tiny login
shows what a real program needs for its logins to survive a restart of the
app and of the server.
"""

import json
import math
import os
import secrets
import signal
import sys
import threading
import time
import urllib.parse
from http import HTTPStatus, cookies
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


class Sessions:
    """Who is logged in, by the random token in each browser's session cookie.

    The app stops the server at every quit, so sessions kept only in memory
    would end with it: they live in a small file in the program's own data
    folder, outside its code folder (an update of the app replaces that).
    Nothing is written before the first login.
    """

    COOKIE = "sv_session"
    DAYS = 30  # a cookie without an expiry ends when the app quits

    def __init__(self, file):
        self._file = file
        self._lock = threading.Lock()
        try:
            loaded = json.loads(file.read_text())
            self._names = loaded if isinstance(loaded, dict) else {}
        except (OSError, ValueError):
            self._names = {}

    def name(self, headers):
        jar = cookies.SimpleCookie()
        try:
            jar.load(headers.get("Cookie") or "")
        except cookies.CookieError:
            return None, None
        token = jar[self.COOKIE].value if self.COOKIE in jar else None
        with self._lock:
            return token, self._names.get(token)

    def start(self, name):
        token = secrets.token_urlsafe(32)
        with self._lock:
            self._names[token] = name
            self._save()
        return "%s=%s; Max-Age=%d; Path=/; HttpOnly; SameSite=Lax" % (self.COOKIE, token, self.DAYS * 86400)

    def end(self, token):
        with self._lock:
            if self._names.pop(token, None) is not None:
                self._save()
        return "%s=; Max-Age=0; Path=/; HttpOnly; SameSite=Lax" % self.COOKIE

    def _save(self):
        # Readable by this user only, and replaced whole, so that a crash
        # never leaves half a file.
        self._file.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        temporary = self._file.with_name(self._file.name + ".new")
        with open(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            json.dump(self._names, f)
        os.replace(temporary, self._file)


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
DATA = Path(os.environ.get("XDG_DATA_HOME") or Path.home() / ".local/share") / "sandvoll-example"
SESSIONS = Sessions(DATA / "sessions.json")


class Handler(BaseHTTPRequestHandler):
    server_version = "SandvollExample/1.0"

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path == "/api/state":
            self._json({"jobs": JOBS.snapshot(), "startedAt": STARTED_AT})
        elif path == "/api/me":
            self._json({"name": SESSIONS.name(self.headers)[1]})
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
        elif path in ("/login", "/logout"):
            # The page's own forms: a name in, a session cookie out, and
            # back to the page.
            length = min(int(self.headers.get("Content-Length") or 0), 4096)
            form = urllib.parse.parse_qs(self.rfile.read(length).decode("utf-8", "replace"))
            name = " ".join((form.get("name") or [""])[0].split())[:40]
            if path == "/login":
                cookie = SESSIONS.start(name) if name else None
            else:
                cookie = SESSIONS.end(SESSIONS.name(self.headers)[0])
            self.send_response(HTTPStatus.SEE_OTHER)
            self.send_header("Location", "/")
            if cookie:
                self.send_header("Set-Cookie", cookie)
            self.send_header("Content-Length", "0")
            self.end_headers()
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
        # reader looks for. Page loads, job changes, logins, the page's hello
        # and every error still get their line.
        path = self.path.split("?", 1)[0]
        quiet = path in ("/api/state", "/api/me", "/api/keys", "/app.js", "/style.css")
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

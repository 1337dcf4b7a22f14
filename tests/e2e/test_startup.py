"""The app's main job, end to end: provision, start the server, show it, stop it."""

import os
import plistlib
import pwd
import shutil
import signal
import sqlite3
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.request
from pathlib import Path

from harness import (BUNDLE, NEVER_SERVES, PORT, AppTestCase, VirtualDisplay, find_words, loopback_listener_uids,
                     painted, port_in_use, process_environment, processes_under, provision_example,
                     provision_in_step, read_text, wait_for_page, wait_until, web_processes, window_image,
                     zombie_children)

PROVISIONING = ("Setting up Python", "Installing Python packages")
SEARCH_PATH = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"

# Put on the app's PYTHONPATH, this holds `python3 -m venv` (and no other
# Python program) at its start until the test says so. The environment is then
# made as usual. Without the hold, the first status line can be gone before a
# loaded machine has painted it, and the test would miss it by chance.
HOLD_VENV = """
import os, sys, time
if sys.orig_argv[1:3] == ["-m", "venv"]:
    open(os.environ["SV_TEST_VENV_HELD"], "w").close()
    deadline = time.monotonic() + 120
    while not os.path.exists(os.environ["SV_TEST_VENV_RELEASE"]) and time.monotonic() < deadline:
        time.sleep(0.05)
"""


# Another account's server, bound to the address and port it is given. Its page, were it ever shown, would read SV_APP, post to the bridge
# and report what it read back to its server.
FOREIGN_SERVER = r"""
import http.server, socket, sys
address = sys.argv[1]
PAGE = (b"<title>Another account</title><h1>Another account's page</h1><script>"
        b"fetch('/seen?' + encodeURIComponent(JSON.stringify(window.SV_APP)));"
        b"if (window.webkit) window.webkit.messageHandlers.sv.postMessage('checkUpdates');</script>")

class Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6 if ":" in address else socket.AF_INET

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            # Takes IPv4 connections as well, as a dual-stack server does.
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        super().server_bind()

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b'{"jobs": {}}' if self.path == "/api/state" else PAGE
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        print(fmt % args, flush=True)

Server((address, int(sys.argv[2])), Handler).serve_forever()
"""


# Another account's program that takes the port once ours has ended: it answers every request over a connection
# it keeps open, and once the file named second appears it stops listening (so that no owner check can see it)
# but goes on answering on the connections it has. It writes down each request, and when it stopped listening.
KEEPS_CONNECTIONS = r"""
import os, select, socket, sys
port, stop = int(sys.argv[1]), sys.argv[2]
PAGE = b"<title>Another account</title><h1>Another account's page</h1>"
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", port))
listener.listen(16)
print("listening", flush=True)
kept, heads = [], {}
while True:
    if listener and os.path.exists(stop):
        listener.close()
        listener = None
        print("stopped listening", flush=True)
    ready, _, _ = select.select(([listener] if listener else []) + kept, [], [], 0.05)
    for s in ready:
        if s is listener:
            kept.append(listener.accept()[0])
            continue
        data = s.recv(65536)
        if not data:
            kept.remove(s)
            s.close()
            continue
        heads[s] = heads.get(s, b"") + data
        while b"\r\n\r\n" in heads[s]:
            head, heads[s] = heads[s].split(b"\r\n\r\n", 1)
            print("request", head.split(b"\r\n")[0].decode(), flush=True)
            s.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: keep-alive\r\n"
                      b"Content-Length: %d\r\n\r\n" % len(PAGE) + PAGE)
"""

# This user's server, whose page registers a service worker that answers for "/" itself, as a page of another
# account's would have done when that account's program had the window. It writes down its requests.
PLANTS_A_WORKER = r"""
import http.server
PAGE = (b"<title>Planted</title><h1>Planting a worker</h1><script>navigator.serviceWorker.register('/worker.js')"
        b".then(() => navigator.serviceWorker.ready).then(() => fetch('/registered'));</script>")
WORKER = (b"self.addEventListener('install', () => self.skipWaiting());"
          b"self.addEventListener('activate', (e) => e.waitUntil(clients.claim()));"
          b"self.addEventListener('fetch', (e) => { if (new URL(e.request.url).pathname === '/') e.respondWith("
          b"new Response('<title>Worker</title><h1>Served by the worker</h1>', "
          b"{ headers: { 'Content-Type': 'text/html' } })); });")

class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body, kind = {"/api/state": (b'{"jobs": {}}', "application/json"),
                      "/worker.js": (WORKER, "text/javascript")}.get(self.path, (PAGE, "text/html"))
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        print(self.path, flush=True)

    def log_message(self, *args):
        pass

http.server.ThreadingHTTPServer(("127.0.0.1", 8766), Handler).serve_forever()
"""


def as_nobody(command, log):
    """Starts command under the account "nobody", its output going to the file log."""
    with open(log, "w") as out:
        return subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *command],
                                stdout=out, stderr=subprocess.STDOUT)


# A server that writes down every stop signal it receives (taken one by one
# from the queue: a handler still running would merge those that come
# meanwhile) and the moment each came; it ends half a second after the
# first. It serves a page, so that the app runs as it does with any server:
# the example program's, when its static folder lies beside this one.
RECORDS_SIGNALS = r"""
import http.server, os, signal, threading, time
from pathlib import Path
STOPS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
STATIC = Path(__file__).resolve().parent / "static"
FILES = {"/": ("index.html", "text/html"), "/app.js": ("app.js", "text/javascript"),
         "/style.css": ("style.css", "text/css")}
signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)  # before the serving thread, which inherits it

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        name, content_type = FILES.get(self.path, (None, "text/html"))
        try:
            body = (STATIC / name).read_bytes()
        except (TypeError, OSError):
            body = b"<!doctype html><title>Recorder</title><h1>Every stop signal is written down</h1>"
        if self.path == "/api/state":
            body, content_type = b'{"jobs": {}}', "application/json"
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        if self.path == "/":
            print("page", flush=True)

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 8766), Page)
threading.Thread(target=server.serve_forever, daemon=True).start()
print("serving", os.getpid(), flush=True)
info = signal.sigwaitinfo(STOPS)
deadline = time.monotonic() + 0.5
while info:
    print(signal.Signals(info.si_signo).name, "at", "%.3f" % time.monotonic(), flush=True)
    info = signal.sigtimedwait(STOPS, max(0, deadline - time.monotonic()))
print("stopped", flush=True)
"""

# A server that ends by itself, with status 3, once its page has been asked for.
ENDS_AFTER_ITS_PAGE = r"""
import http.server, sys, threading

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<!doctype html><title>Brief</title><h1>This server ends after its page</h1>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        if self.path == "/":
            threading.Thread(target=server.shutdown).start()

    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 8766), Page)
server.serve_forever()
server.server_close()
print("ended", flush=True)
sys.exit(3)
"""

def launch_on_recorder(case, support, name):
    """Launches the app on the signal recorder's server, once its page has been asked for."""
    (support / "server.log").unlink(missing_ok=True)
    app = case.launch(name=name)
    app.wait_for_window()
    wait_until(lambda: "page" in app.server_log(), 30, "the app to show the recorder's page")
    return app


def state_answers():
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/api/state" % PORT, timeout=1) as r:
            return r.status == 200
    except OSError:
        return False


class StartupTest(AppTestCase):
    def watch_until_page(self, app, prefix, timeout=180):
        """Reads the window until the example page shows; returns every text seen on the way."""
        seen = []
        deadline = time.monotonic() + timeout
        while True:
            self.assertIsNone(app.process.poll(), "Sandvoll quit:\n" + app.output())
            image = window_image(app.display, app, prefix + ".png")
            if painted(image):
                text = read_text(image)
                seen.append(text)
                if "Sandvoll example" in text:
                    return seen
            if time.monotonic() > deadline:
                self.fail("the example page did not show; texts seen: %r" % seen)

    def version_and_build(self):
        with open(BUNDLE / "Contents/Info.plist", "rb") as f:
            info = plistlib.load(f)
        return info["CFBundleShortVersionString"], int(info["CFBundleVersion"])

    def test_first_launch_provisions_shows_the_app_and_quitting_stops_the_server(self):
        hook = self.home / "hold-venv"
        hook.mkdir()
        (hook / "sitecustomize.py").write_text(HOLD_VENV)
        held, release = hook / "held", hook / "release"
        app = self.launch(extra_env={"PYTHONPATH": str(hook), "SV_TEST_VENV_HELD": str(held),
                                     "SV_TEST_VENV_RELEASE": str(release)})
        app.wait_for_window()
        wait_until(held.exists, 60, "the app to start making its Python environment")
        wait_for_page(app.display, app, "first-launch-setting-up.png", timeout=60,
                      condition=lambda image: "Setting up Python" in read_text(image))
        release.touch()
        seen = self.watch_until_page(app, "first-launch")

        # The page read window.SV_APP and reported it to the server.
        version, build = self.version_and_build()
        wait_until(lambda: "SV_APP" in app.server_log(), 20, "the page's report in server.log")
        self.assertIn('SV_APP {"version":"%s","build":%d}' % (version, build), app.server_log())
        self.assertIn("Sandvoll %s (build %d)" % (version, build), seen[-1])
        self.assertTrue((app.support() / "app/start.py").exists())
        self.assertTrue(os.access(app.support() / "venv/bin/python", os.X_OK))

        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)
        # The server got the terminate signal and stopped by itself.
        wait_until(lambda: "Stopped" in app.server_log(), 20, "the server to stop")
        wait_until(lambda: not port_in_use(), 20, "the port to be free")

        # A second launch finds everything in step: no provisioning line.
        stamp = app.support() / "venv/.sandvoll-requirements"
        stamp_time = stamp.stat().st_mtime_ns
        second = self.launch()
        second.wait_for_window()
        seen = self.watch_until_page(second, "second-launch")
        self.assertFalse([t for t in seen if any(p in t for p in PROVISIONING)], seen)
        self.assertEqual(stamp.stat().st_mtime_ns, stamp_time)
        self.assertEqual(second.terminate(signal.SIGTERM), 0)
        wait_until(lambda: "Stopped" in second.server_log(), 20, "the server to stop")

    def test_a_server_already_answering_is_used_and_left_running(self):
        server = subprocess.Popen(["/usr/bin/python3", str(BUNDLE / "Contents/Resources/app/start.py"), "--server"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (server.terminate(), server.wait(timeout=10)))
        wait_until(state_answers, 20, "the stand-alone server")

        # The first launch provisions; the second finds everything in step,
        # and would start its server before its window if the port were free.
        for name in ("server-already-running", "server-already-running-in-step"):
            with self.subTest(name):
                app = self.launch(name=name)
                app.wait_for_window()
                self.watch_until_page(app, name)
                self.assertFalse((app.support() / "server.log").exists())
                app.key("ctrl+q")
                self.assertEqual(app.process.wait(timeout=20), 0)
                self.assertIsNone(server.poll())
                self.assertTrue(state_answers())

    def test_the_server_ends_with_the_app_however_it_ends(self):
        support = provision_example(self.home)
        app = self.launch(name="killed")
        app.wait_for_window()
        self.watch_until_page(app, "killed-page")
        server = wait_until(lambda: processes_under(self.home), 20, "the server")[0]

        # What the server got, and what others may read of what it writes.
        app_env, server_env = process_environment(app.process.pid), process_environment(server)
        self.assertEqual(server_env.pop("PATH"), SEARCH_PATH)
        # The harness's crash report library takes itself out of what the app hands on.
        for name in ("PATH", "LD_PRELOAD", "SV_CRASH_REPORT_DIR"):
            app_env.pop(name, None)
        self.assertEqual(server_env, app_env)
        self.assertNotIn("GSK_RENDERER", server_env)  # the app set it for its own drawing only
        self.assertEqual(stat.S_IMODE(support.stat().st_mode), 0o700)
        self.assertEqual(stat.S_IMODE((support / "server.log").stat().st_mode), 0o600)

        # Killed outright: the server goes with it, and the next launch starts its own.
        app.process.kill()
        app.process.wait(timeout=10)
        wait_until(lambda: not port_in_use(), 2, "the port to be free after the app was killed")
        self.assert_next_launch_starts_its_own_server(support, self.display, "after-kill")

    def test_the_server_ends_with_an_app_whose_display_went_away(self):
        support = provision_example(self.home)
        app = self.launch(name="display-lost")
        app.wait_for_window()
        self.watch_until_page(app, "display-lost-page")
        self.display.process.kill()
        wait_until(lambda: not port_in_use(), 2, "the port to be free after the display went away")
        self.assertIsNotNone(app.process.wait(timeout=20))
        display = VirtualDisplay()
        self.addCleanup(display.close)
        self.assert_next_launch_starts_its_own_server(support, display, "after-display")

    def test_the_server_gets_one_terminate_signal_however_the_app_ends(self):
        support = provision_in_step(self.home, RECORDS_SIGNALS)
        # The lost display comes last: the launches before it share the display.
        for way, status in (("ctrl+q", 0), ("window-close", 0), ("SIGTERM", 0), ("SIGINT", 0), ("SIGHUP", 0),
                            ("SIGKILL", -signal.SIGKILL), ("display-lost", None)):
            with self.subTest(way):
                app = launch_on_recorder(self, support, "one-signal-" + way)
                if way == "ctrl+q":  # once, for a person to look at
                    wait_for_page(self.display, app, "one-signal-page.png")
                ended = time.monotonic()
                if way == "ctrl+q":
                    app.key("ctrl+q")
                elif way == "window-close":
                    app.close_window()
                elif way == "display-lost":
                    self.display.process.kill()
                else:
                    app.process.send_signal(getattr(signal, way))
                wait_until(lambda: "stopped" in app.server_log(), 20, "the server to stop")
                received = [line.split() for line in app.server_log().splitlines() if " at " in line]
                self.assertEqual([r[0] for r in received], ["SIGTERM"], app.server_log())
                self.assertLess(float(received[0][2]) - ended, 2)
                code = app.process.wait(timeout=20)
                if status is not None:
                    self.assertEqual(code, status)
                wait_until(lambda: not processes_under(self.home), 10, "the server to be gone")

    def test_a_server_that_ends_by_itself_leaves_no_zombie_and_is_not_started_again(self):
        provision_in_step(self.home, ENDS_AFTER_ITS_PAGE)
        app = self.launch()
        app.wait_for_window()
        wait_until(lambda: "ended" in app.server_log(), 60, "the server to end by itself")
        # Neither the server nor its keeper runs any more (a zombie has no command line)...
        wait_until(lambda: not processes_under(self.home), 10, "the server and its keeper to end")
        # ...and the keeper is reaped at once, while the app goes on, showing a line in the page's place:
        # the page's polls would reach whatever program takes the port next.
        wait_until(lambda: not zombie_children(app.process.pid), 10,
                   "the app's ended children to be reaped (%r at first)" % zombie_children(app.process.pid))
        wait_for_page(self.display, app, "ended-by-itself.png",
                      condition=lambda image: "server has stopped" in read_text(image))
        self.assertIsNone(app.process.poll())
        self.assertFalse(processes_under(self.home), "a server was started again")
        self.assertEqual(app.server_log(), "ended\n")
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)

    def test_a_login_survives_a_relaunch_in_a_cookie_file_of_this_users_only(self):
        provision_example(self.home)
        self.addCleanup(os.umask, os.umask(0o022))  # as a desktop session starts the app
        engine_data = self.home / ".local/share/Sandvoll"
        logged_in = lambda image: "Logged in as Margaret" in read_text(image)

        app = self.launch(name="login")
        app.wait_for_window()
        page = wait_for_page(self.display, app, "login-form.png", timeout=180,
                             condition=lambda image: find_words(image, "Your", "name"))
        app.click(find_words(page, "Your", "name"), app.view_origin())
        app.xdotool("type", "--delay", "40", "Margaret")
        app.key("Return")
        wait_until(lambda: '"POST /login HTTP/1.1" 303' in app.server_log(), 20, "the login at the server")
        wait_for_page(self.display, app, "login-done.png", condition=logged_in)
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)
        wait_until(lambda: "Stopped" in app.server_log(), 20, "the server to stop")

        # One file, beside what the engine keeps by itself, readable by this user only.
        stored = sorted(p.name for p in engine_data.iterdir() if p.name.startswith("cookies"))
        self.assertEqual(stored, ["cookies.sqlite"])
        self.assertEqual(stat.S_IMODE((engine_data / "cookies.sqlite").stat().st_mode), 0o600)
        with sqlite3.connect("file:%s?mode=ro" % (engine_data / "cookies.sqlite"), uri=True) as db:
            rows = db.execute("SELECT name, host, isHttpOnly, expiry > strftime('%s') FROM moz_cookies").fetchall()
        self.assertEqual(rows, [("sv_session", "127.0.0.1", 1, 1)])
        # The program kept its session outside its code folder.
        sessions = self.home / ".local/share/sandvoll-example/sessions.json"
        self.assertIn("Margaret", sessions.read_text())
        self.assertEqual(stat.S_IMODE(sessions.stat().st_mode), 0o600)

        # A new app and a new server: still logged in, without logging in again.
        again = self.launch(name="login-again")
        again.wait_for_window()
        wait_for_page(self.display, again, "login-kept.png", timeout=60, condition=logged_in)
        self.assertIn("Serving on", again.server_log())
        self.assertNotIn("POST /login", again.server_log())
        again.key("ctrl+q")
        self.assertEqual(again.process.wait(timeout=20), 0)

    def assert_next_launch_starts_its_own_server(self, support, display, name):
        log = support / "server.log"
        with open(log, "a") as f:
            f.write("left by the earlier server\n")
        app = self.launch(display=display, name=name)
        app.wait_for_window()
        self.watch_until_page(app, name)
        self.assertNotIn("left by the earlier server", log.read_text())
        self.assertIn("Serving on", log.read_text())
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)

    def test_another_users_server_is_never_shown(self):
        # The example program, run by "nobody" from a folder that account can read.
        site = Path(tempfile.mkdtemp(prefix="sandvoll-foreign-"))
        self.addCleanup(shutil.rmtree, site, ignore_errors=True)
        site.chmod(0o755)
        shipped = BUNDLE / "Contents/Resources/app"
        shutil.copy(shipped / "start.py", site / "start.py")
        shutil.copytree(shipped / "static", site / "static")
        foreign_log = site / "foreign.log"
        foreign = as_nobody(["/usr/bin/python3", str(site / "start.py"), "--server"], foreign_log)
        self.addCleanup(lambda: (foreign.kill(), foreign.wait(timeout=10)))
        wait_until(state_answers, 20, "the other user's server")

        provision_in_step(self.home, NEVER_SERVES)
        app = self.launch()
        app.wait_for_window()
        box = app.find_window("^Sandvoll can't use port %d$" % PORT)
        text = wait_until(lambda: (lambda t: t if "server.log" in t else None)(
            read_text(self.display_image("foreign-server.png"))), 30, "the message text")
        self.assertIn("held by another user's program", text)
        app.key("Return", window=box)
        wait_until(lambda: not app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll can't use"), 10,
                   "the message to close")
        self.assertIn("Sandvoll is starting", read_text(window_image(self.display, app, "foreign-status.png")))
        # The box says the probe found that server answering; its page was never asked for.
        self.assertNotIn('"GET / HTTP/1.1"', foreign_log.read_text())
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)
        self.assertIsNone(foreign.poll())  # not ours to stop

    def test_another_users_server_that_takes_the_port_later_never_gets_the_window(self):
        provision_example(self.home)
        app = self.launch()
        app.wait_for_window()
        self.watch_until_page(app, "port-taken-ours")
        # While the server is ours, Ctrl+R reaches it.
        app.key("ctrl+r")
        wait_until(lambda: app.server_log().count('"GET / HTTP/1.1"') == 2, 20, "the reload at our server")
        os.kill(wait_until(lambda: processes_under(self.home), 20, "our server")[0], signal.SIGKILL)
        wait_until(lambda: not port_in_use(), 10, "the port to be free")

        # The same account takes the port three ways; the last two show only in the IPv6 table.
        nobody = pwd.getpwnam("nobody").pw_uid
        for name, address, table in (("ipv4", "127.0.0.1", "tcp"), ("mapped", "::ffff:127.0.0.1", "tcp6"),
                                     ("dual-stack", "::", "tcp6")):
            with self.subTest(address=address):
                log = self.home / ("foreign-%s.log" % name)
                foreign = as_nobody(["/usr/bin/python3", "-c", FOREIGN_SERVER, address, str(PORT)], log)
                try:
                    wait_until(state_answers, 20, "the other user's server on " + address)
                    self.assertEqual(loopback_listener_uids(table), [nobody])
                    # Reload, and from the second round on Reload from the line that stands in for the page.
                    app.key("ctrl+r")
                    box = app.find_window("^Sandvoll can't use port %d$" % PORT)
                    self.display.screenshot("port-taken-%s-box.png" % name)
                    self.assertEqual(len(self.port_boxes(app)), 1)
                    app.key("Return", window=box)
                    wait_until(lambda: not self.port_boxes(app), 10, "the message to close")
                    image = wait_for_page(self.display, app, "port-taken-%s-line.png" % name, timeout=30,
                                          condition=lambda im: "another user's program" in read_text(im))
                    self.assertIn("View", read_text(image))
                    # Once per attempt: the line is up and no box came back by itself.
                    self.assertFalse(self.port_boxes(app))
                    self.assertNotIn('"GET / HTTP/1.1"', log.read_text())
                    self.assertNotIn("/seen", log.read_text())
                finally:
                    foreign.kill()
                    foreign.wait(timeout=10)
                wait_until(lambda: not port_in_use(), 10, "the port to be free")
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)

    def test_a_connection_kept_by_another_users_program_never_carries_a_request_after_our_server_ended(self):
        provision_example(self.home)
        app = self.launch()
        app.wait_for_window()
        self.watch_until_page(app, "kept-connection-ours")
        os.kill(wait_until(lambda: processes_under(self.home), 20, "our server")[0], signal.SIGKILL)
        wait_until(lambda: not port_in_use(), 10, "the port to be free")

        # Where that account can see the file appear.
        shared = Path(tempfile.mkdtemp(prefix="sandvoll-kept-"))
        self.addCleanup(shutil.rmtree, shared, ignore_errors=True)
        shared.chmod(0o755)
        log, stop = self.home / "kept.log", shared / "stop-listening"
        foreign = as_nobody(["/usr/bin/python3", "-c", KEEPS_CONNECTIONS, str(PORT), str(stop)], log)
        self.addCleanup(lambda: (foreign.kill(), foreign.wait(timeout=10)))
        wait_until(lambda: "listening" in log.read_text(), 20, "the other user's program to listen")
        # The page has made way, so its polls, every two seconds, reach nobody.
        wait_for_page(self.display, app, "kept-connection-line.png", timeout=30,
                      condition=lambda image: "server has stopped" in read_text(image))
        stop.touch()
        wait_until(lambda: "stopped listening" in log.read_text(), 20, "the other user's program to stop listening")
        self.assertEqual(loopback_listener_uids("tcp"), [])

        # Reload passes the owner check, and a new connection finds nothing listening.
        app.key("ctrl+r")
        wait_for_page(self.display, app, "kept-connection-reload.png", timeout=30,
                      condition=lambda image: "Connection refused" in read_text(image))
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)
        after = log.read_text().split("stopped listening", 1)[1]
        self.assertNotIn("request", after)
        self.assertNotIn("GET / ", log.read_text())

    def test_a_service_worker_of_an_earlier_run_never_answers_for_the_server(self):
        support = provision_example(self.home)
        planted_log = self.home / "planted.log"
        with open(planted_log, "w") as out:
            planter = subprocess.Popen(["/usr/bin/python3", "-c", PLANTS_A_WORKER], stdout=out,
                                       stderr=subprocess.STDOUT)
        self.addCleanup(lambda: (planter.kill(), planter.wait(timeout=10)))
        wait_until(state_answers, 20, "the server that plants the worker")
        app = self.launch(name="worker-planted")
        app.wait_for_window()
        wait_until(lambda: "/registered" in planted_log.read_text(), 60, "the worker to be registered")
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)
        planter.kill()
        planter.wait(timeout=10)
        wait_until(lambda: not port_in_use(), 10, "the port to be free")

        # The next launch starts its own server, and its page is the server's, not the worker's.
        app = self.launch(name="worker-gone")
        app.wait_for_window()
        seen = self.watch_until_page(app, "worker-gone", timeout=90)
        self.assertFalse([t for t in seen if "Served by the worker" in t], seen)
        self.assertIn("Serving on", (support / "server.log").read_text())
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)

    def port_boxes(self, app):
        found = app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll can't use port")
        return found.split() if found else []

    def test_a_page_whose_renderer_ends_comes_back_until_the_third_end_in_a_minute(self):
        provision_example(self.home)
        app = self.launch()
        app.wait_for_window()
        self.watch_until_page(app, "renderer")
        page_loads = lambda: app.server_log().count('"GET / HTTP/1.1"')

        def end_renderer():
            ended = wait_until(lambda: web_processes(app.process.pid), 20, "the page's web process")
            for pid in ended:
                os.kill(pid, signal.SIGKILL)
            return ended

        # The first two ends bring the page back in a new web process.
        started = time.monotonic()
        hellos = lambda: app.server_log().count("SV_APP")
        for end in (1, 2):
            loads, greeted, ended = page_loads(), hellos(), end_renderer()
            wait_until(lambda: page_loads() > loads, 30, "the page to load again")
            wait_until(lambda: set(web_processes(app.process.pid)) - set(ended), 20, "a new web process")
            if end == 1:
                # It is alive: its scripts run again (the page says hello to
                # the server each time it loads), and it shows.
                wait_until(lambda: hellos() > greeted, 20, "the page's scripts to run")
                self.watch_until_page(app, "renderer-back")
        # The third within the minute: a line says so, and nothing is loaded by itself.
        loads = page_loads()
        end_renderer()
        self.assertLess(time.monotonic() - started, 60, "the three ends took more than a minute")
        image = wait_for_page(self.display, app, "renderer-stopped.png", timeout=30,
                              condition=lambda im: "stopped working" in read_text(im))
        self.assertIn("View", read_text(image))
        self.assertEqual(page_loads(), loads)
        # The user's Reload starts afresh with the page.
        app.key("ctrl+r")
        self.watch_until_page(app, "renderer-reloaded")
        self.assertEqual(page_loads(), loads + 1)
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)

    def test_a_support_folder_that_cannot_be_made_stops_the_app_with_a_message(self):
        # "Library" is a file, so nothing can be created beneath it, even as root.
        (self.home / "Library").write_text("in the way")
        app = self.launch()
        app.wait_for_window()
        box = app.find_window("^Sandvoll can't start$")
        text = wait_until(lambda: (lambda t: t if "Not a directory" in t else None)(
            read_text(self.display_image("cant-start.png"))), 30, "the message text")
        self.assertIn("Sandvoll can't start", text)
        self.assertIsNone(app.process.poll())  # waits for the person
        app.key("Return", window=box)
        self.assertEqual(app.process.wait(timeout=20), 0)
        self.assertEqual((self.home / "Library").read_text(), "in the way")

    def display_image(self, name):
        from PIL import Image
        return Image.open(self.display.screenshot(name)).convert("RGB")


if __name__ == "__main__":
    unittest.main()

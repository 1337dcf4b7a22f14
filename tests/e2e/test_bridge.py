"""The page talking to the app: update checks from the page, links out, reload."""

import json
import plistlib
import threading
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from harness import (BUNDLE, AppTestCase, find_words, provision_in_step, read_text, register_url_handler,
                     settled, wait_until, window_image, write_defaults)

# The app's server for the test below: its page, a frame and a page on another
# origin (the same server reached as "localhost"), and a download. Each page
# reports what it did with a request that server.log shows.
PAGES = r'''
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

ATTEMPTS = """<script>
try { window.webkit.messageHandlers.sv.postMessage("checkUpdates"); } catch (e) {}
try { parent.document.dispatchEvent(new CustomEvent("sandvoll-bridge-message", { detail: "checkUpdates" })); }
catch (e) {}
for (let i = 0; i < 20; i++)
  document.dispatchEvent(new CustomEvent("sandvoll-bridge-message", { detail: "checkUpdates" }));
parent.postMessage("checkUpdates", "*");
</script>"""

APP = """<!doctype html><meta charset="utf-8"><title>Bridge</title>
<style>body { font: 28px sans-serif; margin: 40px; } a, button { display: block; margin: 24px 0; font: inherit; }
.row { display: flex; gap: 48px; align-items: center; }</style>
<h1>Bridge test page</h1>
<button id="post">Post twenty times</button>
<a href="https://example.org/outside">Outside link</a>
<a id="scripted" href="https://example.org/scripted">Scripted link</a>
<a href="/download">Download report</a>
<button id="away">Visit another origin</button>
<iframe src="http://localhost:8766/frame" width="400" height="40"></iframe>
<div class="row"><button id="burst">Open three at once</button><a id="keyboard" href="https://example.org/keyboard">Keys</a>
<a href="file:///etc/hosts">File link</a><button id="file">Open a file</button>
<a href="mailto:someone@example.org">Mail link</a>
<a href="https://example.org/middle">Middle link</a></div>
<script>
document.getElementById("burst").onclick = () => {
  for (const href of ["http://example.org/first", "recordme:second"]) {
    const link = document.createElement("a");
    link.href = href;
    document.body.append(link);
    link.click();
  }
  window.open("https://example.org/third");
  document.getElementById("keyboard").focus();
};
document.getElementById("file").onclick = () => { window.open("file:///etc/hosts"); };
document.getElementById("post").onclick = () => {
  for (let i = 0; i < 20; i++) window.webkit.messageHandlers.sv.postMessage("checkUpdates");
};
document.getElementById("away").onclick = () => { location.href = "http://localhost:8766/other"; };
addEventListener("load", () => setTimeout(() => {
  document.getElementById("scripted").click();
  fetch("/report/scripted-click");
}, 0));
</script>"""

FRAME = ATTEMPTS + '<script>fetch("/report/frame");</script>'
OTHER = ATTEMPTS + '<script>fetch("/report/other").then(() => { location.href = "http://127.0.0.1:8766/?back"; });</script>'


class Pages(BaseHTTPRequestHandler):
    def do_GET(self):
        path = self.path.split("?", 1)[0]
        headers = {"Content-Type": "text/html; charset=utf-8"}
        status, body = 200, b""
        if path == "/":
            body = APP.encode()
        elif path == "/frame":
            body = FRAME.encode()
        elif path == "/other":
            body = OTHER.encode()
        elif path == "/download":
            headers = {"Content-Type": "text/plain", "Content-Disposition": 'attachment; filename="report.txt"'}
            body = b"the report\n"
        elif path == "/api/state":
            headers, body = {"Content-Type": "application/json"}, b'{"jobs": {}}'
        elif not path.startswith("/report/"):
            status = 404
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stdout.write(fmt % args + "\n")
        sys.stdout.flush()


HTTPServer(("127.0.0.1", 8766), Pages).serve_forever()
'''


class FeedServer:
    """A feed on a loopback port of its own, counting requests."""

    def __init__(self, body):
        outer = self
        self.requests = 0

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests += 1
                data = json.dumps(body).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = "http://127.0.0.1:%d/update.json" % self.server.server_port

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class BridgeTest(AppTestCase):
    def setUp(self):
        super().setUp()
        with open(BUNDLE / "Contents/Info.plist", "rb") as f:
            info = plistlib.load(f)
        self.version, self.build = info["CFBundleShortVersionString"], int(info["CFBundleVersion"])
        self.feed = FeedServer({"version": self.version, "build": self.build,
                                "url": "http://127.0.0.1:9/none.zip", "sha256": "00", "signature": "AA=="})
        self.addCleanup(self.feed.close)
        write_defaults(self.home, {"updateFeedURL": self.feed.url})
        self.opened = self.home / "opened-urls.txt"
        register_url_handler(self.home, ["http", "https", "mailto", "recordme", "file"], self.opened)

    def open_page(self, name):
        app = self.launch()
        app.wait_for_window()
        # Settled: its script has run (the button works only then).
        page = wait_until(lambda: (lambda im: im if settled(im, "Check for updates") else None)(
            window_image(self.display, app, name)), 180, "the example page")
        return app, page

    def click_words(self, app, page, *words):
        point = find_words(page, *words)
        self.assertIsNotNone(point, "no %r on the page" % (words,))
        app.click(point, app.view_origin())

    def opened_urls(self):
        return self.opened.read_text().split() if self.opened.exists() else []

    def boxes(self, app, title):
        found = app.xdotool("search", "--onlyvisible", "--name", title)
        return found.split() if found else []

    def test_only_the_apps_page_reaches_the_app_and_only_the_user_reaches_outside(self):
        support = provision_in_step(self.home, PAGES)
        log = support / "server.log"
        app = self.launch()
        app.wait_for_window()
        page = wait_until(lambda: (lambda im: im if find_words(im, "Post", "twenty") else None)(
            window_image(self.display, app, "bridge-test-page.png")), 60, "the test page")

        # A cross-origin frame posted every way it could, and a page script
        # clicked an outside link: nothing reached the app or the desktop.
        wait_until(lambda: "/report/frame" in log.read_text() and "/report/scripted-click" in log.read_text(),
                   30, "the frame's and the script's reports")
        # A page on another origin in the window tries the same, then comes back.
        self.click_words(app, page, "Visit", "another")
        wait_until(lambda: "/report/other" in log.read_text() and "GET /?back" in log.read_text(), 30,
                   "the other origin's report and the way back")
        page = wait_until(lambda: (lambda im: im if find_words(im, "Post", "twenty") else None)(
            window_image(self.display, app, "bridge-test-back.png")), 30, "the test page again")
        # The silent check the app schedules 30 s after start reaches the feed
        # too, at a moment that depends on the machine's load: wait for it,
        # so that every count here is the pages' doing. A check the posts
        # above had started would have shown its box long before.
        wait_until(lambda: self.feed.requests >= 1, 60, "the scheduled update check")
        self.assertEqual(self.feed.requests, 1)
        self.assertEqual(self.boxes(app, "^Sandvoll is up to date$"), [])

        # Twenty posts from the app's own page: one check, one message box.
        self.click_words(app, page, "Post", "twenty")
        box = app.find_window("^Sandvoll is up to date$")
        self.assertEqual(self.feed.requests, 2)
        self.assertEqual(self.boxes(app, "^Sandvoll is up to date$"), [box])
        app.key("Return", window=box)
        wait_until(lambda: not self.boxes(app, "^Sandvoll is up to date$"), 10, "the message to close")
        self.assertEqual(self.feed.requests, 2)

        # The user's click on the same kind of link does reach the desktop.
        self.click_words(app, page, "Outside", "link")
        wait_until(lambda: "https://example.org/outside" in self.opened_urls(), 30, "the user's link")
        self.assertEqual(self.opened_urls(), ["https://example.org/outside"])

        # One click whose handler clicks two links and opens a window: only
        # the first URL leaves, and a custom scheme never would.
        self.click_words(app, page, "Open", "three")
        wait_until(lambda: "http://example.org/first" in self.opened_urls(), 30, "the click's first link")
        wait_until(lambda: "Sandvoll: not opening recordme:second: only http, https and mailto links leave the app"
                   in app.output(), 30, "the custom scheme's refusal")
        # Enter on the link the click focused is a press of its own.
        app.key("Return")
        wait_until(lambda: "https://example.org/keyboard" in self.opened_urls(), 30, "the link Enter activated")
        # The user's own click on a file link opens nothing (the engine stops
        # it before asking); one that opens a window on a file says why.
        self.click_words(app, page, "File", "link")
        self.click_words(app, page, "Open", "a", "file")
        wait_until(lambda: "Sandvoll: not opening file:///etc/hosts: only http, https and mailto links leave the app"
                   in app.output(), 30, "the file link's refusal")
        # Mail links and middle clicks go out.
        self.click_words(app, page, "Mail", "link")
        wait_until(lambda: "mailto:someone@example.org" in self.opened_urls(), 30, "the mail link")
        point = find_words(page, "Middle", "link")
        origin = app.view_origin()
        app.xdotool("mousemove", "--sync", str(point[0] + origin[0]), str(point[1] + origin[1]))
        app.xdotool("click", "2")
        wait_until(lambda: "https://example.org/middle" in self.opened_urls(), 30, "the middle-clicked link")
        self.assertEqual(self.opened_urls(), ["https://example.org/outside", "http://example.org/first",
                                              "https://example.org/keyboard", "mailto:someone@example.org",
                                              "https://example.org/middle"])
        # The page stayed through all of it.
        self.assertIsNotNone(find_words(window_image(self.display, app, "bridge-links-out.png"), "Post", "twenty"))

        # A download asks where to save it; nothing is written before the
        # answer, and Cancel writes nothing.
        def saved():
            return sorted(str(p.relative_to(self.home)) for p in self.home.rglob("report*"))

        for answer in ("Escape", "Return"):
            self.click_words(app, page, "Download", "report")
            dialog = app.find_window("^Save File$")
            self.display.screenshot("save-dialog-%s.png" % answer.lower())
            self.assertEqual(saved(), [])
            app.key(answer, window=dialog)
            wait_until(lambda: not self.boxes(app, "^Save File$"), 10, "the save dialog to close")
            if answer == "Escape":
                self.assertEqual(saved(), [])
        downloaded = self.home / "Downloads/report.txt"
        wait_until(lambda: downloaded.exists() and downloaded.read_text() == "the report\n", 30, "the saved file")
        self.assertEqual(saved(), ["Downloads/report.txt"])

        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)

    def test_check_for_updates_from_the_page_and_links_out(self):
        app, page = self.open_page("bridge-page.png")

        self.click_words(app, page, "Check", "for", "updates")
        box = app.find_window("^Sandvoll is up to date$")
        text = wait_until(lambda: (lambda t: t if "latest one" in t else None)(
            read_text(window_image(self.display, app, "up-to-date.png"))), 30, "the up-to-date message")
        self.assertIn("You have version %s, the latest one." % self.version, text)
        self.assertEqual(self.feed.requests, 1)
        app.key("Return", window=box)
        wait_until(lambda: not app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll is up to date$"),
                   10, "the message to close")

        # An external link goes to the default handler; the window stays on its page.
        self.click_words(app, page, "Example", "site")
        wait_until(lambda: "https://example.org/" in self.opened_urls(), 30, "the browser to get the link")
        # A link that asks for a new window goes out too, even to the local server.
        self.click_words(app, page, "State", "in")
        wait_until(lambda: "http://127.0.0.1:8766/api/state" in self.opened_urls(), 30,
                   "the browser to get the new-window link")
        self.assertIsNone(app.process.poll())
        still = window_image(self.display, app, "after-links.png")
        self.assertIsNotNone(find_words(still, "Check", "for", "updates"))
        self.assertEqual(len(app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$").split()), 1)

        # Ctrl+R reloads the page from the server.
        loads = app.server_log().count('"GET / HTTP/1.1"')
        app.key("ctrl+r")
        wait_until(lambda: app.server_log().count('"GET / HTTP/1.1"') > loads, 20, "the page to load again")

        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)


if __name__ == "__main__":
    unittest.main()

"""The page talking to the app: update checks from the page, links out, reload."""

import json
import plistlib
import threading
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from harness import (BUNDLE, AppTestCase, find_words, read_text, register_url_handler, wait_until,
                     window_image, write_defaults)


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
        register_url_handler(self.home, ["http", "https"], self.opened)

    def open_page(self, name):
        app = self.launch()
        app.wait_for_window()
        page = wait_until(lambda: (lambda im: im if find_words(im, "Check", "for", "updates") else None)(
            window_image(self.display, app, name)), 180, "the example page")
        return app, page

    def click_words(self, app, page, *words):
        point = find_words(page, *words)
        self.assertIsNotNone(point, "no %r on the page" % (words,))
        app.click(point, app.view_origin())

    def opened_urls(self):
        return self.opened.read_text().split() if self.opened.exists() else []

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

"""The app's main job, end to end: provision, start the server, show it, stop it."""

import os
import plistlib
import signal
import subprocess
import time
import unittest
import urllib.request

from harness import (BUNDLE, PORT, AppTestCase, painted, port_in_use, read_text, wait_for_page, wait_until,
                     window_image)

PROVISIONING = ("Setting up Python", "Installing Python packages")


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
            image = window_image(self.display, app, prefix + ".png")
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
        app = self.launch()
        app.wait_for_window()
        seen = self.watch_until_page(app, "first-launch")
        self.assertTrue(any("Setting up Python" in t for t in seen), seen)

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

        app = self.launch()
        app.wait_for_window()
        self.watch_until_page(app, "server-already-running")
        self.assertFalse((app.support() / "server.log").exists())
        app.key("ctrl+q")
        self.assertEqual(app.process.wait(timeout=20), 0)
        self.assertIsNone(server.poll())
        self.assertTrue(state_answers())

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

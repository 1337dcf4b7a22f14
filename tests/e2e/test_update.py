"""An update from build N to N+1, for real: offer, download, verification, swap, relaunch."""

import os
import plistlib
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from harness import (BUNDLE, AppTestCase, find_words, process_environment, read_text, wait_until, window_image,
                     write_defaults)

ROOT = Path(__file__).resolve().parents[2]
RELEASE_TOOL = BUNDLE.parent / "tools/sandvoll-release"
TEST_KEY = ROOT / "tests/fixtures/keys/test_update_key.pem"


class Quiet(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def app_pids(executable):
    out = subprocess.run(["pgrep", "-f", "^" + str(executable) + "$"], capture_output=True, text=True)
    return [int(p) for p in out.stdout.split()]


class UpdateTest(AppTestCase):
    def test_an_accepted_update_replaces_the_bundle_and_relaunches_it(self):
        work = Path(tempfile.mkdtemp(prefix="sandvoll-update-e2e-"))
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        installed = work / "Applications" / "Sandvoll.app"
        shutil.copytree(BUNDLE, installed, symlinks=True)
        with open(installed / "Contents/Info.plist", "rb") as f:
            info = plistlib.load(f)
        build = int(info["CFBundleVersion"])
        version = info["CFBundleShortVersionString"]

        # Build N+1: the same program with the next build number, zipped and signed.
        staging = work / "staging"
        shutil.copytree(BUNDLE, staging / "Sandvoll.app", symlinks=True)
        info["CFBundleVersion"] = str(build + 1)
        with open(staging / "Sandvoll.app/Contents/Info.plist", "wb") as f:
            plistlib.dump(info, f)
        site = work / "site"
        site.mkdir()
        subprocess.run(["zip", "-q", "-r", "-y", str(site / "Sandvoll-next.zip"), "Sandvoll.app"], cwd=staging,
                       check=True)
        server = ThreadingHTTPServer(("127.0.0.1", 0), partial(Quiet, directory=str(site)))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        base = "http://127.0.0.1:%d/" % server.server_port
        subprocess.run([str(RELEASE_TOOL), "feed", str(site / "Sandvoll-next.zip"), "--key", str(TEST_KEY),
                        "--version", version, "--build", str(build + 1), "--url", base + "Sandvoll-next.zip",
                        "--notes", "Faster start.", "--output", str(site / "update.json")],
                       check=True, capture_output=True)
        write_defaults(self.home, {"updateFeedURL": base + "update.json"})
        tmp = work / "tmp"
        tmp.mkdir()

        app = self.launch(bundle=installed, extra_env={"TMPDIR": str(tmp)})
        app.wait_for_window()
        page = wait_until(lambda: (lambda im: im if find_words(im, "Check", "for", "updates") else None)(
            window_image(self.display, app, "update-before.png")), 180, "the example page")
        self.assertIn("(build %d)" % build, read_text(page))

        app.click(find_words(page, "Check", "for", "updates"), app.view_origin())
        offer = app.find_window("^Sandvoll %s is available$" % version.replace(".", r"\."))
        text = wait_until(lambda: (lambda t: t if "Install and Restart" in t else None)(
            read_text(window_image(self.display, app, "update-offer.png"))), 30, "the offer")
        self.assertIn("Faster start.", text)
        self.assertIn("You have version %s. The app restarts after installing." % version, text)

        old_pid = app.process.pid
        app.key("Return", window=offer)  # the default button: Install and Restart
        self.assertEqual(app.process.wait(timeout=60), 0)

        # The swap script waits for the old process, swaps the bundle and starts the new one.
        executable = installed / "Contents/Linux/Sandvoll"
        new_pids = wait_until(lambda: [p for p in app_pids(executable) if p != old_pid], 60, "the relaunched app")
        self.addCleanup(lambda: [os.kill(p, signal.SIGKILL) for p in app_pids(executable)])
        # It starts as this one was started, without what this one set for its own drawing.
        self.assertNotIn("GSK_RENDERER", process_environment(new_pids[0]))
        with open(installed / "Contents/Info.plist", "rb") as f:
            self.assertEqual(int(plistlib.load(f)["CFBundleVersion"]), build + 1)
        wait_until(lambda: not list(tmp.glob("Sandvoll-Update-*")), 30, "the work directory to go")
        self.assertEqual(sorted(p.name for p in installed.parent.iterdir()), ["Sandvoll.app"])

        # Follow the new process's window from here on.
        app.window = wait_until(lambda: (lambda found: found.split()[0] if found else None)(
            app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$")), 60, "the relaunched window")
        page = wait_until(lambda: (lambda im: im if find_words(im, "Check", "for", "updates") else None)(
            window_image(self.display, app, "update-after.png")), 120, "the page of the new build")
        self.assertIn("(build %d)" % (build + 1), read_text(page))
        for pid in new_pids:
            os.kill(pid, signal.SIGTERM)
        wait_until(lambda: not app_pids(executable), 30, "the relaunched app to quit")


if __name__ == "__main__":
    unittest.main()

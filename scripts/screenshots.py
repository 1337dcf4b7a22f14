"""Takes the README's screenshots from the app as built: its page, and the update offer.

Runs the bundle in a headless Wayland session with a HOME of its own, lets
it set up Python and show the example page, then points it at a local feed
that offers the next build and asks for an update check from the page.

usage: scripts/screenshots.sh   (builds first; writes docs/app-page.png and docs/update-offer.png)
"""

import plistlib
import shutil
import subprocess
import sys
import tempfile
import threading
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
from PIL import Image  # noqa: E402

import harness  # noqa: E402

DOCS = ROOT / "docs"
TEST_KEY = ROOT / "tests/fixtures/keys/test_update_key.pem"


class Quiet(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def publish_next_build(work):
    """A feed and package for the build after the bundle's, served on loopback; returns the feed's URL."""
    with open(harness.BUNDLE / "Contents/Info.plist", "rb") as f:
        info = plistlib.load(f)
    info["CFBundleVersion"] = str(int(info["CFBundleVersion"]) + 1)
    info["CFBundleShortVersionString"] = "1.1.0"
    staging = work / "staging/Sandvoll.app"
    shutil.copytree(harness.BUNDLE, staging, symlinks=True)
    with open(staging / "Contents/Info.plist", "wb") as f:
        plistlib.dump(info, f)
    site = work / "site"
    site.mkdir()
    subprocess.run(["zip", "-q", "-r", "-y", str(site / "Sandvoll-next.zip"), "Sandvoll.app"],
                   cwd=staging.parent, check=True)
    server = ThreadingHTTPServer(("127.0.0.1", 0), partial(Quiet, directory=str(site)))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = "http://127.0.0.1:%d/" % server.server_port
    subprocess.run([str(harness.BUNDLE.parent / "tools/sandvoll-release"), "feed", str(site / "Sandvoll-next.zip"),
                    "--key", str(TEST_KEY), "--version", "1.1.0", "--build", info["CFBundleVersion"],
                    "--url", base + "Sandvoll-next.zip", "--output", str(site / "update.json"),
                    "--notes", "Faster start-up. Fixes the export button."],
                   check=True, capture_output=True)
    return base + "update.json"


def window_shot(display, app, name):
    """The whole window, menu bar and any message box over it."""
    g = app.geometry()
    image = Image.open(display.screenshot(name)).convert("RGB")
    return image.crop((g["X"], g["Y"], g["X"] + g["WIDTH"], g["Y"] + g["HEIGHT"]))


def main():
    lock = harness.hold_port()
    work = Path(tempfile.mkdtemp(prefix="sandvoll-screenshots-"))
    home = work / "home"
    home.mkdir()
    display = harness.WaylandDisplay()
    app = None
    try:
        harness.write_defaults(home, {"updateFeedURL": publish_next_build(work)})
        app = harness.WaylandApp(display, home, crash_report=False)
        app.wait_for_window()
        print("screenshots: waiting for the app to set up Python and show its page", flush=True)
        harness.wait_until(lambda: harness.find_words(harness.window_image(display, app, "app-page.png"),
                                                      "Check", "for", "updates"),
                           300, "the example page")
        DOCS.mkdir(exist_ok=True)
        window_shot(display, app, "app-page.png").save(DOCS / "app-page.png")

        # The page's first control is its "Check for updates" button.
        app.key("Tab")
        app.key("Return")
        app.find_window(r"^Sandvoll 1\.1\.0 is available$")
        harness.wait_until(lambda: "Install and Restart" in harness.read_text(
            window_shot(display, app, "update-offer.png")), 30, "the offer to paint")
        window_shot(display, app, "update-offer.png").save(DOCS / "update-offer.png")
        print("screenshots: saved %s and %s" % (DOCS / "app-page.png", DOCS / "update-offer.png"))
    finally:
        if app:
            app.close()
        display.close()
        shutil.rmtree(work, ignore_errors=True)
        lock.close()


if __name__ == "__main__":
    main()

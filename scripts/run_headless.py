"""Runs Sandvoll on the virtual display that scripts/run.sh made for it.

Saves a screenshot once the window has painted its page, says where, and
keeps the app running until it quits or the user presses Ctrl+C.

usage: python3 scripts/run_headless.py APP SCREENSHOT
"""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests/e2e"))
from PIL import Image  # noqa: E402

import harness  # noqa: E402


def main():
    app_path, shot = sys.argv[1], sys.argv[2]
    print("run: virtual display %s" % os.environ["DISPLAY"], flush=True)
    app = subprocess.Popen([app_path])
    # Ctrl+C reaches the app too, which quits and stops its server by itself.
    signal.signal(signal.SIGINT, lambda *_: None)
    signal.signal(signal.SIGTERM, lambda *_: app.terminate())
    try:
        window = harness.wait_until(lambda: running(app) and xdotool("search", "--onlyvisible", "--name", "^Sandvoll$"),
                                    60, "the Sandvoll window").split()[0]
        Path(shot).parent.mkdir(parents=True, exist_ok=True)

        def page_painted():
            running(app)
            subprocess.run(["import", "-window", "root", shot], check=True)
            g = dict(line.split("=", 1) for line in xdotool("getwindowgeometry", "--shell", window).split())
            x, y, w, h = (int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
            whole = Image.open(shot).convert("RGB").crop((x, y, x + w, y + h))
            return harness.painted(whole.crop((0, harness.menu_bar_height(whole), w, h)))

        harness.wait_until(page_painted, 60, "the window to paint", interval=0.1)
    except AssertionError as failure:
        app.terminate()
        app.wait()
        sys.exit("run: %s" % failure)
    print("run: window %s is up; screenshot saved to %s" % (window, shot))
    print("run: Sandvoll keeps running; press Ctrl+C to stop it", flush=True)
    sys.exit(app.wait())


def running(app):
    if app.poll() is not None:
        raise AssertionError("Sandvoll exited with %s" % app.returncode)
    return True


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else ""


if __name__ == "__main__":
    main()

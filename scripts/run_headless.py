"""Runs Sandvoll on the virtual display that scripts/run.sh made for it.

Waits until the window shows the app's own page, not only the status line
it shows while it sets up Python and starts the server, saves a screenshot
of the window, says how long that took and where the screenshot is, and
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

# A first launch makes the Python environment and installs the packages.
PAGE_TIMEOUT = 300


def main():
    app_path, shot = sys.argv[1], sys.argv[2]
    support = Path.home() / "Library/Application Support/Sandvoll"
    first = not (support / "venv/bin/python").exists()
    print("run: virtual display %s" % os.environ["DISPLAY"], flush=True)
    started = time.monotonic()
    app = subprocess.Popen([app_path])
    # Ctrl+C reaches the app too, which quits and stops its server by itself.
    signal.signal(signal.SIGINT, lambda *_: None)
    signal.signal(signal.SIGTERM, lambda *_: app.terminate())
    try:
        window = harness.wait_until(lambda: running(app) and xdotool("search", "--onlyvisible", "--name", "^Sandvoll$"),
                                    60, "the Sandvoll window").split()[0]
        Path(shot).parent.mkdir(parents=True, exist_ok=True)

        def app_page():
            running(app)
            subprocess.run(["import", "-window", "root", shot], check=True)
            g = dict(line.split("=", 1) for line in xdotool("getwindowgeometry", "--shell", window).split())
            x, y, w, h = (int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
            whole = Image.open(shot).convert("RGB").crop((x, y, x + w, y + h))
            view = whole.crop((0, harness.menu_bar_height(whole), w, h))
            if not harness.painted(view) or status_line(view):
                return False
            whole.save(shot)
            return True

        harness.wait_until(app_page, PAGE_TIMEOUT, "the app's page", interval=0.1)
    except AssertionError as failure:
        app.terminate()
        app.wait()
        sys.exit("run: %s" % failure)
    took = time.monotonic() - started
    print("run: the app's page showed %.1f s after launch (%s)"
          % (took, "a first launch, which set up Python" if first else "Python was already set up"))
    print("run: screenshot of window %s saved to %s" % (window, shot))
    print("run: Sandvoll keeps running; press Ctrl+C to stop it", flush=True)
    sys.exit(app.wait())


def status_line(view):
    """True while the view shows the app's status page: one short line of grey text."""
    left, top, right, bottom = harness.ink_box(view)
    darkest = min(view.convert("L").crop((left, top, right, bottom)).getdata())
    return bottom - top < 40 and darkest > 0x70


def running(app):
    if app.poll() is not None:
        raise AssertionError("Sandvoll exited with %s" % app.returncode)
    return True


def xdotool(*args):
    result = subprocess.run(["xdotool", *args], capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else ""


if __name__ == "__main__":
    main()

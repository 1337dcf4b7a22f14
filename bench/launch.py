#!/usr/bin/python3
"""Launch benchmarks, side by side in one run, under a virtual display.

1. Launch to the window's first paint: Sandvoll against a bare GTK 4 +
   WebKitGTK window that loads the same HTML string (the floor of this stack).
2. Warm launch (environment in step) to the application page, against the
   server's own start time.
3. Resident memory of the app process, of WebKit's helpers and of the server.

usage: bench/launch.py [BUILD_DIR] [ROUNDS]
"""

import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
from harness import NEVER_SERVES, VirtualDisplay, port_in_use, provision_in_step  # noqa: E402

BUILD = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 7
APP = BUILD / "Sandvoll.app/Contents/Linux/Sandvoll"


def probe(display, command, until, home, settle=0.0):
    env = {"PATH": "/usr/bin:/bin", "HOME": str(home), **display.env()}
    out = subprocess.run([str(BUILD / "bench/paint_probe"), "--until", until, "--settle", str(settle), "--", *command],
                         capture_output=True, text=True, env=env, timeout=300)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout)


def server_start_ms(home):
    support = Path(home) / "Library/Application Support/Sandvoll"
    start = time.monotonic()
    server = subprocess.Popen([str(support / "venv/bin/python"), str(support / "app/start.py"), "--server"],
                              cwd=support / "app", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        while True:
            try:
                with urllib.request.urlopen("http://127.0.0.1:8766/api/state", timeout=1) as r:
                    if r.status == 200:
                        return (time.monotonic() - start) * 1000
            except OSError:
                pass
            time.sleep(0.002)
    finally:
        server.terminate()
        server.wait()
        while port_in_use():
            time.sleep(0.01)


def median(values):
    return statistics.median(values)


def main():
    if port_in_use():
        sys.exit("port 8766 is in use; stop whatever holds it first")
    display = VirtualDisplay()
    homes = []
    try:
        # 1. First paint, alternating so both see the same machine state.
        paint_home = Path(tempfile.mkdtemp(prefix="sv-bench-"))
        homes.append(paint_home)
        provision_in_step(paint_home, NEVER_SERVES, BUILD / "Sandvoll.app")
        bare, app = [], []
        for _ in range(ROUNDS):
            bare.append(probe(display, [str(BUILD / "bench/bare_webview")], "grey", paint_home)["grey_ms"])
            app.append(probe(display, [str(APP)], "grey", paint_home)["grey_ms"])

        # 2. Warm launch to the page: provision once for real, then measure.
        warm_home = Path(tempfile.mkdtemp(prefix="sv-bench-"))
        homes.append(warm_home)
        probe(display, [str(APP)], "dark", warm_home)
        while port_in_use():
            time.sleep(0.01)
        page, spawn, server, memory = [], [], [], []
        for _ in range(ROUNDS):
            server.append(server_start_ms(warm_home))
            result = probe(display, [str(APP)], "dark", warm_home, settle=3.0)
            page.append(result["dark_ms"])
            spawn.append(result["server_spawn_ms"])
            memory.append(result)
            while port_in_use():
                time.sleep(0.01)

        rss = median([m["rss_kib"] for m in memory]) / 1024
        helpers = median([m["helpers_rss_kib"] for m in memory]) / 1024
        server_rss = median([m["server_rss_kib"] for m in memory]) / 1024
        print("Launch benchmarks, %d rounds, medians (ms)" % ROUNDS)
        print("  first paint: Sandvoll %.0f, bare GTK+WebKit %.0f, ratio %.2f (target <= 1.10)"
              % (median(app), median(bare), median(app) / median(bare)))
        added = [p - s for p, s in zip(page, spawn)]
        print("  warm launch to page: Sandvoll %.0f (it starts the server at %.0f); server alone to first 200 %.0f"
              % (median(page), median(spawn), median(server)))
        print("  from the server's start to the page shown: %.0f, of which the app adds %.0f (target <= 600)"
              % (median(added), median(added) - median(server)))
        print("  resident memory: app %.1f MiB, WebKit helpers %.1f MiB, server %.1f MiB" % (rss, helpers, server_rss))
    finally:
        display.close()
        for home in homes:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()

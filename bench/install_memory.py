#!/usr/bin/python3
"""Resident memory of the app while it installs a 256 MiB update package.

The tests' own bundle (it trusts the repository's test key) runs under a
virtual display with a temporary HOME; its first automatic check finds a
signed 256 MiB build N+1 on a loopback server and offers it. Just before the
offer is accepted, the app's peak resident size is reset and its resident
size read; from then until the app quits for the swap, its peak is followed.
Reported: the size before, the peak, and how much the install added
(target: less than 64 MiB).

usage: bench/install_memory.py [BUILD_DIR] [MiB]
"""

import fcntl
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
from harness import PORT, App, VirtualDisplay, kill_processes_under, port_in_use, provision_in_step, wait_until, write_defaults  # noqa: E402,E501

BUILD = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build"
MIB = int(sys.argv[2]) if len(sys.argv) > 2 else 256
SOURCE = BUILD / "tests/test-key/Sandvoll.app"
KEY = ROOT / "tests/fixtures/keys/test_update_key.pem"


class Quiet(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def status_kib(pid, field):
    for line in Path("/proc/%d/status" % pid).read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def make_release(work, build, version):
    """Build N+1 with incompressible filler, so that the zip is MIB MiB; returns the site folder."""
    staging = work / "staging"
    bundle = staging / "Sandvoll.app"
    shutil.copytree(SOURCE, bundle, symlinks=True)
    with open(bundle / "Contents/Info.plist", "rb") as f:
        info = plistlib.load(f)
    info["CFBundleVersion"] = str(build + 1)
    with open(bundle / "Contents/Info.plist", "wb") as f:
        plistlib.dump(info, f)
    site = work / "site"
    site.mkdir()
    package = site / "Sandvoll-next.zip"
    subprocess.run(["zip", "-q", "-r", "-y", str(package), "Sandvoll.app"], cwd=staging, check=True)
    filler = (MIB << 20) - package.stat().st_size - 4096
    with open(bundle / "Contents/Resources/filler.bin", "wb") as f:
        for _ in range(filler >> 20):
            f.write(os.urandom(1 << 20))
        f.write(os.urandom(filler & ((1 << 20) - 1)))
    package.unlink()
    subprocess.run(["zip", "-q", "-r", "-y", str(package), "Sandvoll.app"], cwd=staging, check=True)
    return site, package


def main():
    # Takes its turn on port 8766 with the end-to-end tests of every checkout.
    lock = open(Path(tempfile.gettempdir()) / ("sandvoll-e2e-port-%d.lock" % PORT), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    if port_in_use():
        sys.exit("port 8766 is in use; stop whatever holds it first")
    work = Path(tempfile.mkdtemp(prefix="sandvoll-bench-install-"))
    display = VirtualDisplay()
    server = None
    app = None
    try:
        installed = work / "Applications/Sandvoll.app"
        shutil.copytree(SOURCE, installed, symlinks=True)
        with open(installed / "Contents/Info.plist", "rb") as f:
            info = plistlib.load(f)
        build, version = int(info["CFBundleVersion"]), info["CFBundleShortVersionString"]
        site, package = make_release(work, build, version)
        server = ThreadingHTTPServer(("127.0.0.1", 0), partial(Quiet, directory=str(site)))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        base = "http://127.0.0.1:%d/" % server.server_port
        subprocess.run([str(BUILD / "tools/sandvoll-release"), "feed", str(package), "--key", str(KEY),
                        "--version", version, "--build", str(build + 1), "--url", base + package.name,
                        "--output", str(site / "update.json")], check=True, capture_output=True)

        home = work / "home"
        shipped = installed / "Contents/Resources/app"
        support = provision_in_step(home, (shipped / "start.py").read_text(), installed)
        shutil.copytree(shipped / "static", support / "app/static")
        write_defaults(home, {"updateFeedURL": base + "update.json"})
        tmp = work / "tmp"
        tmp.mkdir()
        app = App(display, home, bundle=installed, extra_env={"TMPDIR": str(tmp)}, crash_report=False,
                  name="bench-install-memory")
        app.wait_for_window()
        # The first automatic check comes 30 seconds after the start.
        offer = app.find_window("^Sandvoll .* is available$", timeout=120)
        pid = app.process.pid
        Path("/proc/%d/clear_refs" % pid).write_text("5")  # resets the peak to the present size
        before = status_kib(pid, "VmRSS")
        started = time.monotonic()
        app.key("Return", window=offer)
        peak = before
        while app.process.poll() is None:
            try:
                peak = max(peak, status_kib(pid, "VmHWM"))
            except (OSError, KeyError):
                break  # it has ended; a zombie has no memory left to read
            time.sleep(0.01)
        seconds = time.monotonic() - started
        if app.process.wait(timeout=60) != 0:
            sys.exit("the app did not hand over to the swap script:\n" + app.output())
        wait_until(lambda: not list(tmp.glob("Sandvoll-Update-*")), 120, "the swap to finish")

        print("package: %.1f MiB, install until hand-over: %.1f s, load %s"
              % (package.stat().st_size / 2**20, seconds, Path("/proc/loadavg").read_text().strip()))
        print("  resident before the download: %7.1f MiB" % (before / 1024))
        print("  peak while installing:        %7.1f MiB" % (peak / 1024))
        print("  added by the install:         %7.1f MiB  (target: less than 64 MiB)" % ((peak - before) / 1024))
    finally:
        executable = work / "Applications/Sandvoll.app/Contents/Linux/Sandvoll"
        found = subprocess.run(["pgrep", "-f", "^%s$" % executable], capture_output=True, text=True)
        for relaunched in found.stdout.split():
            os.kill(int(relaunched), 9)
        if app is not None:
            app.close()
        if server is not None:
            server.shutdown()
            server.server_close()
        kill_processes_under(work)
        display.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

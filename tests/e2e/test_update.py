"""Updates for real: offer, download, verification, swap, relaunch, and every way they can fail.

Each test installs a copy of a bundle in a folder of its own and serves a signed build N+1 from a
loopback feed. Most copies are of the tests' own bundle, which trusts the repository's two test
keys; the shipping bundle trusts neither.
"""

import hashlib
import os
import plistlib
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import zlib
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from PIL import Image

from harness import (BUNDLE, AppTestCase, desktop_entry, find_words, process_environment, provision_in_step,
                     read_text, settled, wait_until, window_image, write_defaults)

ROOT = Path(__file__).resolve().parents[2]
RELEASE_TOOL = BUNDLE.parent / "tools/sandvoll-release"
TEST_KEY_BUNDLE = Path(os.environ.get("SV_TEST_KEY_BUNDLE", BUNDLE.parent / "tests/test-key/Sandvoll.app"))
KEYS = ROOT / "tests/fixtures/keys"
NOT_INSTALLED = "^Update not installed$"
SIGNATURE_TEXT = "The update isn't properly signed, so it was not installed."
PACKAGE_TEXT = "The update package is damaged, so it was not installed."
DOWNLOAD_TEXT = "The update couldn't be downloaded. Please try again later."
COULD_NOT_START_TEXT = "The new version couldn't start, so the old one was kept."


class PackageServer(SimpleHTTPRequestHandler):
    """Serves the site; the package as fast as it can, as far as the test allows, or stopping part way."""

    def log_message(self, *args):
        pass

    def do_GET(self):
        site = self.server.site
        if self.path.endswith(".zip"):
            site.package_request_headers = dict(self.headers)
            if site.compressed is not None:
                return self.send_compressed(site.compressed)
        # As the site was when the request came: a later change is for later requests.
        paced, stall_after = site.allowed is not None, site.stall_after
        if not self.path.endswith(".zip") or (not paced and stall_after is None):
            return super().do_GET()
        data = (Path(self.directory) / self.path.lstrip("/")).read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        sent = 0
        while sent < len(data):
            if stall_after is not None and sent >= stall_after:
                site.stalled_at = time.monotonic()
                site.closing.wait()  # the connection stays open, silent
                return
            if paced:
                # The test looks at the figures between two steps. While it
                # does, a byte every few seconds keeps the download from
                # counting as stalled without moving the figures it reads.
                with site.pace:
                    site.pace.wait_for(lambda: site.closing.is_set() or site.allowed is None or site.allowed > sent,
                                       timeout=5)
                    limit = len(data) if site.allowed is None else min(site.allowed, len(data))
                step = max(1, limit - sent)
                if site.closing.is_set():
                    return
            else:
                step = stall_after - sent
            try:
                self.wfile.write(data[sent:sent + step])
                self.wfile.flush()
            except OSError:
                return  # the app gave up
            sent += step

    def send_compressed(self, body):
        """Sends body gzip-compressed as it is, whatever the request asked for."""
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Site:
    """A feed and its package on a loopback server."""

    def __init__(self, test, folder):
        self.folder = folder
        folder.mkdir()
        # How much of the package the server may send so far; None: all of it.
        self.allowed = None
        self.pace = threading.Condition()
        self.stall_after = None
        self.stalled_at = None
        # gzip bytes sent in place of the package, with a Content-Encoding that says so.
        self.compressed = None
        self.package_request_headers = None
        self.closing = threading.Event()
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), partial(PackageServer, directory=str(folder)))
        self.server.site = self
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        test.addCleanup(self.server.server_close)
        test.addCleanup(self.server.shutdown)
        test.addCleanup(self.allow, None)
        test.addCleanup(self.closing.set)
        self.base = "http://127.0.0.1:%d/" % self.server.server_port

    def allow(self, count):
        """Lets the server send the package up to byte `count` (None: all, unpaced)."""
        with self.pace:
            self.allowed = count
            self.pace.notify_all()

    def publish(self, staging, version, build, key):
        """Zips staging/Sandvoll.app as the update_package target does and writes a feed for it."""
        package = self.folder / "Sandvoll-next.zip"
        package.unlink(missing_ok=True)
        subprocess.run(["zip", "-q", "-r", "-y", str(package), "Sandvoll.app"], cwd=staging, check=True)
        subprocess.run([str(RELEASE_TOOL), "feed", str(package), "--key", str(KEYS / key), "--version", version,
                        "--build", str(build), "--url", self.base + package.name, "--notes", "Faster start.",
                        "--output", str(self.folder / "update.json")], check=True, capture_output=True)
        return package


def bundle_info(bundle):
    with open(Path(bundle) / "Contents/Info.plist", "rb") as f:
        return plistlib.load(f)


def tree_digest(folder):
    """Every name, mode, link and content under folder, as one digest."""
    digest = hashlib.sha256()
    for path in sorted(Path(folder).rglob("*")):
        digest.update(str(path.relative_to(folder)).encode() + b"\0" + oct(path.lstat().st_mode).encode())
        if path.is_symlink():
            digest.update(os.readlink(path).encode())
        elif path.is_file():
            digest.update(path.read_bytes())
    return digest.hexdigest()


def app_pids(executable):
    """The apps started from executable, by their command line; never the keeper of their server."""
    out = subprocess.run(["pgrep", "-f", "^" + str(executable) + "$"], capture_output=True, text=True)
    return [int(p) for p in out.stdout.split() if process_name(p) not in ("sandvoll-keeper", None)]


def process_name(pid):
    try:
        return Path("/proc", str(pid), "comm").read_text().strip()
    except OSError:
        return None  # it has ended


def mounts_under(folder):
    points = []
    for line in Path("/proc/self/mountinfo").read_text().splitlines():
        point = line.split()[4].encode().decode("unicode_escape")
        if point == str(folder) or point.startswith(str(folder) + "/"):
            points.append(point)
    return points


def unmount_under(folder):
    for point in sorted(mounts_under(folder), key=len, reverse=True):
        subprocess.run(["umount", "-l", point], capture_output=True)


def words(text):
    return re.sub(r"[^a-z0-9]+", " ", text.lower().replace("\u2019", "'").replace("'", "")).strip()


def says(image, sentence):
    return words(sentence) in words(read_text(image))


class UpdateTest(AppTestCase):
    def setUp(self):
        super().setUp()
        self.work = Path(tempfile.mkdtemp(prefix="sandvoll-update-e2e-"))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.addCleanup(unmount_under, self.work)
        self.applications = self.work / "Applications"
        self.applications.mkdir()
        self.tmp = self.work / "tmp"
        self.tmp.mkdir()
        self.site = Site(self, self.work / "site")
        write_defaults(self.home, {"updateFeedURL": self.site.base + "update.json"})

    def mount(self, *arguments):
        if os.geteuid() != 0:
            self.skipTest("mounting a file system needs root")
        result = subprocess.run(["mount", *arguments], capture_output=True, text=True)
        if result.returncode != 0:
            self.skipTest("this machine cannot mount here: " + result.stderr.strip())

    def install(self, source=TEST_KEY_BUNDLE):
        installed = self.applications / "Sandvoll.app"
        shutil.copytree(source, installed, symlinks=True)
        info = bundle_info(installed)
        return installed, int(info["CFBundleVersion"]), info["CFBundleShortVersionString"]

    def next_build(self, source, build, executable=None, remove_executable=False, padding=0):
        """source as build+1, its executable replaced or removed when asked, in a fresh staging folder.

        With padding, the bundle carries that many random bytes more, which no
        zip compresses away: a package of a known least size, whatever the
        build type made of the executable.
        """
        staging = Path(tempfile.mkdtemp(prefix="staging-", dir=self.work))
        staged = staging / "Sandvoll.app"
        shutil.copytree(source, staged, symlinks=True)
        if padding:
            (staged / "Contents/Resources/padding.bin").write_bytes(os.urandom(padding))
        info = bundle_info(staged)
        info["CFBundleVersion"] = str(build + 1)
        with open(staged / "Contents/Info.plist", "wb") as f:
            plistlib.dump(info, f)
        program = staged / "Contents/Linux/Sandvoll"
        if remove_executable:
            program.unlink()
        elif executable is not None:
            program.write_text(executable)
            program.chmod(0o755)
        return staging

    def launch_installed(self, installed, provisioned=True):
        if provisioned:
            # In step with the bundle, so that the app starts its server at once.
            shipped = installed / "Contents/Resources/app"
            support = provision_in_step(self.home, (shipped / "start.py").read_text(), installed)
            shutil.copytree(shipped / "static", support / "app/static")
        app = self.launch(bundle=installed, extra_env={"TMPDIR": str(self.tmp)})
        app.wait_for_window()
        self.addCleanup(lambda: [os.kill(p, signal.SIGKILL) for p in app_pids(installed / "Contents/Linux/Sandvoll")])
        return app

    def page(self, app, name, timeout=120):
        # Settled: its script has run, so it shows the build the app told it.
        return wait_until(lambda: (lambda im: im if settled(im, "Check for updates") else None)(
            window_image(self.display, app, name)), timeout, "the example page")

    def accept_offer(self, app, version, name):
        page = self.page(app, name + "-page.png")
        app.click(find_words(page, "Check", "for", "updates"), app.view_origin())
        offer = app.find_window("^Sandvoll %s is available$" % re.escape(version))
        wait_until(lambda: "Install and Restart" in read_text(window_image(self.display, app, name + "-offer.png")),
                   30, "the offer")
        app.key("Return", window=offer)  # the default button: Install and Restart

    def expect_told(self, app, sentence, name, timeout=60):
        """Waits for "Update not installed" with the sentence, then dismisses it; returns when it showed."""
        box = app.find_window(NOT_INSTALLED, timeout=timeout)
        shown = time.monotonic()
        wait_until(lambda: says(window_image(self.display, app, name), sentence), 30, repr(sentence))
        app.key("Return", window=box)
        wait_until(lambda: not app.xdotool("search", "--onlyvisible", "--name", NOT_INSTALLED), 10,
                   "the message to close")
        return shown

    def work_directories(self):
        return list(self.tmp.glob("Sandvoll-Update-*"))

    def test_an_accepted_update_signed_with_the_second_trusted_key_replaces_the_bundle_and_relaunches_it(self):
        installed, build, version = self.install()
        # The tests' bundle trusts both test keys; this package is signed with the second.
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build), version, build + 1, "test_update_key_2.pem")

        app = self.launch_installed(installed, provisioned=False)
        page = self.page(app, "update-before.png", timeout=180)
        self.assertIn("(build %d)" % build, read_text(page))
        wait_until(lambda: (desktop_entry(self.home) or {}).get("X-Sandvoll-Build") == str(build), 30,
                   "the launcher entry")
        old_pid = app.process.pid
        self.accept_offer(app, version, "update")
        self.assertEqual(app.process.wait(timeout=60), 0)

        # Launched again from the old path while the bundles are swapped, it waits until the new
        # version has shown its window, then hands over to it instead of running as the old one.
        during = self.launch(bundle=installed, extra_env={"TMPDIR": str(self.tmp)}, name="update-launch-during")
        self.assertEqual(during.process.wait(timeout=120), 0, during.output())

        # The script waits for the old process, swaps the bundle and starts the new one.
        executable = installed / "Contents/Linux/Sandvoll"
        new_pids = wait_until(lambda: [p for p in app_pids(executable) if p != old_pid], 60, "the relaunched app")
        self.assertEqual(len(new_pids), 1, "one instance")
        # It starts as this one was started, without what this one set for its own drawing.
        self.assertNotIn("GSK_RENDERER", process_environment(new_pids[0]))
        self.assertEqual(int(bundle_info(installed)["CFBundleVersion"]), build + 1)
        wait_until(lambda: not self.work_directories(), 60, "the work directory to go")
        wait_until(lambda: [p.name for p in self.applications.iterdir()] == ["Sandvoll.app"], 30,
                   "the old bundle to go")

        # Follow the new process's window from here on.
        app.window = wait_until(lambda: (lambda found: found.split()[0] if found else None)(
            app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$")), 60, "the relaunched window")
        page = self.page(app, "update-after.png")
        self.assertIn("(build %d)" % (build + 1), read_text(page))
        # The launcher entry follows the bundle to its new build.
        wait_until(lambda: (desktop_entry(self.home) or {}).get("X-Sandvoll-Build") == str(build + 1), 30,
                   "the launcher entry of the new build")
        self.assertEqual(desktop_entry(self.home)["TryExec"], str(executable))
        for pid in new_pids:
            os.kill(pid, signal.SIGTERM)
        wait_until(lambda: not app_pids(executable), 30, "the relaunched app to quit")

    def test_a_build_without_a_key_refuses_a_package_signed_with_the_test_key(self):
        installed, build, version = self.install(BUNDLE)
        before = tree_digest(installed)
        self.site.publish(self.next_build(BUNDLE, build), version, build + 1, "test_update_key.pem")
        app = self.launch_installed(installed)
        self.accept_offer(app, version, "update-no-key")
        self.expect_told(app, SIGNATURE_TEXT, "update-no-key-refused.png")
        self.assertIsNone(app.process.poll())
        self.assertEqual(tree_digest(installed), before)
        self.assertEqual([p.name for p in self.applications.iterdir()], ["Sandvoll.app"])
        self.assertEqual(self.work_directories(), [])

    def test_no_room_beside_the_app_for_the_new_bundle_leaves_the_old_one_running(self):
        size = sum(p.stat().st_size for p in TEST_KEY_BUNDLE.rglob("*") if p.is_file())
        # Room for one bundle, not for two.
        self.mount("-t", "tmpfs", "-o", "size=%dk" % ((size * 3 // 2) // 1024), "tmpfs", str(self.applications))
        installed, build, version = self.install()
        before = tree_digest(installed)
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build), version, build + 1, "test_update_key.pem")
        app = self.launch_installed(installed)
        self.accept_offer(app, version, "update-no-room")
        self.expect_told(app, DOWNLOAD_TEXT, "update-no-room-refused.png")
        self.assertIsNone(app.process.poll(), "the old version goes on running")
        self.assertEqual(tree_digest(installed), before)
        self.assertEqual([p.name for p in self.applications.iterdir()], ["Sandvoll.app"])
        self.assertEqual(self.work_directories(), [])

    def test_a_read_only_folder_inside_the_old_bundle_does_not_stop_the_update(self):
        installed, build, version = self.install()
        locked = installed / "Contents/Resources/locked"
        (locked / "inside").mkdir(parents=True)
        (locked / "inside/file").write_text("kept by the system")
        # Read-only for root too: a read-only bind mount of the folder onto itself.
        self.mount("--bind", str(locked), str(locked))
        self.mount("-o", "remount,ro,bind", str(locked))
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build), version, build + 1, "test_update_key.pem")

        app = self.launch_installed(installed)
        old_pid = app.process.pid
        self.accept_offer(app, version, "update-read-only")
        self.assertEqual(app.process.wait(timeout=60), 0)
        executable = installed / "Contents/Linux/Sandvoll"
        wait_until(lambda: [p for p in app_pids(executable) if p != old_pid], 60, "the relaunched app")
        wait_until(lambda: not self.work_directories(), 60, "the work directory to go")
        self.assertEqual(int(bundle_info(installed)["CFBundleVersion"]), build + 1)
        # Nothing of the new bundle went into the remains of the old one, nor the other way round.
        self.assertFalse((installed / "Contents/Resources/locked").exists())
        self.assertEqual(list(installed.rglob("Sandvoll.app*")), [])
        leftovers = sorted(p.name for p in self.applications.iterdir() if p.name != "Sandvoll.app")
        self.assertTrue(all(name.startswith("Sandvoll.app.old-") for name in leftovers), leftovers)
        for name in leftovers:
            self.assertFalse((self.applications / name / "Contents/Info.plist").exists(), "only what could not go")
        app.window = wait_until(lambda: (lambda found: found.split()[0] if found else None)(
            app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$")), 60, "the relaunched window")
        self.assertIn("(build %d)" % (build + 1), read_text(self.page(app, "update-read-only-after.png")))

    def test_a_new_version_that_cannot_start_is_refused_or_rolled_back(self):
        installed, build, version = self.install()
        before = tree_digest(installed)
        executable = installed / "Contents/Linux/Sandvoll"

        # Without its executable the package is refused before anything is swapped.
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build, remove_executable=True), version, build + 1,
                          "test_update_key.pem")
        app = self.launch_installed(installed)
        self.accept_offer(app, version, "update-no-executable")
        self.expect_told(app, PACKAGE_TEXT, "update-no-executable-refused.png")
        self.assertIsNone(app.process.poll())
        self.assertEqual(tree_digest(installed), before)

        # Something that takes the staged bundle's name during the download is not the install's to
        # remove: it stays as it was, and the user hears that the update could not be downloaded.
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build), version, build + 1, "test_update_key.pem")
        self.site.allow(0)
        self.accept_offer(app, version, "update-name-taken")
        work = wait_until(self.work_directories, 60, "the work directory")[0]
        taken = self.applications / ("Sandvoll.app.new-" + work.name[len("Sandvoll-Update-"):][:8])
        (taken / "inside").mkdir(parents=True)
        (taken / "inside/file").write_text("someone else's")
        taken_digest = tree_digest(taken)
        self.site.allow(None)
        self.expect_told(app, DOWNLOAD_TEXT, "update-name-taken-refused.png")
        self.assertIsNone(app.process.poll())
        self.assertEqual(tree_digest(taken), taken_digest)
        self.assertEqual(tree_digest(installed), before)
        self.assertEqual(self.work_directories(), [])
        shutil.rmtree(taken)

        # One that exits at once, even with status 0 (as it does when it hands over to another
        # instance), is swapped in, has not started, and the old bundle goes back.
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build, executable="#!/bin/sh\nexit 0\n"), version,
                          build + 1, "test_update_key.pem")
        old_pid = app.process.pid
        self.accept_offer(app, version, "update-exits")
        self.assertEqual(app.process.wait(timeout=60), 0)
        app.window = wait_until(lambda: (lambda found: found.split()[0] if found else None)(
            app.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$")), 90, "the old version's window again")
        self.expect_told(app, COULD_NOT_START_TEXT, "update-exits-rolled-back.png")
        self.assertTrue([p for p in app_pids(executable) if p != old_pid], "the old version runs again")
        self.assertEqual(tree_digest(installed), before)
        wait_until(lambda: not self.work_directories(), 30, "the work directory to go")
        wait_until(lambda: [p.name for p in self.applications.iterdir()] == ["Sandvoll.app"], 30,
                   "the failed bundle to go")

    def test_a_package_sent_compressed_is_stored_as_it_came_and_refused_as_unsigned(self):
        # A few hundred kB that decode to 256 MiB, in a temporary folder with
        # room for 4 MiB: decoded, the package could not even be written.
        self.mount("-t", "tmpfs", "-o", "size=4m,mode=1777", "tmpfs", str(self.tmp))
        compressor = zlib.compressobj(6, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
        chunk = bytes(1 << 20)
        self.site.compressed = b"".join(compressor.compress(chunk) for _ in range(256)) + compressor.flush()
        self.assertLess(len(self.site.compressed), 1 << 20)
        installed, build, version = self.install()
        before = tree_digest(installed)
        self.site.publish(self.next_build(TEST_KEY_BUNDLE, build), version, build + 1, "test_update_key.pem")

        app = self.launch_installed(installed)
        self.accept_offer(app, version, "update-compressed")
        self.expect_told(app, SIGNATURE_TEXT, "update-compressed-refused.png")
        self.assertEqual(self.site.package_request_headers.get("Accept-Encoding"), "identity")
        self.assertIsNone(app.process.poll())
        self.assertEqual(tree_digest(installed), before)
        self.assertEqual(self.work_directories(), [])

    def progress_window(self, app):
        found = app.xdotool("search", "--onlyvisible", "--name", "^Updating Sandvoll$")
        return found.split()[0] if found else None

    def progress_image(self, app, name):
        window = wait_until(lambda: self.progress_window(app), 30, "the progress window")
        out = app.xdotool("getwindowgeometry", "--shell", window)
        g = {k: int(v) for k, v in (line.split("=", 1) for line in out.splitlines())
             if k in ("X", "Y", "WIDTH", "HEIGHT")}
        shot = Image.open(self.display.screenshot(name)).convert("RGB")
        return window, (g["X"], g["Y"]), shot.crop((g["X"], g["Y"], g["X"] + g["WIDTH"], g["Y"] + g["HEIGHT"]))

    def test_the_download_shows_its_progress_can_be_cancelled_and_gives_up_after_a_minute_of_silence(self):
        installed, build, version = self.install()
        # Well above every figure the site lets through below, in any build type.
        staging = self.next_build(TEST_KEY_BUNDLE, build, padding=8 << 20)
        package = self.site.publish(staging, version, build + 1, "test_update_key.pem")
        self.assertGreater(package.stat().st_size, 4 << 20)
        self.site.allow(1 << 20)
        app = self.launch_installed(installed)
        self.accept_offer(app, version, "update-progress")

        units = {"bytes": 1, "kB": 1e3, "MB": 1e6, "GB": 1e9}

        def figures(name):
            _, _, image = self.progress_image(app, name)
            text = read_text(image)
            # The OCR engine reads the small grey digits 5 and 0 as S and O now and then.
            match = re.search(r"([\dSO.]+) ?(bytes|kB|MB|GB) of ([\dSO.]+) ?(kB|MB|GB)", text)
            if "Downloading Sandvoll" not in text or not match:
                return None
            return float(match.group(1).translate(str.maketrans("SO", "50"))) * units[match.group(2)]

        first = wait_until(lambda: figures("update-progress-1.png"), 60, "figures in the progress window")
        self.site.allow(3 << 20)
        second = wait_until(lambda: (lambda f: f if f and f > first else None)(figures("update-progress-2.png")),
                            60, "the figures to rise")
        self.assertGreater(second, first)
        self.assertTrue(self.work_directories())

        # Cancel: the window goes, the work directory goes, and nothing more is said.
        window, origin, image = self.progress_image(app, "update-progress-cancel.png")
        cancel = find_words(image, "Cancel")
        self.assertIsNotNone(cancel, "a Cancel button")
        app.click(cancel, origin)
        wait_until(lambda: not self.progress_window(app), 10, "the progress window to close")
        wait_until(lambda: not self.work_directories(), 10, "the work directory to go")
        self.assertIsNone(app.process.poll())
        # The updater is free again: the next check offers the update anew.
        self.site.allow(None)
        self.site.stall_after = 1 << 20
        self.accept_offer(app, version, "update-stall")
        self.assertFalse(app.xdotool("search", "--onlyvisible", "--name", NOT_INSTALLED))

        # A server that stops sending part way: given up after 60 seconds without a byte.
        wait_until(lambda: self.site.stalled_at, 60, "the download to stall")
        told = self.expect_told(app, DOWNLOAD_TEXT, "update-stall-refused.png", timeout=120)
        self.assertGreaterEqual(told - self.site.stalled_at, 60)
        self.assertIsNone(app.process.poll())
        self.assertEqual(self.work_directories(), [])
        self.assertEqual(int(bundle_info(installed)["CFBundleVersion"]), build)


if __name__ == "__main__":
    unittest.main()

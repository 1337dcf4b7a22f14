"""Drives the real Sandvoll.app under a virtual X display, or in a headless Wayland session.

Each test gets its own Xvfb (or sway), its own temporary HOME and the bundle built by
CMake (SV_BUNDLE). Screenshots go to SV_ARTIFACTS so a person can look at
them after the run.
"""

import ctypes
import fcntl
import json
import os
import plistlib
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from PIL import Image

BUNDLE = Path(os.environ.get("SV_BUNDLE", Path(__file__).resolve().parents[2] / "build" / "Sandvoll.app"))
ARTIFACTS = Path(os.environ.get("SV_ARTIFACTS", Path(__file__).resolve().parents[2] / "build" / "e2e-artifacts"))
CRASH_REPORT_LIB = Path(os.environ.get("SV_CRASH_REPORT_LIB", BUNDLE.parent / "tests/libsv_crash_report.so"))
ICON_LOOKUP = BUNDLE.parent / "tests/icon_lookup"
PORT = 8766
BUNDLE_ID = "org.sandvoll.Sandvoll"
# Signals that mean the app crashed, rather than that someone stopped it.
CRASH_SIGNALS = (signal.SIGSEGV, signal.SIGBUS, signal.SIGILL, signal.SIGFPE, signal.SIGABRT)


def wait_until(condition, timeout, what, interval=0.05):
    """Polls condition until it returns something truthy; fails with `what` on timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def port_in_use(port=PORT):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


def hold_port():
    """Waits for the turn on port 8766 and returns the lock; closing it ends the turn.

    The app always takes that port, so the end-to-end tests of two checkouts
    on one machine (and the screenshots script) take turns, one at a time.
    """
    lock = open(Path(tempfile.gettempdir()) / ("sandvoll-e2e-port-%d.lock" % PORT), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


class SessionBus:
    """A session bus of its own, as a desktop session has one.

    GTK and the accessibility layer look for it at start; without one every
    program prints warnings that a person reads as errors. The services the
    bus starts on demand (the accessibility bus) end with it: they share its
    process group.
    """

    def __init__(self, env):
        self.runtime = Path(tempfile.mkdtemp(prefix="sv-session-"))
        self.runtime.chmod(0o700)
        bus_env = {**env, "XDG_RUNTIME_DIR": str(self.runtime)}
        self.process = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                        env=bus_env, start_new_session=True)
        self.address = self.process.stdout.readline().strip()
        if not self.address:
            self.close()
            raise RuntimeError("the session bus did not start")

    def env(self):
        return {"DBUS_SESSION_BUS_ADDRESS": self.address, "XDG_RUNTIME_DIR": str(self.runtime)}

    def close(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.process.wait(timeout=10)
        self.process.stdout.close()
        shutil.rmtree(self.runtime, ignore_errors=True)


def start_xvfb(width, height, number=None):
    """Starts Xvfb and returns (process, display name), or None if that number was taken.

    -noreset: by default an X server resets itself when its last client
    disconnects, and a program that connects during the reset is told
    "cannot open display". Short-lived clients such as xdotool and import
    make that moment come often.
    """
    read_end, write_end = os.pipe()
    process = subprocess.Popen(
        ["Xvfb", *([":%d" % number] if number is not None else []), "-displayfd", str(write_end),
         "-screen", "0", "%dx%dx24" % (width, height), "-nolisten", "tcp", "-noreset"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        ready = f.readline().strip()
    if not ready:
        process.kill()
        process.wait()
        return None
    return process, ":" + ready


class VirtualDisplay:
    """An X display and a session bus: what a desktop session gives a program."""

    def __init__(self, width=1920, height=1200):
        started = start_xvfb(width, height)
        if started is None:
            raise RuntimeError("Xvfb did not start")
        self.process, self.name = started
        try:
            self.bus = SessionBus({**os.environ, **self.env()})
        except Exception:
            self.process.kill()
            raise

    def env(self):
        env = {"DISPLAY": self.name, "GDK_BACKEND": "x11"}
        if hasattr(self, "bus"):
            env.update(self.bus.env())
        return env

    def screenshot(self, name):
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        path = ARTIFACTS / name
        subprocess.run(["import", "-window", "root", str(path)], check=True,
                       env={**os.environ, **self.env()}, timeout=30)
        return path

    def close(self):
        self.bus.close()
        self.process.terminate()
        self.process.wait(timeout=10)


class WaylandDisplay:
    """A headless Wayland session and a session bus, with no X server in reach.

    The compositor is sway on its headless backend, drawing with the CPU:
    it has what the tests need from a desktop, a window tree with each
    window's app_id and geometry (swaymsg), screenshots (grim) and a virtual
    keyboard that types real key events into the focused window (wtype).
    Every window floats, so it takes the size it asks for, as on a desktop.
    sway refuses to run as root; as root it runs as nobody, and the clients
    (root) reach its socket in the session's runtime folder all the same.
    """

    CONFIG = ("xwayland disable\n"
              "output HEADLESS-1 resolution {width}x{height} position 0 0\n"
              "default_border none\n"
              "default_floating_border none\n"
              "for_window [shell=\"xdg_shell\"] floating enable\n")

    def __init__(self, width=1920, height=1200):
        base = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "GDK_BACKEND")}
        self.bus = SessionBus(base)
        self.runtime = self.bus.runtime
        self.swaysock = self.runtime / "sway-ipc.sock"
        config = self.runtime / "sway.config"
        config.write_text(self.CONFIG.format(width=width, height=height))
        as_user = []
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.runtime, nobody.pw_uid, nobody.pw_gid)
            as_user = ["setpriv", "--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid, "--clear-groups"]
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [*as_user, "sway", "--config", str(config)], stdout=self.log, stderr=subprocess.STDOUT,
            env={**base, "XDG_RUNTIME_DIR": str(self.runtime), "SWAYSOCK": str(self.swaysock),
                 "WLR_BACKENDS": "headless", "WLR_HEADLESS_OUTPUTS": "1", "WLR_LIBINPUT_NO_DEVICES": "1",
                 "WLR_RENDERER": "pixman"})
        try:
            wait_until(self._ready, 30, "sway to start")
        except Exception:
            self.close()
            raise
        self.name = next(p.name for p in self.runtime.glob("wayland-*") if not p.name.endswith(".lock"))
        # A seat gains its keyboard with the first virtual keyboard and loses
        # it with the last. A keyboard that stays for the whole session keeps
        # the clients' keyboards in place, so a key typed later cannot arrive
        # before the client has a keyboard to receive it.
        self.keyboard = subprocess.Popen(["wtype", "-s", str(24 * 3600 * 1000)], env={**os.environ, **self.env()},
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: any(i["type"] == "keyboard" for i in json.loads(self.swaymsg("-t", "get_inputs"))),
                   10, "the session's keyboard")

    def _ready(self):
        if self.process.poll() is not None:
            self.log.seek(0)
            raise AssertionError("sway exited with %s:\n%s" % (self.process.returncode,
                                                             self.log.read().decode(errors="replace")))
        return self.swaysock.exists() and self.swaymsg("-t", "get_outputs") is not None

    def env(self):
        return {"WAYLAND_DISPLAY": self.name, **self.bus.env()}

    def swaymsg(self, *args):
        result = subprocess.run(["swaymsg", "--socket", str(self.swaysock), *args], capture_output=True,
                                text=True, timeout=30)
        return result.stdout if result.returncode == 0 else None

    def windows(self):
        """Every client window: its con_id, title (name), app_id, shell, pid and geometry."""
        found = []

        def walk(node):
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                if child.get("pid"):
                    found.append(child)
                walk(child)
        walk(json.loads(self.swaymsg("-t", "get_tree")))
        return found

    def run(self, *command):
        return subprocess.run(command, check=True, timeout=30, capture_output=True,
                              env={**os.environ, **self.env()})

    def screenshot(self, name):
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        path = ARTIFACTS / ("wayland-" + name)
        self.run("grim", str(path))
        return path

    def close(self):
        if getattr(self, "keyboard", None):
            self.keyboard.kill()
            self.keyboard.wait(timeout=10)
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self.log.close()
        self.bus.close()


class App:
    """One run of the app's executable.

    The crash report library is loaded into it: should it die from a signal,
    a backtrace of every thread is saved next to the screenshots, and the
    test fails with it.
    """

    def __init__(self, display, home, bundle=BUNDLE, extra_env=None, name="Sandvoll", crash_report=True,
                 command=None):
        self.display = display
        self.home = Path(home)
        self.name = name
        # The app keeps its launcher entry under XDG_DATA_HOME: the machine's own must not be written to.
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "GDK_BACKEND", "XDG_DATA_HOME")}
        env.update(display.env())
        env["HOME"] = str(home)
        if crash_report:
            if not CRASH_REPORT_LIB.exists():
                raise RuntimeError("%s is missing; build the tests first" % CRASH_REPORT_LIB)
            env["LD_PRELOAD"] = str(CRASH_REPORT_LIB)
            env["SV_CRASH_REPORT_DIR"] = str(ARTIFACTS / "crashes")
        env.update(extra_env or {})
        self.log = tempfile.TemporaryFile()
        # `command` starts the app some other way, as a launcher does.
        self.process = subprocess.Popen(command or [str(Path(bundle) / "Contents/Linux/Sandvoll")], env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        self.window = None

    def crash_report(self):
        """The backtrace the app left when it died from a signal (None if it did not), renamed after the test."""
        if self.process.poll() is None or -self.process.returncode not in CRASH_SIGNALS:
            return None
        report = ARTIFACTS / "crashes" / ("Sandvoll-%d.backtrace.txt" % self.process.pid)
        named = ARTIFACTS / ("%s-%d.backtrace.txt" % (self.name, self.process.pid))
        if report.exists():
            report.replace(named)
        if not named.exists():
            return "(no backtrace: %s was not written)" % report
        return "%s\n(saved to %s)" % (named.read_text(errors="replace"), named)

    def xdotool(self, *args, timeout=30):
        result = subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=timeout,
                                env={**os.environ, **self.display.env()})
        return result.stdout.strip() if result.returncode == 0 else None

    def wait_for_window(self, timeout=30):
        def find():
            if self.process.poll() is not None:
                raise AssertionError("Sandvoll exited with %s before its window showed:\n%s"
                                     % (self.process.returncode, self.output()))
            found = self.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$")
            return found.split()[0] if found else None
        self.window = wait_until(find, timeout, "the Sandvoll window")
        return self.window

    def geometry(self):
        out = self.xdotool("getwindowgeometry", "--shell", self.window)
        values = dict(line.split("=", 1) for line in out.splitlines())
        return {k: int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")}

    def resize(self, width, height):
        self.xdotool("windowsize", self.window, str(width), str(height))
        wait_until(lambda: self.geometry()["WIDTH"] == width and self.geometry()["HEIGHT"] == height,
                   10, "the window to take %dx%d" % (width, height))

    def key(self, keys, window=None):
        target = window or self.window
        self.xdotool("windowfocus", "--sync", target)
        self.xdotool("key", "--clearmodifiers", keys)

    def type(self, text, window=None):
        """Types text into the window's focused widget, key by key, as a person does."""
        self.xdotool("windowfocus", "--sync", window or self.window)
        self.xdotool("type", "--clearmodifiers", "--delay", "30", text)

    def close_window(self):
        """Asks the window to close, as a window manager does for its close button (WM_DELETE_WINDOW)."""
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
        x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):  # XClientMessageEvent, padded to the size of an XEvent
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
        display = x11.XOpenDisplay(self.display.name.encode())
        if not display:
            raise AssertionError("cannot open display %s" % self.display.name)
        try:
            message = ClientMessage(type=33, window=int(self.window), format=32,  # 33: ClientMessage
                                    message_type=x11.XInternAtom(display, b"WM_PROTOCOLS", 0))
            message.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            x11.XSendEvent(display, message.window, 0, 0, ctypes.byref(message))
            x11.XFlush(display)
        finally:
            x11.XCloseDisplay(display)

    def find_window(self, title, timeout=30):
        def find():
            found = self.xdotool("search", "--onlyvisible", "--name", title)
            return found.split()[0] if found else None
        return wait_until(find, timeout, "a window titled %r" % title)

    def click(self, image_point, display_image_offset):
        x = image_point[0] + display_image_offset[0]
        y = image_point[1] + display_image_offset[1]
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", "1")

    def view_origin(self, name="origin.png"):
        """Screen position of the web view's top-left corner."""
        path = self.display.screenshot(name)
        g = self.geometry()
        window = Image.open(path).convert("RGB").crop((g["X"], g["Y"], g["X"] + g["WIDTH"], g["Y"] + g["HEIGHT"]))
        return (g["X"], g["Y"] + menu_bar_height(window))

    def support(self):
        return self.home / "Library/Application Support/Sandvoll"

    def server_log(self):
        try:
            return (self.support() / "server.log").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def terminate(self, sig=signal.SIGTERM, timeout=20):
        self.process.send_signal(sig)
        return self.process.wait(timeout=timeout)

    def output(self):
        """What the app printed (with the backtrace, should it have crashed)."""
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")

    def close(self):
        if self.log.closed:
            return
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)
        # An app that died or was killed leaves its server running, in a
        # session of its own; it would hold the port against every later test.
        kill_processes_under(self.home)
        self.log.close()
        crash = self.crash_report()
        if crash is not None:
            raise AssertionError("Sandvoll died from %s during the test.\n%s"
                                 % (signal.Signals(-self.process.returncode).name, crash))


class WaylandApp(App):
    """The app in a Wayland session: its windows are found through the compositor."""

    def window_named(self, title):
        for node in self.display.windows():
            if node["pid"] == self.process.pid and re.search(title, node.get("name") or ""):
                return node
        return None

    def wait_for_window(self, timeout=30):
        def find():
            if self.process.poll() is not None:
                raise AssertionError("Sandvoll exited with %s before its window showed:\n%s"
                                     % (self.process.returncode, self.output()))
            node = self.window_named("^Sandvoll$")
            return node["id"] if node else None
        self.window = wait_until(find, timeout, "the Sandvoll window")
        return self.window

    def find_window(self, title, timeout=30):
        return wait_until(lambda: (lambda node: node["id"] if node else None)(self.window_named(title)),
                          timeout, "a window titled %r" % title)

    def node(self, window=None):
        target = window or self.window
        return next(n for n in self.display.windows() if n["id"] == target)

    def geometry(self):
        node = self.node()
        outer, inner = node["rect"], node["window_rect"]
        return {"X": outer["x"] + inner["x"], "Y": outer["y"] + inner["y"],
                "WIDTH": inner["width"], "HEIGHT": inner["height"]}

    def resize(self, width, height):
        self.display.swaymsg("[con_id=%d] resize set width %d px height %d px" % (self.window, width, height))
        wait_until(lambda: self.geometry()["WIDTH"] == width and self.geometry()["HEIGHT"] == height,
                   10, "the window to take %dx%d" % (width, height))

    def key(self, keys, window=None):
        """Types keys written as xdotool writes them ("ctrl+q", "Return") into the window."""
        target = window or self.window
        self.display.swaymsg("[con_id=%d] focus" % target)
        wait_until(lambda: self.node(target)["focused"], 10, "the window to have the focus")
        *modifiers, key = keys.split("+")
        args = [a for m in modifiers for a in ("-M", m)] + ["-k", key] + [a for m in modifiers for a in ("-m", m)]
        self.display.run("wtype", *args)


def processes_under(home):
    """The processes whose command line names a path under home (the server the app started, say)."""
    needle = str(home).encode() + b"/"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            # A dead process (a zombie too) has an empty command line.
            if needle in Path("/proc", entry, "cmdline").read_bytes():
                found.append(int(entry))
        except OSError:
            pass
    return found


def process_table():
    """Every process now: (pid, state, parent pid, name) from /proc."""
    table = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path("/proc", entry, "stat").read_text()
        except OSError:
            continue
        # The name in brackets may hold blanks; the state and the parent come after it.
        state, parent = stat[stat.rindex(")") + 2:].split()[:2]
        table.append((int(entry), state, int(parent), stat[stat.index("(") + 1:stat.rindex(")")]))
    return table


def zombie_children(pid):
    """The names of pid's children that have ended and wait to be reaped."""
    return [name for _, state, parent, name in process_table() if state == "Z" and parent == pid]


def web_processes(pid):
    """The web engine's content processes among the descendants of pid (they may run in a sandbox)."""
    children = {}
    for child, _, parent, _ in process_table():
        children.setdefault(parent, []).append(child)
    found, queue = [], list(children.get(pid, []))
    while queue:
        child = queue.pop()
        queue.extend(children.get(child, []))
        try:
            program = Path("/proc", str(child), "cmdline").read_bytes().split(b"\0")[0]
        except OSError:
            continue
        if program.endswith(b"/WebKitWebProcess"):
            found.append(child)
    return found


def loopback_listener_uids(table, port=PORT):
    """The user ids of the sockets listening on port in /proc/net/tcp or tcp6, whatever their address."""
    uids = []
    for line in Path("/proc/net", table).read_text().splitlines()[1:]:
        fields = line.split()
        if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
            uids.append(int(fields[7]))
    return uids


def process_environment(pid):
    """The environment a process started with, as a dict."""
    entries = Path("/proc", str(pid), "environ").read_bytes().split(b"\0")
    return dict(e.decode("utf-8", "replace").split("=", 1) for e in entries if b"=" in e)


def kill_processes_under(home):
    """Kills every process whose command line names a path under home."""
    for pid in processes_under(home):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    wait_until(lambda: not processes_under(home), 10, "the processes left under %s to end" % home)


def window_image(display, app, name):
    """A screenshot cropped to the app's web view (below the window's menu bar)."""
    path = display.screenshot(name)
    g = app.geometry()
    window = Image.open(path).convert("RGB").crop((g["X"], g["Y"], g["X"] + g["WIDTH"], g["Y"] + g["HEIGHT"]))
    return window.crop((0, menu_bar_height(window), window.width, window.height))


def menu_bar_height(window):
    """Rows at the top that belong to the menu bar: up to its bottom border."""
    grey = window.convert("L")
    limit = min(80, grey.height)
    for y in range(limit):
        row = [grey.getpixel((x, y)) for x in range(0, grey.width, 7)]
        if max(row) < 235 and max(row) - min(row) < 8:
            # the menu bar's uniform bottom border line
            return y + 1
    return 0


def read_text(image):
    """The words a person would read in the image (tesseract)."""
    with tempfile.NamedTemporaryFile(suffix=".png") as f:
        # Text is small and grey: enlarge and binarise for the OCR engine.
        big = image.convert("L").resize((image.width * 2, image.height * 2))
        big.point(lambda v: 0 if v < 200 else 255).save(f.name)
        result = subprocess.run(["tesseract", f.name, "-", "--psm", "11"], capture_output=True,
                                text=True, timeout=120)
    return " ".join(result.stdout.split())


def settled(image, *phrases):
    """True once the example page shows every phrase and has filled in its job list, which says
    "Loading…" until the first answer comes: what is below it moves up then, and a click aimed by an
    earlier screenshot would land on something else."""
    text = read_text(image)
    return "Loading" not in text and all(phrase in text for phrase in phrases)


def painted(image):
    """True once the page has painted: mostly white, with some ink on it."""
    grey = image.convert("L")
    histogram = grey.histogram()
    white = sum(histogram[250:])
    return white > 0.9 * image.width * image.height and ink_box(image) is not None


def wait_for_page(display, app, name, timeout=30, condition=None):
    """Screenshots the window until its page has painted (and condition holds)."""
    def attempt():
        image = window_image(display, app, name)
        if painted(image) and (condition is None or condition(image)):
            return image
        return None
    return wait_until(attempt, timeout, "the window to paint " + name, interval=0.2)


def find_words(image, *words):
    """Centre of the first place where the words appear in a row, in image coordinates, or None."""
    with tempfile.NamedTemporaryFile(suffix=".png") as f:
        image.convert("L").resize((image.width * 2, image.height * 2)).point(
            lambda v: 0 if v < 200 else 255).save(f.name)
        result = subprocess.run(["tesseract", f.name, "-", "--psm", "11", "tsv"], capture_output=True,
                                text=True, timeout=120)
    rows = [line.split("\t") for line in result.stdout.splitlines()[1:]]
    found = [(r[11].strip(), int(r[6]), int(r[7]), int(r[8]), int(r[9])) for r in rows if len(r) == 12 and r[11].strip()]
    for i in range(len(found) - len(words) + 1):
        if all(found[i + k][0].startswith(w) for k, w in enumerate(words)):
            first, last = found[i], found[i + len(words) - 1]
            left, top = first[1], min(w[2] for w in found[i:i + len(words)])
            right, bottom = last[1] + last[3], max(w[2] + w[4] for w in found[i:i + len(words)])
            return ((left + right) // 4, (top + bottom) // 4)
    return None


def ink_box(image, threshold=250):
    """Bounding box of everything that is not (nearly) white."""
    mask = image.convert("L").point(lambda v: 255 if v < threshold else 0)
    return mask.getbbox()


def desktop_entry(home):
    """The keys of the launcher entry the app keeps in this HOME, or None while there is none."""
    try:
        lines = (Path(home) / ".local/share/applications" / (BUNDLE_ID + ".desktop")).read_text().splitlines()
    except FileNotFoundError:
        return None
    return dict(line.split("=", 1) for line in lines if "=" in line)


def defaults_file(home):
    return Path(home) / "Library/Preferences" / (BUNDLE_ID + ".plist")


def provision_in_step(home, start_py, bundle=BUNDLE):
    """Lays out a support folder that is already in step with the bundle, with our own start.py.

    The app then copies nothing and installs nothing; what the server does is up to start_py.
    """
    shipped = Path(bundle) / "Contents/Resources/app"
    support = Path(home) / "Library/Application Support/Sandvoll"
    project = support / "app"
    project.mkdir(parents=True, exist_ok=True)
    shutil.copy(shipped / ".stamp", project / ".stamp")
    shutil.copy(shipped / "requirements.txt", project / "requirements.txt")
    (project / "start.py").write_text(start_py)
    venv_bin = support / "venv/bin"
    venv_bin.mkdir(parents=True, exist_ok=True)
    (venv_bin / "python").symlink_to("/usr/bin/python3")
    (support / "venv/.sandvoll-requirements").write_text((shipped / "requirements.txt").read_text())
    return support


def provision_example(home, bundle=BUNDLE):
    """provision_in_step with the shipped example program itself: its page without the set-up time."""
    shipped = Path(bundle) / "Contents/Resources/app"
    support = provision_in_step(home, (shipped / "start.py").read_text(), bundle)
    shutil.copytree(shipped / "static", support / "app/static")
    return support


# A server program that starts but never serves: the status page stays.
NEVER_SERVES = "import time\ntime.sleep(600)\n"


def write_defaults(home, values):
    path = defaults_file(home)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        plistlib.dump(values, f)


def register_url_handler(home, schemes, record):
    """Makes a script that appends each URL to `record` the default handler of the schemes in this HOME."""
    apps = Path(home) / ".local/share/applications"
    apps.mkdir(parents=True, exist_ok=True)
    script = Path(home) / "record-url.sh"
    script.write_text('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % record)
    script.chmod(0o755)
    (apps / "record-url.desktop").write_text(
        "[Desktop Entry]\nType=Application\nName=Record URL\nExec=%s %%u\nNoDisplay=true\nMimeType=%s\n"
        % (script, "".join("x-scheme-handler/%s;" % s for s in schemes)))
    config = Path(home) / ".config"
    config.mkdir(parents=True, exist_ok=True)
    (config / "mimeapps.list").write_text(
        "[Default Applications]\n" + "".join("x-scheme-handler/%s=record-url.desktop\n" % s for s in schemes))


def read_defaults(home):
    with open(defaults_file(home), "rb") as f:
        return plistlib.load(f)


class AppTestCase(unittest.TestCase):
    """A virtual display and a temporary HOME per test."""

    # WaylandDisplay runs the test in a Wayland session instead.
    display_class = VirtualDisplay

    def setUp(self):
        lock = hold_port()
        self.addCleanup(lock.close)
        if port_in_use():
            self.fail("port %d is already in use on this machine; the end-to-end tests need it free" % PORT)
        self.display = self.display_class()
        self.addCleanup(self.display.close)
        self.home = Path(tempfile.mkdtemp(prefix="sandvoll-e2e-"))
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)

    def launch(self, display=None, **kwargs):
        kwargs.setdefault("name", self.id().rsplit(".", 1)[-1])
        display = display or self.display
        app = (WaylandApp if isinstance(display, WaylandDisplay) else App)(display, self.home, **kwargs)
        self.addCleanup(app.close)
        return app

#!/usr/bin/python3
"""Sandvoll side by side with its peers, in one run, on this machine.

The same example server shown by three programs, each launched again and
again under one virtual X display and one session bus:
  Sandvoll    build/Sandvoll.app, which starts the server itself;
  pywebview   Debian's python3-webview on its GTK backend (GTK 3 and
              WebKitGTK's 4.0 API), a window titled "Sandvoll";
  Chromium    Debian's chromium in app mode (--app=) with a fresh profile.
The benchmark starts the server for the two peers, with the same Python that
Sandvoll's environment uses, before it launches them.

Three kinds of start, each for every program:
  warm    a repeat launch: the HOME (profile) of an earlier launch, files in
          the page cache;
  cold    a first launch: an empty HOME (and profile), the page cache dropped
          just before the launch;
  cold cache, HOME kept   as after a reboot: the HOME of earlier launches,
          the page cache dropped just before the launch.
Dropping the page cache needs root; without it the cold starts only have an
empty HOME, and the report says so.

Measured from outside by build/bench/paint_probe: time to the window's first
paint (the window is drawn, whoever draws it), time to the application page
loaded (the window first looks as it does once settled: the page with its job
list), resident memory of the whole process tree once it has settled (RSS and
PSS, with the server counted for everyone), and the CPU time that tree and the
server spend while they sit idle. From inside, the server notes when it was
started, began to listen and answered each request (bench/server_trace), so
the report shows the road from the server's spawn to the page, and how long
the peers' server took to start before they were launched.

Everything runs in a network namespace of its own with only the loopback
device: nothing leaves the machine, and port 8766 inside it is the
benchmark's. Port 8766 must still be free outside, so a server left running
there is noticed rather than measured.

With --long-session it runs the long session instead (bench/long_session.py):
Sandvoll and Chromium on the example page for MINUTES (15) each, sampling memory
and CPU of their whole process trees, then 200 reloads each.

usage: bench/compare.py [--rounds N] [--build DIR] [--settle S] [--idle S] [--report-only]
                        [--long-session [MINUTES]] [--reloads N] [--sample S]
Writes build/bench/compare.md, compare.png and compare.json; the long session
writes long-session.md, long-session.png and long-session.json beside them.
"""

import argparse
import ctypes
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/e2e"))
from harness import PORT, SessionBus, port_in_use, start_xvfb  # noqa: E402
import long_session  # noqa: E402
from long_session import fmt, ratio  # noqa: E402

URL = "http://127.0.0.1:%d/" % PORT
# Put on the server's PYTHONPATH: it traces the server's start (see there).
SERVER_TRACE = ROOT / "bench/server_trace"
ISOLATED = "SV_COMPARE_ISOLATED"
CHROMIUM_FLAGS = ["--no-first-run", "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-gpu"]
# All three windows get the size Sandvoll opens with, so each paints the same area.
WINDOW = (1440, 920)
SCENARIOS = [
    ("warm", "warm"),
    ("cold", "cold (first launch)"),
    ("cold-cache", "cold cache, HOME kept"),
]
PROGRAMS = ["Sandvoll", "pywebview", "Chromium"]


def parse_args():
    parser = argparse.ArgumentParser(description="Sandvoll side by side with pywebview and Chromium.")
    parser.add_argument("--rounds", type=int, default=5, help="launches per program and kind of start (5)")
    parser.add_argument("--build", type=Path, default=ROOT / "build", help="the build tree (build)")
    parser.add_argument("--settle", type=float, default=5.0, help="seconds after the page before measuring (5)")
    parser.add_argument("--idle", type=float, default=10.0, help="seconds of idle CPU to count (10)")
    parser.add_argument("--report-only", action="store_true",
                        help="launch nothing: draw the tables and charts again from the JSON files in build/bench")
    parser.add_argument("--long-session", type=float, nargs="?", const=15.0, metavar="MINUTES",
                        help="instead of the launches: each program on its page for MINUTES (15), then the reloads")
    parser.add_argument("--reloads", type=int, default=200, help="reloads after the long session (200)")
    parser.add_argument("--sample", type=float, default=10.0, help="seconds between samples of the long session (10)")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    if args.long_session is not None and (args.long_session <= 0 or args.reloads < 0 or args.sample <= 0):
        parser.error("--long-session, --reloads and --sample must be positive")
    return args


# ---------------------------------------------------------------- isolation

def enter_own_network():
    """Runs this script again inside a network namespace that has only loopback."""
    if port_in_use():
        sys.exit("bench/compare: port %d is in use on this machine; stop whatever holds it "
                 "(another Sandvoll, an example server, an end-to-end test) and run again" % PORT)
    command = ["unshare", "--net"] if os.geteuid() == 0 else ["unshare", "--user", "--map-root-user", "--net"]
    trial = subprocess.run(command + ["true"], capture_output=True, text=True)
    if trial.returncode != 0:
        sys.exit("bench/compare: cannot make a network namespace (%s): the peers must not reach any "
                 "network but loopback, so the benchmark does not run without one"
                 % (trial.stderr.strip() or "unshare failed"))
    env = dict(os.environ, **{ISOLATED: "1"})
    os.execvpe(command[0], command + ["--", sys.executable, str(Path(__file__).resolve()), *sys.argv[1:]], env)


def bring_loopback_up():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def become_subreaper():
    """Orphaned helpers (a session bus's services, a browser's zygote) stay ours to stop."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def descendants():
    return long_session.below(long_session.process_table(), os.getpid())


def stop_leftovers():
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = descendants()
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while pids and time.monotonic() < deadline:
            try:
                while os.waitpid(-1, os.WNOHANG)[0] > 0:
                    pass
            except ChildProcessError:
                return
            pids = descendants()
            time.sleep(0.05)


# ---------------------------------------------------------------- the machine

def can_drop_caches():
    try:
        drop_caches()
        return True, ""
    except OSError as error:
        return False, error.strerror or str(error)


def drop_caches():
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def first_line(command):
    try:
        out = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    lines = [line for line in out.stdout.splitlines() if line.strip()]
    return lines[0].strip() if lines else "?"


def package_version(name):
    return first_line(["dpkg-query", "-W", "-f", "${Version}\n", name])


def machine():
    cpu = "?"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    memory_kib = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            memory_kib = int(line.split()[1])
    release = {}
    for line in Path("/etc/os-release").read_text().splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            release[key] = value.strip('"')
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": round(memory_kib / 1024 / 1024, 1),
        "kernel": platform.release(),
        "os": "%s (%s)" % (release.get("PRETTY_NAME", "?"), Path("/etc/debian_version").read_text().strip()),
    }


def versions(build):
    import plistlib
    with open(build / "Sandvoll.app/Contents/Info.plist", "rb") as f:
        info = plistlib.load(f)
    return {
        "Sandvoll": "%s (build %s)" % (info.get("CFBundleShortVersionString"), info.get("CFBundleVersion")),
        "GTK 4": package_version("libgtk-4-1"),
        "WebKitGTK (6.0 API, Sandvoll)": package_version("libwebkitgtk-6.0-4"),
        "pywebview": package_version("python3-webview"),
        "GTK 3": package_version("libgtk-3-0"),
        "WebKitGTK (4.0 API, pywebview)": package_version("libwebkit2gtk-4.0-37"),
        "Chromium": package_version("chromium"),
        "Python": platform.python_version(),
    }


def load_average():
    return float(Path("/proc/loadavg").read_text().split()[0])


# ---------------------------------------------------------------- the session

class Display:
    """Xvfb at a display number far above the ones others take.

    Inside our network namespace the X server's abstract socket is out of
    sight of every other X server on the machine, so one of theirs that looks
    for a free number with -displayfd finds ours free, replaces its socket
    file in /tmp/.X11-unix and removes it again. WebKit's sandboxed web
    process reaches the display only through that file, and Sandvoll then
    dies with "cannot open display". Those servers count up from :0, so a
    number from 500 on (after the lock files) stays ours.
    """

    def __init__(self, width=1920, height=1200):
        for number in range(500, 1000):
            if Path("/tmp/.X%d-lock" % number).exists() or Path("/tmp/.X11-unix/X%d" % number).exists():
                continue
            started = start_xvfb(width, height, number)
            if started:
                self.process, self.name = started
                return
        raise RuntimeError("no free X display number from :500 to :999")

    def env(self):
        return {"DISPLAY": self.name, "GDK_BACKEND": "x11"}

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Server:
    """The example server, started by the benchmark for a peer."""

    def __init__(self, python, directory, env):
        start = time.monotonic()
        self.process = subprocess.Popen([str(python), str(directory / "start.py"), "--server"], cwd=directory,
                                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while True:
            try:
                with urllib.request.urlopen(URL + "api/state", timeout=1) as r:
                    if r.status == 200:
                        break
            except OSError:
                pass
            if self.process.poll() is not None:
                raise RuntimeError("the example server exited with %s" % self.process.returncode)
            if time.monotonic() - start > 60:
                raise RuntimeError("the example server did not answer within 60 s")
            time.sleep(0.005)
        self.ready_ms = (time.monotonic() - start) * 1000

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=20)


def server_path(trace, start):
    """The server's start in ms from the program's launch (before it: negative), from its trace."""
    path = {}
    try:
        lines = trace.read_text().splitlines()
    except OSError:
        return path
    for line in lines:
        event = json.loads(line)
        at = (event["t"] - start) * 1000
        if event["event"] == "spawn":
            path.setdefault("spawn", at)
        elif event["event"] == "listen" and event.get("port") == PORT:
            path.setdefault("listen", at)
        elif event["event"] == "response":
            target = event["path"].split("?", 1)[0]
            if target == "/api/state" and event["status"] == 200:
                path.setdefault("first200", at)
            elif target in ("/", "/index.html"):
                path.setdefault("page_request", at)
    return path


def other_webkit():
    """WebKit processes on the machine outside this benchmark's trees, by pid (a string, as JSON keeps it)."""
    table = long_session.process_table()
    return {str(pid): what for pid, what in long_session.foreign_webkit(table, descendants()).items()}


def wait_for_free_port():
    deadline = time.monotonic() + 30
    while port_in_use():
        if time.monotonic() > deadline:
            raise RuntimeError("port %d stayed in use after the program stopped" % PORT)
        time.sleep(0.02)


# ---------------------------------------------------------------- one launch

class Bench:
    def __init__(self, args, display, bus, work):
        self.args = args
        self.build = args.build.resolve()
        self.probe = self.build / "bench/paint_probe"
        self.app = self.build / "Sandvoll.app/Contents/Linux/Sandvoll"
        self.work = work
        self.base_env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", **display.env(), **bus.env()}
        self.shots = self.build / "bench/compare-shots"
        self.server_dir = work / "server"
        shutil.copytree(self.build / "Sandvoll.app/Contents/Resources/app", self.server_dir)
        self.python = Path("/usr/bin/python3")
        self.homes = {name: work / ("home-" + name) for name in PROGRAMS}
        for home in self.homes.values():
            home.mkdir()
        self.drop = False

    def command(self, program, home):
        if program == "Sandvoll":
            return ["--title", "Sandvoll"], [str(self.app)]
        if program == "pywebview":
            return ["--title", "Sandvoll"], ["/usr/bin/python3", str(ROOT / "bench/pywebview_peer.py"), URL]
        flags = CHROMIUM_FLAGS + ["--user-data-dir=%s" % (home / "chromium-profile"),
                                  "--window-size=%d,%d" % WINDOW]
        if os.geteuid() == 0:
            flags.append("--no-sandbox")
        return ["--any-title"], ["/usr/bin/chromium", "--app=" + URL, *flags]

    def launch(self, program, home, drop, shots=None):
        """One launch of a program to its page, measured; the tree stopped afterwards."""
        wait_for_free_port()
        env = dict(self.base_env, HOME=str(home))
        trace = self.work / "server-trace.jsonl"
        trace.unlink(missing_ok=True)
        # Sandvoll hands its environment to the server it starts.
        traced = dict(env, PYTHONPATH=str(SERVER_TRACE), SV_BENCH_SERVER_TRACE=str(trace))
        server = Server(self.python, self.server_dir, traced) if program != "Sandvoll" else None
        if program == "Sandvoll":
            env = traced
        try:
            window, command = self.command(program, home)
            probe = [str(self.probe), *window, "--until", "dark", "--settle", str(self.args.settle),
                     "--idle", str(self.args.idle), "--timeout", "180"]
            if server:
                probe += ["--server-pid", str(server.process.pid)]
            if shots:
                probe += ["--shots", str(shots)]
            load = load_average()
            foreign = other_webkit()
            if drop:
                drop_caches()
            out = subprocess.run([*probe, "--", *command], capture_output=True, text=True, env=env,
                                 timeout=180 + self.args.settle + self.args.idle + 60)
            foreign.update(other_webkit())
        finally:
            if server:
                server.close()
        if out.returncode != 0 or not out.stdout.strip():
            # The probe's last line says what happened; the program's own
            # last words (it shares the probe's stderr) say why.
            said = out.stderr.strip().splitlines() or ["the probe failed"]
            return {"error": said[-1], "stderr": said[-30:], "load": load, "foreign_webkit": foreign}
        result = json.loads(out.stdout)
        result["load"] = load
        result["foreign_webkit"] = foreign
        result["server_ready_ms"] = server.ready_ms if server else None
        result["server_path"] = server_path(trace, result["start_monotonic_s"])
        return result

    def fresh_home(self, program, scenario, round_):
        home = self.work / ("%s-%s-%d" % (program, scenario, round_))
        home.mkdir()
        return home

    def run_case(self, program, scenario, round_):
        keep = scenario != "cold"
        home = self.homes[program] if keep else self.fresh_home(program, scenario, round_)
        shots = None
        if round_ == 0:
            self.shots.mkdir(parents=True, exist_ok=True)
            shots = self.shots / ("%s-%s" % (program, scenario))
        result = self.launch(program, home, drop=self.drop and scenario != "warm", shots=shots)
        if not keep:
            shutil.rmtree(home, ignore_errors=True)
        result.update(program=program, scenario=scenario, round=round_)
        return result


def summarise(run):
    """The figures of one launch that the report uses."""
    if "error" in run or None in (run.get("paint_ms"), run.get("dark_ms"), run.get("complete_ms")):
        return None
    kib = 1024.0
    path = run.get("server_path") or {}
    server_start = (path["first200"] - path["spawn"]) if "first200" in path and "spawn" in path else None
    peer = run["program"] != "Sandvoll"
    return {
        "paint": run["paint_ms"],
        "page": run["complete_ms"],
        "text": run["dark_ms"],
        "window": run["window_ms"],
        "status": run["grey_ms"] if run["program"] == "Sandvoll" and run["grey_ms"] is not None
        and run["grey_ms"] < run["dark_ms"] else None,
        "app_rss": (run["rss_kib"] + run["helpers_rss_kib"]) / kib,
        "server_rss": run["server_rss_kib"] / kib,
        "rss": (run["rss_kib"] + run["helpers_rss_kib"] + run["server_rss_kib"]) / kib,
        "pss": (run["pss_kib"] + run["helpers_pss_kib"] + run["server_pss_kib"]) / kib,
        "cpu": (run["idle_cpu_ms"] or 0) + (run["server_idle_cpu_ms"] or 0),
        "server_ready": run.get("server_ready_ms"),
        "processes": run["processes"] + run["server_processes"],
        # The server's road, from the launch; a peer's server was up before it.
        "spawn": path.get("spawn"),
        "listen": path.get("listen"),
        "first200": path.get("first200"),
        "page_request": path.get("page_request"),
        "server_start": server_start,
        # What a peer's page costs when its server has to start too, as Sandvoll's does.
        "page_plus_server": run["complete_ms"] + server_start if peer and server_start is not None else None,
    }


# ---------------------------------------------------------------- the report

def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values):
    values = [v for v in values if v is not None]
    return (min(values), max(values)) if values else (None, None)


def table(runs):
    cells = {}
    for scenario, _ in SCENARIOS:
        for program in PROGRAMS:
            mine = [r for r in runs if r["program"] == program and r["scenario"] == scenario]
            good = [s for s in (summarise(r) for r in mine) if s]
            cells[scenario, program] = {
                "ok": len(good), "of": len(mine),
                **{key: med([g[key] for g in good]) for key in
                   ("paint", "page", "text", "window", "status", "app_rss", "server_rss", "rss", "pss", "cpu",
                    "server_ready", "processes", "spawn", "listen", "first200", "page_request", "server_start",
                    "page_plus_server")},
                "paint_range": spread([g["paint"] for g in good]),
                "page_range": spread([g["page"] for g in good]),
                "page_plus_server_range": spread([g["page_plus_server"] for g in good]),
                "rss_range": spread([g["rss"] for g in good]),
                "cpu_range": spread([g["cpu"] for g in good]),
                "status_seen": sum(1 for g in good if g["status"] is not None),
            }
    return cells


def ranged(value, bounds):
    if value is None:
        return "–"
    return "%s (%s–%s)" % (fmt(value), fmt(bounds[0]), fmt(bounds[1]))


def markdown(report):
    cells = report["cells"]
    lines = []
    m = report["machine"]
    lines.append("Machine: %s, %d cores, %.0f GiB RAM; Linux %s; %s. Xvfb at 1920x1200x24, no GPU."
                 % (m["cpu"], m["cores"], m["memory_gib"], m["kernel"], m["os"]))
    lines.append("")
    lines.append("Versions: " + "; ".join("%s %s" % kv for kv in report["versions"].items()) + ".")
    lines.append("")
    lines.append("%d rounds per program and kind of start, medians (min–max); %s. Load average over the run: "
                 "%.1f to %.1f (1-minute, at each launch)."
                 % (report["rounds"], report["cold_note"], report["load"][0], report["load"][1]))
    lines.append("")
    foreign = [r for r in report["runs"] if r.get("foreign_webkit")]
    if not any("foreign_webkit" in r for r in report["runs"]):
        pass  # a run from before the benchmark looked
    elif foreign:
        lines.append("**Another WebKit program ran on the machine during %d of the %d launches** (e.g. %s): its "
                     "shared libraries lower Sandvoll's PSS in those launches." % (
                         len(foreign), len(report["runs"]), next(iter(foreign[0]["foreign_webkit"].values()))))
    else:
        lines.append("No other WebKit program ran on the machine during the launches.")
    lines.append("")
    lines.append("| program | start | first paint (ms) | page loaded (ms) | page + its server's start (ms) "
                 "| RSS: app tree + server = total (MiB) "
                 "| PSS total (MiB) | idle CPU, %g s (ms) | processes | ok |" % report["idle"])
    lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for scenario, label in SCENARIOS:
        for program in PROGRAMS:
            c = cells[scenario, program]
            lines.append("| %s | %s | %s | %s | %s | %s + %s = **%s** | %s | %s | %s | %d/%d |" % (
                program, label, ranged(c["paint"], c["paint_range"]), ranged(c["page"], c["page_range"]),
                "(its own server: in the page)" if program == "Sandvoll"
                else ranged(c["page_plus_server"], c["page_plus_server_range"]),
                fmt(c["app_rss"]), fmt(c["server_rss"]), fmt(c["rss"]), fmt(c["pss"]),
                ranged(c["cpu"], c["cpu_range"]), fmt(c["processes"]), c["ok"], c["of"]))
    lines.append("")
    lines.append("Ratios, Sandvoll ÷ peer, of the medians (below 1: Sandvoll is ahead):")
    lines.append("")
    lines.append("| start | first paint ÷ pywebview | first paint ÷ Chromium | page ÷ pywebview | page ÷ Chromium "
                 "| page ÷ (pywebview page + server start) | page ÷ (Chromium page + server start) "
                 "| RSS ÷ pywebview | RSS ÷ Chromium | PSS ÷ pywebview | PSS ÷ Chromium |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for scenario, label in SCENARIOS:
        s = cells[scenario, "Sandvoll"]
        row = [label]
        for key, theirs in (("paint", "paint"), ("page", "page"), ("page", "page_plus_server"), ("rss", "rss"),
                            ("pss", "pss")):
            for peer in ("pywebview", "Chromium"):
                row.append(ratio(s[key], cells[scenario, peer][theirs]))
        lines.append("| " + " | ".join(row) + " |")
    lines.append("")
    lines.append("Where the time goes (medians, ms from launch; the peers' server was started and answering "
                 "before they were launched, so its spawn, port and first 200 are left out for them and its own "
                 "start is in the last column):")
    lines.append("")
    lines.append("| program | start | window mapped | first paint | server spawn | port open | first 200 "
                 "| status page (launches it showed in) | page request | page text | page loaded "
                 "| server's own start: spawn to first 200 |")
    lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for scenario, label in SCENARIOS:
        for program in PROGRAMS:
            c = cells[scenario, program]
            own = program == "Sandvoll"
            lines.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                program, label, fmt(c["window"]), fmt(c["paint"]),
                fmt(c["spawn"]) if own else "–", fmt(c["listen"]) if own else "–",
                fmt(c["first200"]) if own else "–",
                "%s (%d/%d)" % (fmt(c["status"]), c["status_seen"], c["ok"]) if own else "–",
                fmt(c["page_request"]), fmt(c["text"]), fmt(c["page"]), fmt(c["server_start"])))
    return "\n".join(lines) + "\n"


def chart(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cells = report["cells"]
    colours = {"Sandvoll": "#2f6db5", "pywebview": "#e0a030", "Chromium": "#8a8a8a"}
    panels = [("paint", "first paint (ms)", "paint_range"),
              ("page", "page loaded (ms); dashed: a peer's page + its server's start", "page_range"),
              ("rss", "memory, app tree + server (MiB): RSS, hatched PSS", "rss_range"),
              ("cpu", "idle CPU in %g s (ms)" % report["idle"], "cpu_range")]
    figure, axes = plt.subplots(2, 2, figsize=(12, 8))
    width = 0.26
    for axis, (key, title, bounds) in zip(axes.flat, panels):
        for i, program in enumerate(PROGRAMS):
            xs, ys, low, high = [], [], [], []
            for j, (scenario, _) in enumerate(SCENARIOS):
                c = cells[scenario, program]
                if c[key] is None:
                    continue
                xs.append(j + (i - 1) * width)
                ys.append(c[key])
                low.append(c[key] - c[bounds][0])
                high.append(c[bounds][1] - c[key])
            axis.bar(xs, ys, width, yerr=[low, high], capsize=3, label=program, color=colours[program])
            if key == "page" and program != "Sandvoll":
                # The peer's page plus its server's own start, which Sandvoll's page includes.
                plus = [cells[scenario, program]["page_plus_server"] for scenario, _ in SCENARIOS
                        if cells[scenario, program]["page"] is not None]
                axis.bar(xs, [v or 0 for v in plus], width, color="none", edgecolor="black", linestyle="--",
                         linewidth=0.8)
            if key == "rss":
                # PSS shares pages among the processes that map them: what the machine really pays.
                pss = [cells[scenario, program]["pss"] for scenario, _ in SCENARIOS
                       if cells[scenario, program]["rss"] is not None]
                axis.bar(xs, pss, width * 0.6, color="none", edgecolor="black", hatch="//", linewidth=0.6)
        axis.set_title(title)
        axis.set_xticks(range(len(SCENARIOS)))
        axis.set_xticklabels([label for _, label in SCENARIOS], fontsize=9)
        axis.grid(axis="y", alpha=0.3)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="upper right", ncol=3, fontsize=9)
    m = report["machine"]
    figure.suptitle("Sandvoll, pywebview and Chromium (app mode) showing the same server: medians of %d rounds, "
                    "bars min–max\n%s, %d cores, %s" % (report["rounds"], m["cpu"], m["cores"], m["os"]),
                    fontsize=10, x=0.02, ha="left")
    figure.tight_layout(rect=(0, 0, 1, 0.95))
    figure.savefig(path, dpi=100)


def convert_shots(directory):
    try:
        from PIL import Image
    except ImportError:
        return
    for ppm in directory.glob("*.ppm"):
        Image.open(ppm).save(ppm.with_suffix(".png"))
        ppm.unlink()


# ---------------------------------------------------------------- the run

def run(args):
    bring_loopback_up()
    become_subreaper()
    build = args.build.resolve()
    for needed in (build / "Sandvoll.app/Contents/Linux/Sandvoll", build / "bench/paint_probe"):
        if not needed.exists():
            sys.exit("bench/compare: %s is missing; build first (bench/compare does)" % needed)
    for needed in ("/usr/bin/chromium", "/usr/lib/python3/dist-packages/webview"):
        if not Path(needed).exists():
            sys.exit("bench/compare: %s is missing; run scripts/bootstrap.sh --bench" % needed)
    dropping, why_not = can_drop_caches()
    cold_note = ("cold starts drop the page cache (sync; echo 3 > /proc/sys/vm/drop_caches) just before the "
                 "launch" if dropping else
                 "the page cache could NOT be dropped here (%s), so cold starts only have an empty HOME" % why_not)
    out_dir = build / "bench"
    out_dir.mkdir(parents=True, exist_ok=True)
    shots = out_dir / "compare-shots"
    long = args.long_session is not None
    if not long:  # the long session takes none, and leaves the launches' in place
        shutil.rmtree(shots, ignore_errors=True)

    work = Path(tempfile.mkdtemp(prefix="sv-compare-"))
    display = Display()
    bus = None
    runs = []
    try:
        bus_home = work / "session"
        bus_home.mkdir()
        # Without one bus for all, each GTK program would autolaunch a bus of
        # its own, and the services started on it (accessibility, portals)
        # would count as that program's processes. A desktop runs them once.
        bus = SessionBus({"PATH": "/usr/bin:/bin", "HOME": str(bus_home), **display.env()})
        bench = Bench(args, display, bus, work)
        bench.drop = dropping

        # One launch of each into the HOME that warm starts keep; Sandvoll's
        # makes its environment, whose Python then serves the peers too.
        print("compare: priming (one launch of each, not counted)", flush=True)
        for program in (long_session.LONG_PROGRAMS if long else PROGRAMS):
            result = bench.launch(program, bench.homes[program], drop=False)
            if "error" in result:
                sys.exit("bench/compare: %s did not show the page: %s" % (program, result["error"]))
            if program == "Sandvoll":
                venv_python = bench.homes[program] / "Library/Application Support/Sandvoll/venv/bin/python"
                if venv_python.exists():
                    bench.python = venv_python

        if long:
            results = long_session.run_long_session(sys.modules[__name__], bench, args.long_session, args.reloads,
                                                    args.sample, lambda line: print(line, flush=True))
        for scenario, label in ([] if long else SCENARIOS):
            for round_ in range(args.rounds):
                # Each round starts with another program, so none always follows the same one.
                order = PROGRAMS[round_ % 3:] + PROGRAMS[:round_ % 3]
                for program in order:
                    result = bench.run_case(program, scenario, round_)
                    runs.append(result)
                    s = summarise(result)
                    print("compare: %-9s %-22s round %d: %s" % (
                        program, label, round_ + 1,
                        "paint %.0f ms, page %.0f ms, RSS %.0f MiB, PSS %.0f MiB, idle CPU %.0f ms" % (
                            s["paint"], s["page"], s["rss"], s["pss"], s["cpu"]) if s
                        else "FAILED: %s" % result.get("error", "no page within the time limit")), flush=True)
    finally:
        if bus:
            bus.close()
        display.close()
        stop_leftovers()
        shutil.rmtree(work, ignore_errors=True)

    if long:
        loads = [s["load"] for r in results for s in r["samples"]]
        report = {
            "machine": machine(), "versions": versions(build), "minutes": args.long_session,
            "reloads": args.reloads, "sample_every": args.sample, "load": [min(loads), max(loads)],
            "python_for_peer_servers": str(bench.python), "long": results,
        }
        (out_dir / "long-session.json").write_text(json.dumps(report, indent=1))
        write_long_report(report, out_dir)
        return

    convert_shots(shots)
    loads = [r["load"] for r in runs]
    report = {
        "machine": machine(),
        "versions": versions(build),
        "rounds": args.rounds,
        "settle": args.settle,
        "idle": args.idle,
        "cold_note": cold_note,
        "python_for_peer_servers": str(bench.python),
        "load": [min(loads), max(loads)],
        "runs": runs,
    }
    (out_dir / "compare.json").write_text(json.dumps(report, indent=1))
    write_report(report, out_dir)
    print("compare: screenshots of the first round are in %s" % shots)


def write_report(report, out_dir):
    """The table and the chart, from the rounds alone (so they can be drawn again from compare.json)."""
    report = dict(report, cells=table(report["runs"]))
    text = markdown(report)
    (out_dir / "compare.md").write_text(text)
    chart(report, out_dir / "compare.png")
    print()
    print(text)
    print("compare: wrote %s, %s and %s" % (out_dir / "compare.md", out_dir / "compare.png",
                                            out_dir / "compare.json"))


def write_long_report(report, out_dir):
    text = long_session.markdown(report)
    (out_dir / "long-session.md").write_text(text)
    long_session.chart(report, out_dir / "long-session.png")
    print()
    print(text)
    print("compare: wrote %s, %s and %s" % (out_dir / "long-session.md", out_dir / "long-session.png",
                                            out_dir / "long-session.json"))


def main():
    args = parse_args()
    if args.report_only:
        out_dir = args.build.resolve() / "bench"
        drawn = False
        for name, write in (("compare.json", write_report), ("long-session.json", write_long_report)):
            if (out_dir / name).exists():
                write(json.loads((out_dir / name).read_text()), out_dir)
                drawn = True
        if not drawn:
            sys.exit("bench/compare: nothing to draw: neither compare.json nor long-session.json is in %s" % out_dir)
        return
    if os.environ.get(ISOLATED) != "1":
        enter_own_network()
    run(args)


if __name__ == "__main__":
    main()

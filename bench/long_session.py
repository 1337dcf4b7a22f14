"""The long session of bench/compare: Sandvoll and Chromium, one after the other, each
showing the example page for a quarter of an hour and then reloading it 200 times.

A launch says what a program costs at its start; a person keeps the window open
for hours. So each program runs on the example page (which asks the server for
its state every 2 s) while the benchmark samples its whole process tree, the
server included, every few seconds:

- memory: RSS, PSS and anonymous memory, from /proc/<pid>/smaps_rollup. RSS and
  PSS count the shared libraries too, and PSS moves when another program maps
  the same ones (another WebKit program halves the share of libwebkitgtk that
  falls to Sandvoll); anonymous memory is the program's own heap and stacks,
  which nothing else moves, so its growth is the figure to judge a leak by;
- CPU: user and system time of every process in the tree, with that of the
  processes that ended meanwhile (each program runs under a small reaper that
  adopts every orphan of its tree, so every process that ends is counted by
  whoever reaped it).

Then the reload stress: the benchmark focuses the window and types Ctrl+R, waits
until the server has answered the page's request for "/" and its first request
for "api/state" (the page's script has run), and types the next, 200 times.

Another WebKit program on the machine (another engineer's test, say) moves
Sandvoll's PSS, so every sample notes the WebKit processes outside the measured
trees, and the report says when there were any.
"""

import json
import os
import signal
import subprocess
import time
from pathlib import Path

# On the path as bench/compare.py sets it, which imports this module.
from harness import wait_until

LONG_PROGRAMS = ["Sandvoll", "Chromium"]

# Run by /usr/bin/python3: adopts every orphan of the program's tree and reaps
# it, so the CPU time of processes that end is added to the reaper's own
# children's time (cutime, cstime) instead of being lost with them.
REAPER = r"""
import ctypes, os, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
child = os.fork()
if child == 0:
    os.setpgid(0, 0)
    os.execv(sys.argv[1], sys.argv[1:])
while True:
    try:
        os.wait()
    except ChildProcessError:
        break
    except InterruptedError:
        pass
"""

WEBKIT_NAMES = ("WebKitWebProces", "WebKitNetworkPr")  # /proc/<pid>/comm keeps 15 characters


# ---------------------------------------------------------------- /proc

def process_table():
    """pid -> (parent, comm) for every process on the machine."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            text = Path("/proc", entry, "stat").read_text()
        except OSError:
            continue
        table[int(entry)] = (int(text[text.rindex(")") + 2:].split()[1]), text[text.index("(") + 1:text.rindex(")")])
    return table


def below(table, top):
    """The processes under top, not top itself."""
    found = set()
    for pid in table:
        p = pid
        for _ in range(64):
            p = table.get(p, (0, ""))[0]
            if p == top:
                found.add(pid)
                break
            if p <= 1:
                break
    return found


def cpu_ticks(pid, children=True):
    """utime + stime (+ cutime + cstime: the children it reaped) of one process, in clock ticks."""
    try:
        text = Path("/proc", str(pid), "stat").read_text()
    except OSError:
        return 0
    fields = text[text.rindex(")") + 2:].split()
    # Fields 14 to 17 of stat, counted here from the state (field 3).
    ticks = int(fields[11]) + int(fields[12])
    return ticks + (int(fields[13]) + int(fields[14]) if children else 0)


def memory_kib(pid):
    """Rss, Pss and Anonymous of one process from smaps_rollup, in KiB (zeros when it is gone)."""
    values = {"Rss": 0, "Pss": 0, "Anonymous": 0}
    try:
        lines = Path("/proc", str(pid), "smaps_rollup").read_text().splitlines()
    except OSError:
        return values
    for line in lines:
        key, _, rest = line.partition(":")
        if key in values:
            values[key] = int(rest.split()[0])
    return values


def describe(table, pid):
    """A process and the programs above it, for the report: "WebKitWebProces < bwrap < Sandvoll"."""
    names, p = [], pid
    for _ in range(6):
        if p not in table:
            break
        names.append(table[p][1])
        p = table[p][0]
        if p <= 1:
            break
    return " < ".join(names)


def foreign_webkit(table, ours):
    """WebKit's processes that are not in any tree of this benchmark."""
    return {pid: describe(table, pid) for pid, (_, comm) in table.items()
            if comm in WEBKIT_NAMES and pid not in ours}


# ---------------------------------------------------------------- one program

class Tree:
    """A program started under the reaper, with the benchmark's server when it has one."""

    def __init__(self, command, env, log, server=None):
        # What the program says goes to a file: a browser's complaints about
        # the missing system bus would bury the benchmark's own lines.
        with open(log, "w") as out:
            self.reaper = subprocess.Popen(["/usr/bin/python3", "-c", REAPER, *command], env=env, stdout=out,
                                           stderr=subprocess.STDOUT)
        self.server = server

    def pids(self, table):
        pids = below(table, self.reaper.pid)
        if self.server:
            pids |= {self.server.process.pid} | below(table, self.server.process.pid)
        return pids

    def sample(self):
        table = process_table()
        pids = self.pids(table)
        memory = {"Rss": 0, "Pss": 0, "Anonymous": 0}
        for pid in pids:
            for key, value in memory_kib(pid).items():
                memory[key] += value
        # The reaper's own time is nil (it waits); its children's is that of
        # every process of the tree that has ended.
        ticks = cpu_ticks(self.reaper.pid) - cpu_ticks(self.reaper.pid, children=False)
        ticks += sum(cpu_ticks(pid) for pid in pids)
        return table, {
            "rss_kib": memory["Rss"], "pss_kib": memory["Pss"], "anon_kib": memory["Anonymous"],
            "cpu_ms": ticks * 1000.0 / os.sysconf("SC_CLK_TCK"), "processes": len(pids),
        }

    def stop(self):
        table = process_table()
        pids = below(table, self.reaper.pid)
        for sig, patience in ((signal.SIGTERM, 10), (signal.SIGKILL, 10)):
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            try:
                self.reaper.wait(timeout=patience)
                break
            except subprocess.TimeoutExpired:
                pids = below(process_table(), self.reaper.pid)
        if self.server:
            self.server.close()


def page_events(trace):
    """The server's answers so far: (count of "/" requests, count of "api/state" answers after the last "/")."""
    pages, states = 0, 0
    try:
        lines = trace.read_text().splitlines()
    except OSError:
        return 0, 0
    for line in lines:
        try:
            event = json.loads(line)
        except ValueError:
            continue  # a line being written
        if event.get("event") != "response":
            continue
        target = event["path"].split("?", 1)[0]
        if target in ("/", "/index.html"):
            pages, states = pages + 1, 0
        elif target == "/api/state":
            states += 1
    return pages, states


def xdotool(env, *args):
    out = subprocess.run(["xdotool", *args], capture_output=True, text=True, env=env, timeout=30)
    return out.stdout.split() if out.returncode == 0 else []


def window_of(env, program):
    """The program's visible window: Sandvoll's by its title, Chromium's app window by its page's title."""
    title = "^Sandvoll$" if program == "Sandvoll" else "^Sandvoll example$"
    found = xdotool(env, "search", "--onlyvisible", "--name", title)
    return found[0] if found else None


def run_one(compare, bench, program, minutes, reloads, sample_every, log):
    """One program: the session on its page, then the reloads. `compare` is the launch machinery
    (the module bench/compare.py): its homes, environment, server and trace."""
    home = bench.homes[program]
    trace = bench.work / ("long-%s-trace.jsonl" % program)
    trace.unlink(missing_ok=True)
    env = dict(bench.base_env, HOME=str(home), PYTHONPATH=str(compare.SERVER_TRACE),
               SV_BENCH_SERVER_TRACE=str(trace))
    compare.wait_for_free_port()
    server = compare.Server(bench.python, bench.server_dir, env) if program != "Sandvoll" else None
    _, command = bench.command(program, home)
    tree = Tree(command, env, bench.work / ("long-%s-output.txt" % program), server)
    result = {"program": program, "samples": [], "foreign_webkit": {}}
    try:
        wait_until(lambda: page_events(trace)[1] >= 1, 180, "%s to show the page" % program, interval=0.01)
        # The page settles and the tree is complete (Chromium starts helpers late).
        time.sleep(10)
        start = time.monotonic()
        end = start + minutes * 60
        while True:
            now = time.monotonic()
            table, sample = tree.sample()
            sample["t_s"] = now - start
            sample["load"] = compare.load_average()
            ours = tree.pids(table) | compare.descendants()
            foreign = foreign_webkit(table, ours)
            sample["foreign_webkit"] = len(foreign)
            result["foreign_webkit"].update({str(pid): what for pid, what in foreign.items()})
            result["samples"].append(sample)
            if now >= end:
                break
            time.sleep(max(0.0, min(sample_every, end - time.monotonic())))
        log("compare: long session %-9s %5.1f min: anon %.1f -> %.1f MiB, PSS %.1f -> %.1f MiB, CPU %.1f s" % (
            program, minutes, result["samples"][0]["anon_kib"] / 1024, result["samples"][-1]["anon_kib"] / 1024,
            result["samples"][0]["pss_kib"] / 1024, result["samples"][-1]["pss_kib"] / 1024,
            (result["samples"][-1]["cpu_ms"] - result["samples"][0]["cpu_ms"]) / 1000))

        # The reloads, typed as a person would, each after the page before has run its script.
        window = window_of(bench.base_env, program)
        if not window:
            raise RuntimeError("the %s window was not found for the reloads" % program)
        xdotool(bench.base_env, "windowfocus", "--sync", window)
        _, before = tree.sample()
        began = time.monotonic()
        for i in range(reloads):
            pages = page_events(trace)[0]
            xdotool(bench.base_env, "key", "--clearmodifiers", "ctrl+r")
            wait_until(lambda: page_events(trace)[0] > pages and page_events(trace)[1] >= 1, 60,
                       "reload %d of %s" % (i + 1, program), interval=0.01)
        took = time.monotonic() - began
        _, right_after = tree.sample()
        time.sleep(10)
        table, after = tree.sample()
        result["reloads"] = {
            "count": reloads, "seconds": took, "cpu_ms": right_after["cpu_ms"] - before["cpu_ms"],
            "before": before, "after": after,
        }
        foreign = foreign_webkit(table, tree.pids(table) | compare.descendants())
        result["foreign_webkit"].update({str(pid): what for pid, what in foreign.items()})
        log("compare: reloads      %-9s %d in %.0f s: CPU %.1f s, anon %.1f -> %.1f MiB" % (
            program, reloads, took, result["reloads"]["cpu_ms"] / 1000, before["anon_kib"] / 1024,
            after["anon_kib"] / 1024))
    finally:
        tree.stop()
    return result


def run_long_session(compare, bench, minutes, reloads, sample_every, log):
    return [run_one(compare, bench, program, minutes, reloads, sample_every, log) for program in LONG_PROGRAMS]


# ---------------------------------------------------------------- the report

def slope_per_hour(samples, key):
    """Least-squares growth of samples[key] over the session, in MiB per hour."""
    xs = [s["t_s"] / 3600 for s in samples]
    ys = [s[key] / 1024 for s in samples]
    if len(xs) < 2:
        return None
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else None


def figures(result):
    samples = result["samples"]
    first, last = samples[0], samples[-1]
    minutes = (last["t_s"] - first["t_s"]) / 60
    f = {"minutes": minutes, "processes": last["processes"],
         "cpu_ms_per_min": (last["cpu_ms"] - first["cpu_ms"]) / minutes if minutes else None}
    for key in ("anon_kib", "pss_kib", "rss_kib"):
        name = key[:-4]
        f[name + "_start"] = first[key] / 1024
        f[name + "_end"] = last[key] / 1024
        f[name + "_per_h"] = slope_per_hour(samples, key)
    reloads = result.get("reloads")
    if reloads:
        f.update(reload_count=reloads["count"], reload_seconds=reloads["seconds"],
                 reload_cpu_ms=reloads["cpu_ms"], reload_cpu_per_ms=reloads["cpu_ms"] / reloads["count"],
                 reload_anon_before=reloads["before"]["anon_kib"] / 1024,
                 reload_anon_after=reloads["after"]["anon_kib"] / 1024,
                 reload_pss_before=reloads["before"]["pss_kib"] / 1024,
                 reload_pss_after=reloads["after"]["pss_kib"] / 1024)
    return f


def fmt(value, digits=0):
    return "–" if value is None else "%.*f" % (digits, value)


def ratio(mine, theirs):
    return "–" if mine is None or not theirs else "%.2f" % (mine / theirs)


def markdown(report):
    results = {r["program"]: r for r in report["long"]}
    fig = {name: figures(r) for name, r in results.items()}
    lines = []
    lines.append("Long session: each program on the example page for %g minutes (the page asks for the server's "
                 "state every 2 s), sampled every %g s, its whole process tree with the server; then %d reloads "
                 "(Ctrl+R, each once the page before had asked for its state). Load average: %.1f to %.1f (1-minute, "
                 "at each sample)." % (report["minutes"], report["sample_every"], report["reloads"],
                                       report["load"][0], report["load"][1]))
    lines.append("")
    lines.append("| program | anonymous memory, start → end (MiB) | growth (MiB/h) | PSS, start → end (MiB) "
                 "| growth (MiB/h) | RSS, start → end (MiB) | growth (MiB/h) | CPU on the page (ms per minute) "
                 "| processes |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, f in fig.items():
        lines.append("| %s | %s → %s | %s | %s → %s | %s | %s → %s | %s | %s | %d |" % (
            name, fmt(f["anon_start"], 1), fmt(f["anon_end"], 1), fmt(f["anon_per_h"], 1),
            fmt(f["pss_start"], 1), fmt(f["pss_end"], 1), fmt(f["pss_per_h"], 1),
            fmt(f["rss_start"], 1), fmt(f["rss_end"], 1), fmt(f["rss_per_h"], 1),
            fmt(f["cpu_ms_per_min"]), f["processes"]))
    lines.append("")
    lines.append("| program | reloads | time (s) | CPU (s) | CPU per reload (ms) | anonymous memory, before → 10 s "
                 "after (MiB) | PSS, before → 10 s after (MiB) |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|")
    for name, f in fig.items():
        if "reload_count" not in f:
            continue
        lines.append("| %s | %d | %s | %s | %s | %s → %s | %s → %s |" % (
            name, f["reload_count"], fmt(f["reload_seconds"]), fmt(f["reload_cpu_ms"] / 1000, 1),
            fmt(f["reload_cpu_per_ms"]), fmt(f["reload_anon_before"], 1), fmt(f["reload_anon_after"], 1),
            fmt(f["reload_pss_before"], 1), fmt(f["reload_pss_after"], 1)))
    if "Sandvoll" in fig and "Chromium" in fig:
        s, c = fig["Sandvoll"], fig["Chromium"]
        lines.append("")
        lines.append("Sandvoll ÷ Chromium: anonymous memory at the end %s, PSS %s, RSS %s; CPU on the page %s; "
                     "CPU of the reloads %s. Anonymous memory grew %s MiB/h against %s MiB/h."
                     % (ratio(s["anon_end"], c["anon_end"]), ratio(s["pss_end"], c["pss_end"]),
                        ratio(s["rss_end"], c["rss_end"]), ratio(s["cpu_ms_per_min"], c["cpu_ms_per_min"]),
                        ratio(s.get("reload_cpu_ms"), c.get("reload_cpu_ms")),
                        fmt(s["anon_per_h"], 1), fmt(c["anon_per_h"], 1)))
    lines.append("")
    foreign = {name: r["foreign_webkit"] for name, r in results.items() if r["foreign_webkit"]}
    if foreign:
        lines.append("**Another WebKit program ran on the machine meanwhile.** While one runs, the pages of WebKit's "
                     "libraries that Sandvoll maps are shared with it, so Sandvoll's PSS is lower; its anonymous "
                     "memory is not moved.")
        for name, seen in foreign.items():
            lines.append("- during %s's session and reloads: %d processes, e.g. %s" % (
                name, len(seen), next(iter(seen.values()))))
    else:
        lines.append("No other WebKit program ran on the machine during the long session.")
    return "\n".join(lines) + "\n"


def chart(report, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = {"Sandvoll": "#2f6db5", "Chromium": "#8a8a8a"}
    figure, axes = plt.subplots(2, 2, figsize=(12, 8))
    panels = [("anon_kib", "anonymous memory (MiB)"), ("pss_kib", "PSS (MiB)"), ("rss_kib", "RSS (MiB)")]
    for axis, (key, title) in zip(axes.flat, panels):
        for r in report["long"]:
            xs = [s["t_s"] / 60 for s in r["samples"]]
            axis.plot(xs, [s[key] / 1024 for s in r["samples"]], label=r["program"], color=colours[r["program"]])
        axis.set_title(title + ", app tree + server")
        axis.set_xlabel("minutes on the page")
        axis.grid(alpha=0.3)
    axis = axes.flat[3]
    for r in report["long"]:
        xs = [s["t_s"] / 60 for s in r["samples"]]
        base = r["samples"][0]["cpu_ms"]
        axis.plot(xs, [(s["cpu_ms"] - base) / 1000 for s in r["samples"]], label=r["program"],
                  color=colours[r["program"]])
    axis.set_title("CPU time spent on the page (s, cumulative)")
    axis.set_xlabel("minutes on the page")
    axis.grid(alpha=0.3)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="upper right", ncol=2, fontsize=9)
    reload_text = "; ".join("%s: %d reloads, %.1f s CPU" % (r["program"], r["reloads"]["count"],
                                                             r["reloads"]["cpu_ms"] / 1000)
                            for r in report["long"] if r.get("reloads"))
    m = report["machine"]
    figure.suptitle("Long session on the example page, Sandvoll and Chromium (app mode), one after the other\n"
                    "%s, %d cores. %s" % (m["cpu"], m["cores"], reload_text), fontsize=10, x=0.02, ha="left")
    figure.tight_layout(rect=(0, 0, 1, 0.94))
    figure.savefig(path, dpi=100)

"""What the example server does while it starts, for bench/compare.

bench/compare puts this folder on PYTHONPATH, so Python imports this module
at start in every program it runs there. In the example server alone
("start.py --server") it writes one JSON line per event to the file named by
SV_BENCH_SERVER_TRACE, with CLOCK_MONOTONIC seconds: when the kernel started
the process (to ±5 ms: the kernel counts in 10 ms ticks), when it began to
listen, and the status and path of each response. Every other program is
left alone.
"""

import os
import sys
import time


def _trace(path):
    import json
    import socket
    from http.server import BaseHTTPRequestHandler

    out = open(path, "a", buffering=1)

    def note(event, at, **fields):
        out.write(json.dumps(dict(fields, event=event, t=at)) + "\n")

    # Field 22 of /proc/self/stat: whole clock ticks from boot (CLOCK_BOOTTIME)
    # to the process's start; the middle of that tick is the best guess.
    stat = open("/proc/self/stat").read()
    ticks = int(stat[stat.rindex(")") + 2:].split()[19])
    boot_minus_monotonic = time.clock_gettime(time.CLOCK_BOOTTIME) - time.monotonic()
    note("spawn", (ticks + 0.5) / os.sysconf("SC_CLK_TCK") - boot_minus_monotonic)

    listen = socket.socket.listen

    def traced_listen(self, *args):
        listen(self, *args)
        note("listen", time.monotonic(), port=self.getsockname()[1])

    socket.socket.listen = traced_listen

    send_response = BaseHTTPRequestHandler.send_response

    def traced_send_response(self, code, message=None):
        note("response", time.monotonic(), path=self.path, status=int(code))
        send_response(self, code, message)

    BaseHTTPRequestHandler.send_response = traced_send_response


if os.environ.get("SV_BENCH_SERVER_TRACE") and sys.argv[0].endswith("start.py") and "--server" in sys.argv[1:]:
    _trace(os.environ["SV_BENCH_SERVER_TRACE"])

#!/usr/bin/env bash
# Builds Sandvoll and runs it with the example server. On a machine without a
# display it runs the app under a virtual X display, saves a screenshot once
# the window shows, prints its path, and keeps running until interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target Sandvoll
app="$root/build/Sandvoll.app/Contents/Linux/Sandvoll"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$app"
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Let Xvfb pick a free display number and tell us which.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1920x1200x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
read -r -t 20 number <&"$fd" || { echo "run: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$number" GDK_BACKEND=x11
echo "run: virtual display $DISPLAY"

"$app" &
app_pid=$!
pids+=("$app_pid")

window=$(xdotool search --sync --onlyvisible --name '^Sandvoll$' | head -n1)
mkdir -p build
shot="$root/build/run-screenshot.png"
# The window maps before the web view paints; wait until its page shows text.
/usr/bin/python3 - "$root" "$shot" "$window" "$app_pid" <<'PY'
import os, subprocess, sys, time
sys.path.insert(0, os.path.join(sys.argv[1], "tests/e2e"))
from PIL import Image
import harness

shot, window, pid = sys.argv[2], sys.argv[3], int(sys.argv[4])
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    os.kill(pid, 0)  # raises when Sandvoll has exited
    subprocess.run(["import", "-window", "root", shot], check=True)
    geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                      capture_output=True, text=True).stdout
    g = dict(line.split("=", 1) for line in geometry.split())
    x, y, w, h = (int(g[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    whole = Image.open(shot).convert("RGB").crop((x, y, x + w, y + h))
    view = whole.crop((0, harness.menu_bar_height(whole), w, h))
    if harness.painted(view):
        sys.exit(0)
    time.sleep(0.1)
sys.exit("run: the window did not paint within a minute")
PY
echo "run: window $window is up; screenshot saved to $shot"
echo "run: Sandvoll keeps running; press Ctrl+C to stop it"
wait "$app_pid"

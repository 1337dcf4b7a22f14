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
# The window maps before the web view paints; wait until it shows text
# (anything that is neither white nor black inside the window).
for _ in $(seq 1 100); do
  kill -0 "$app_pid" 2>/dev/null || { echo "run: Sandvoll exited" >&2; exit 1; }
  import -window root "$shot"
  colours=$(convert "$shot" -crop 1440x920+0+0 -format %k info: 2>/dev/null || echo 0)
  [ "$colours" -gt 2 ] && break
  sleep 0.2
done
echo "run: window $window is up; screenshot saved to $shot"
echo "run: Sandvoll keeps running; press Ctrl+C to stop it"
wait "$app_pid"

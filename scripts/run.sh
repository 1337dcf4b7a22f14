#!/usr/bin/env bash
# Builds Sandvoll and runs it with the example server. On a machine without a
# display it runs the app in a virtual session (an X display and a session
# bus), saves a screenshot once the window has painted, prints its path, and
# keeps running until interrupted.
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

exec scripts/virtual_session.sh /usr/bin/python3 scripts/run_headless.py "$app" "$root/build/run-screenshot.png"

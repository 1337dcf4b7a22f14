#!/usr/bin/env bash
# Runs a command in a virtual desktop session: an X display of its own and a
# session bus, as a desktop gives its programs. Both end with the command.
#
# usage: scripts/virtual_session.sh COMMAND [ARGUMENT...]
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: scripts/virtual_session.sh COMMAND [ARGUMENT...]" >&2
  exit 2
fi

# -noreset: by default an X server resets itself when its last client
# disconnects, and a program that connects during the reset is told "cannot
# open display". Short-lived clients (xdotool, import) make that moment come
# often. -displayfd lets Xvfb take a free display number and tell us which.
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1920x1200x24 -nolisten tcp -noreset >/dev/null 2>&1 &
xvfb=$!
bus=""
stop() {
  # The bus leads a process group of its own, with the services it started.
  if [ -n "$bus" ]; then kill -- "-$bus" 2>/dev/null || true; fi
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap stop EXIT
if ! read -r -t 20 number <&"$fd"; then
  echo "virtual_session: Xvfb did not start" >&2
  exit 1
fi
exec {fd}>&-
export DISPLAY=":$number" GDK_BACKEND=x11
unset WAYLAND_DISPLAY

# Without a session bus, GTK and the accessibility layer print warnings at
# every start that a person reads as errors. The daemon's own complaint, as
# root, that it may not raise its file limit is no concern of the command's.
started=$(dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null) || {
  echo "virtual_session: the session bus did not start" >&2
  exit 1
}
export DBUS_SESSION_BUS_ADDRESS=${started%%$'\n'*}
bus=${started##*$'\n'}

status=0
"$@" || status=$?
exit "$status"

#!/usr/bin/env bash
# As a screen reader would: the window on a real X server with the desktop's
# accessibility bus, its log read line by line through AT-SPI.
# Usage: log-atspi.sh APP
set -euo pipefail
app=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
xvfb=""
cleanup() {
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=:$((200 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
# A session bus of its own, which starts the accessibility bus on demand.
# Debian's own Python: pyatspi is a Debian package, not a pip one.
dbus-run-session -- /usr/bin/python3 "$here/log_atspi.py" "$app" "$work/lines.txt"

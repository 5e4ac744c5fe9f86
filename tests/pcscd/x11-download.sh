#!/usr/bin/env bash
# As a person would: the window in a real X server, the read button clicked
# with a card as slow as a real one (60 ms a command), the window seen
# answering during the download, the message box answered, the file checked,
# screenshots kept.
# Usage: x11-download.sh DRAVIK VCARD EXPECTED_FILE_TOOL SCREENSHOT_DIR
# Runs inside tests/pcscd/in-namespace.sh (its own pcscd and vpcd ports).
set -euo pipefail
dravik=$1 vcard=$2 expected_tool=$3 shots=$4
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# A home of its own: the program's settings and its archive of downloads
# (under Documents) never touch the user's.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
pcscd --foreground --error >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S /run/pcscd/pcscd.comm ] && break; sleep 0.05; done
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done

"$vcard" --stay 120 --delay 60 >"$work/vcard.log" 2>&1 &
pids+=($!)

ddd="$(dirname "$dravik")/tmp.ddd"
rm -f "$ddd"
# On xcb whatever the caller set: headless machines often export
# QT_QPA_PLATFORM=offscreen, which would hide the window from the X server.
QT_QPA_PLATFORM=xcb "$dravik" >"$work/dravik.log" 2>&1 &
pids+=($!)

window=""
for _ in $(seq 100); do
  window=$(xdotool search --name '^Dravik \(Kartolo\) - VELMARK$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear"; exit 1; }
sleep 1 # the readers and the card show up
import -window root "$shots/window-before.png"

# The button (51, 80, 368 x 58 below the menu bar) is enabled once the card
# is seen. Pressed, it turns into the disabled "reading" button and the
# progress bar shows below it: a window that stopped handling events for the
# download would still show what it showed before the press.
changed=0
for _ in $(seq 10); do
  xdotool mousemove --window "$window" 235 130 click 1
  sleep 2
  import -window root "$shots/window-during-download.png"
  changed=$(compare -metric AE "$shots/window-before.png" "$shots/window-during-download.png" null: 2>&1 || true)
  changed=${changed%% *}
  [ "$changed" != 0 ] && break
done
[ "$changed" != 0 ] || { echo "the window did not repaint during the download"; exit 1; }
if xdotool search --onlyvisible --name '^Dravik$' >/dev/null 2>&1; then
  echo "the download was over before it could be seen"; exit 1
fi
box=""
for _ in $(seq 60); do
  box=$(xdotool search --onlyvisible --name '^Dravik$' 2>/dev/null | head -n 1) && [ -n "$box" ] && break
  xdotool mousemove --window "$window" 235 130 click 1
  sleep 0.5
done
[ -n "$box" ] || { echo "no message box after clicking the read button"; exit 1; }
sleep 0.3
import -window root "$shots/message-box.png"
# No window manager runs: the keyboard goes where the pointer is.
xdotool mousemove --window "$box" 10 10
xdotool key Return
for _ in $(seq 50); do
  xdotool search --onlyvisible --name '^Dravik$' >/dev/null 2>&1 || break
  sleep 0.1
done
if xdotool search --onlyvisible --name '^Dravik$' >/dev/null 2>&1; then
  echo "the message box did not close"; exit 1
fi
import -window root "$shots/window-after.png"

"$expected_tool" >"$work/expected.ddd"
cmp "$ddd" "$work/expected.ddd" || { echo "tmp.ddd differs from the card's expected download"; exit 1; }
archived=("$HOME/Documents/Dravik"/C_*.ddd)
[ ${#archived[@]} = 1 ] && [ -f "${archived[0]}" ] || { echo "not one archived download: ${archived[*]}"; exit 1; }
cmp "${archived[0]}" "$work/expected.ddd" || { echo "the archived download differs from tmp.ddd"; exit 1; }
echo "x11 download: tmp.ddd matches, screenshots in $shots"

#!/usr/bin/env bash
# The release zip as a user gets it: unpacked into a fresh wine prefix, in a
# folder whose name no ANSI code page of the West holds; dravik.exe started
# under Xvfb against a winscard.dll that holds the simulated sample card; the
# read button clicked, the message box answered, tmp.ddd compared with the
# download the card must give; screenshots kept.
# Usage: zip-smoke.sh ZIP SAMPLE_CARD_DLL EXPECTED_TOOL_EXE SCREENSHOT_DIR
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
zip=$1 sample_dll=$2 expected_tool=$3 shots=$4
mkdir -p "$shots"
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A display no other X server holds: another one's windows would be found.
display=""
for n in $(seq $((90 + RANDOM % 50)) 199); do
  [ -e "/tmp/.X$n-lock" ] || { display=:$n; break; }
done
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done

# The X server comes first: a prefix booted without one shows no window later.
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# The system's winscard.dll is the fake one: wine takes it over its own only
# when told to. Its debugger must never start.
export WINEDLLOVERRIDES="winscard=n;winedbg.exe=d"
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true
wine wineboot </dev/null >/dev/null 2>&1
cp "$sample_dll" "$WINEPREFIX/drive_c/windows/system32/winscard.dll"

folder="$WINEPREFIX/drive_c/users/Željko/Desktop/Dravik Δ"
mkdir -p "$folder"
unzip -q "$zip" -d "$work/unpacked"
cp -r "$work/unpacked"/*/. "$folder/"


(cd "$folder" && wine ./dravik.exe >"$work/dravik.log" 2>&1) &
pids+=($!)

window=""
# The first start in a new prefix sets wine up for the program: slow on a
# busy machine.
for _ in $(seq 1200); do
  window=$(xdotool search --name '^Dravik \(Kartolo\) - VELMARK$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || {
  echo "zip smoke: the window did not appear"
  cat "$work/dravik.log"
  exit 1
}
sleep 2 # the reader and its card show up
import -window root "$shots/windows-before.png"

# The button (51, 80, 368 x 58 below the menu bar) is enabled once the card
# is seen; click until the closing message box comes.
box=""
for _ in $(seq 40); do
  xdotool mousemove --window "$window" 235 130 click 1
  sleep 0.5
  box=$(xdotool search --onlyvisible --name '^Dravik$' 2>/dev/null | head -n 1) && [ -n "$box" ] && break
done
[ -n "$box" ] || { echo "zip smoke: no message box after clicking the read button"; exit 1; }
sleep 0.5
import -window root "$shots/windows-message-box.png"
xdotool mousemove --window "$box" 10 10
xdotool key --window "$box" Return
for _ in $(seq 50); do
  xdotool search --onlyvisible --name '^Dravik$' >/dev/null 2>&1 || break
  sleep 0.1
done
sleep 0.5
import -window root "$shots/windows-after.png"

wine "$expected_tool" "Z:$work/expected.ddd" </dev/null >/dev/null 2>&1
cmp "$folder/tmp.ddd" "$work/expected.ddd" ||
  { echo "zip smoke: tmp.ddd differs from the card's expected download"; exit 1; }
echo "zip smoke: tmp.ddd matches ($(stat -c %s "$folder/tmp.ddd") bytes), screenshots in $shots"

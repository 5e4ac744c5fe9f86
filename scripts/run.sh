#!/usr/bin/env bash
# Sets up, builds and runs Dravik's main job.
#
# On a machine without a PC/SC service it is a demo: a pcscd of its own with the
# virtual reader driver vpcd, in a private mount and network namespace, and the
# simulated driver card inserted. Then the window when a display is there,
# otherwise dravik-download, which prints a one-line account of the download.
# Everything it started is stopped when it ends.
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

if [ "${1:-}" != --inside ]; then
  bash "$root/scripts/setup.sh"
  bash "$root/scripts/build.sh" "$build"
  if [ -S /run/pcscd/pcscd.comm ] && pgrep -x pcscd >/dev/null; then
    exec "$0" --inside machine
  fi
  exec unshare --mount --net --propagation private "$0" --inside own
fi

pids=()
stop_all() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
}
trap stop_all EXIT

if [ "$2" = own ]; then
  mkdir -p /run/pcscd
  mount -t tmpfs tmpfs /run/pcscd
  ip link set lo up
  pcscd --foreground --error >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -S /run/pcscd/pcscd.comm ] && break; sleep 0.05; done
  echo "Started pcscd with vpcd's virtual readers (a namespace of its own)."
else
  echo "Using the PC/SC service that runs on this machine."
fi

"$build/tools/vcard/dravik-vcard" --gen2 2 >/dev/null 2>&1 &
pids+=($!)
echo "Inserted the simulated second-generation driver card (version 2) into \"Virtual PCD 00 00\"."

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  "$build/src/dravik"
else
  echo "No display: downloading with dravik-download."
  echo
  status=0
  # The simulated card signs with the project's test PKI: the demo names its
  # root, which Dravik never trusts on its own.
  test_root="$root/tests/data/test-pki/test-root-EC_PK.bin"
  test_root_g2="$root/tests/data/test-pki/test-root-g2-certificate.bin"
  "$build/tools/download/dravik-download" --wait 5 --root "$test_root" \
    --root-g2 "$test_root_g2" --output "$build/tools/download/tmp.ddd" || status=$?
  echo
  echo "dravik-download ended with exit status $status; the file is $build/tools/download/tmp.ddd"
  if [ "$status" -eq 0 ]; then
    echo "Checking it: dravik-verify --root $test_root --root-g2 $test_root_g2"
    "$build/tools/verify/dravik-verify" --root "$test_root" --root-g2 "$test_root_g2" \
      "$build/tools/download/tmp.ddd" |
      tail -n 2 || status=$?
  fi
  exit "$status"
fi

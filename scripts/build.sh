#!/usr/bin/env bash
# Configures and builds Dravik into build/ (or the folder given), with
# warnings as errors. Further arguments go to cmake's configure step.
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"

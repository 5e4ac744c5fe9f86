#!/usr/bin/env bash
# Sets up, builds and runs every test. Tests against the real pcscd start
# their own daemon in a private namespace, which needs root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
cd "$root/build"
ctest --output-on-failure --timeout 600 "$@"

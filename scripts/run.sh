#!/usr/bin/env bash
# Sets up, builds and starts Dravik.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/build.sh" "$root/build"
exec "$root/build/src/dravik"

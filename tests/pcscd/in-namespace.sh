#!/usr/bin/env bash
# Runs a command in a private mount and network namespace with an empty
# /run/pcscd and its own loopback, so that the pcscd a test starts there never
# meets a pcscd of the machine, and vpcd's ports are the test's own.
set -euo pipefail
if [ "${DRAVIK_IN_NAMESPACE:-}" != 1 ]; then
  exec unshare --mount --net --propagation private env DRAVIK_IN_NAMESPACE=1 "$0" "$@"
fi
mkdir -p /run/pcscd
mount -t tmpfs tmpfs /run/pcscd
ip link set lo up
exec "$@"

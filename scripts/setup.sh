#!/usr/bin/env bash
# Installs every Debian 12 package Dravik needs to build, run and test.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
  libgtest-dev libgmock-dev
  libpcsclite-dev libpcsclite1 pcscd vsmartcard-vpcd
  libgcrypt20-dev
  libsqlite3-dev sqlite3 libpq-dev postgresql-15 openssl
  iproute2 util-linux procps
  xvfb xdotool x11-utils x11-apps imagemagick
  at-spi2-core dbus-daemon python3-pyatspi desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# pcscd from the package starts as a system service on some machines; our tests
# run their own daemon in a private namespace, so a system one is harmless.

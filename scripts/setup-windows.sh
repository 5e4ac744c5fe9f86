#!/usr/bin/env bash
# Installs the Debian 12 packages that build Dravik for Windows and test it
# under wine: the mingw-w64 cross compilers, wine (64-bit only), GoogleTest's
# sources, libgcrypt for mingw, what the Qt build needs, and zip.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  cmake ninja-build mingw-w64 wine64 googletest
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  qt6-base-dev qt6-base-dev-tools dpkg-dev
  xvfb xdotool x11-utils imagemagick zip unzip
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

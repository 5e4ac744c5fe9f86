#!/usr/bin/env bash
# Installs the Debian 12 packages that build Dravik for Windows and test it
# under wine: the mingw-w64 cross compilers, wine (the wine command comes
# from the package wine, the 64-bit loader from wine64), GoogleTest's
# sources, libgcrypt for mingw, what the Qt build needs, Tcl for SQLite's
# amalgamation, and zip.
# Safe to run again: apt-get skips what is already installed.
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR

packages=(
  cmake ninja-build mingw-w64 wine wine64 googletest
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev
  qt6-base-dev qt6-base-dev-tools dpkg-dev
  xvfb xdotool x11-utils imagemagick zip unzip tcl
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

# Every command the Windows stage calls, checked now rather than after the
# half-hour Qt build.
missing_commands=()
for c in wine wineserver x86_64-w64-mingw32-g++ x86_64-w64-mingw32-strip x86_64-w64-mingw32-objdump \
  dpkg-source tclsh make zip unzip Xvfb xdotool import; do
  command -v "$c" >/dev/null || missing_commands+=("$c")
done
if [ ${#missing_commands[@]} -gt 0 ]; then
  echo "setup-windows.sh: missing after installing: ${missing_commands[*]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# Builds Qt 6 for 64-bit Windows from Debian's own qt6-base source package
# with the mingw-w64 cross toolchain: qtbase only, and of it what the zip
# ships and the tests link (Core, Gui, Widgets, Test, the windows platform
# and the style plugins), the rest switched off. Installs it into a
# cache folder outside the tree that later runs reuse:
#   ${DRAVIK_CACHE:-$HOME/.cache/dravik}/qt6-mingw
# Does nothing when that folder already holds a finished build. One build takes
# about 25-30 minutes on 2 cores and ~1 GB of scratch space, removed afterwards.
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${DRAVIK_CACHE:-$HOME/.cache/dravik}
prefix=$cache/qt6-mingw
stamp=$prefix/.dravik-complete

if [ -f "$stamp" ]; then
  echo "Qt for mingw: reusing $prefix"
  exit 0
fi

work=$cache/qt6-mingw-work
rm -rf "$work" "$prefix"
mkdir -p "$work/lists/partial"

# apt-get source needs a deb-src line; a private list keeps the machine's
# sources untouched. The archive is the one the machine's own deb line names.
uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1 | awk '{print $2}')
uri=${uri:-$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null)}
uri=${uri:-http://deb.debian.org/debian}
echo "deb-src $uri bookworm main" >"$work/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/lists")
apt-get "${apt_opts[@]}" update -q >/dev/null
(cd "$work" && apt-get "${apt_opts[@]}" source --download-only qt6-base >/dev/null &&
  dpkg-source --no-check -x qt6-base_*.dsc src >/dev/null)

cmake -S "$work/src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF \
  -DFEATURE_opengl_dynamic=OFF -DFEATURE_tabletevent=OFF -DFEATURE_sql=OFF \
  -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF \
  -DFEATURE_system_harfbuzz=OFF >"$work/configure.log" 2>&1 ||
  { tail -40 "$work/configure.log"; exit 1; }
cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log"; exit 1; }
cmake --install "$work/build" >/dev/null
touch "$stamp"
rm -rf "$work"
echo "Qt for mingw: installed into $prefix"

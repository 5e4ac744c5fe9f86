#!/usr/bin/env bash
# Builds Dravik for 64-bit Windows with mingw-w64 and runs its tests under
# wine: the core, the tools and their tests always; with Qt for Windows (built
# once into the cache by scripts/build-qt-mingw.sh) also dravik.exe, the
# window's tests, and the release zip Dravik-<version>-windows-x64.zip in
# <build>/package/ with its smoke test (screenshots in <build>/screenshots/).
#
#   scripts/windows.sh [build folder]      default: build-windows/
#
# DRAVIK_QT=0 builds without the window even when the Qt cache exists.
# Arguments after the folder go to ctest (for example -R pcscraw).
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
# Absolute: wine refuses a relative WINEPREFIX, and the prefix lives in the build folder.
build=$(realpath -m "${1:-$root/build-windows}")
shift || true
cache=${DRAVIK_CACHE:-$HOME/.cache/dravik}
qt=$cache/qt6-mingw

started=$SECONDS
bash "$root/scripts/setup-windows.sh"

toolchain=$root/cmake/mingw-w64-x86_64.cmake
cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine -DDRAVIK_BENCH=OFF -DDRAVIK_WERROR=ON)
# The register's embedded engine, built once into the cache from Debian's source.
bash "$root/scripts/build-sqlite-mingw.sh"
sqlite=$cache/sqlite3-mingw
cmake_args+=(-DSQLite3_INCLUDE_DIR="$sqlite/include" -DSQLite3_LIBRARY="$sqlite/lib/libsqlite3.a")
if [ "${DRAVIK_QT:-1}" != 0 ] && [ -f "$qt/.dravik-complete" ]; then
  # Qt's own toolchain file puts Qt where the cross build looks for packages
  # and loads ours for the compilers.
  cmake_args+=(-DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake)
  toolchain=$qt/lib/cmake/Qt6/qt.toolchain.cmake
else
  echo "windows.sh: no Qt for Windows in $qt: building without the window"
fi
# A build folder made with the other toolchain starts afresh.
if ! grep -qxF "CMAKE_TOOLCHAIN_FILE:FILEPATH=$toolchain" "$build/CMakeCache.txt" 2>/dev/null; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${cmake_args[@]}" >/dev/null
nice cmake --build "$build" -j"$(nproc)"
echo "windows.sh: build took $((SECONDS - started)) s"

# A prefix of the build's own, booted before CTest starts: wine's helper
# processes would otherwise inherit CTest's output pipe and hold every test up.
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true # one may be running from an earlier run
trap 'wineserver -k 2>/dev/null || true' EXIT
wine wineboot </dev/null >/dev/null 2>&1
(cd "$build" && ctest --output-on-failure --timeout 300 -j"$(nproc)" "$@")
wineserver -k 2>/dev/null || true
echo "windows.sh: build and tests took $((SECONDS - started)) s"

if [ ! -f "$build/bin/dravik.exe" ]; then
  exit 0
fi

# The release zip: the programs, Qt's DLLs and the platform plugin, the
# C++ runtime they share, libgcrypt and its error library, the read-me;
# everything stripped.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=Dravik-$version-windows-x64
stage=$build/package/$name
rm -rf "$build/package"
mkdir -p "$stage/platforms" "$stage/styles"
cp "$build/bin/dravik.exe" "$build/bin/dravik-download.exe" "$build/bin/dravik-verify.exe" "$stage/"
# The register's and the card contents' tools, where this build has them.
for tool in dravik-archive dravik-show; do
  [ ! -f "$build/bin/$tool.exe" ] || cp "$build/bin/$tool.exe" "$stage/"
done
cp "$build/bin/libgcrypt-20.dll" "$build/bin/libgpg-error-0.dll" "$stage/"
cp "$qt/bin/Qt6Core.dll" "$qt/bin/Qt6Gui.dll" "$qt/bin/Qt6Widgets.dll" "$stage/"
# offscreen: dravik-show --pdf draws its report without a window.
cp "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$stage/platforms/"
cp "$qt/plugins/styles/"*.dll "$stage/styles/"
cp "$build/bin/libstdc++-6.dll" "$build/bin/libgcc_s_seh-1.dll" "$build/bin/libwinpthread-1.dll" \
  "$stage/"
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll
# Explorer shows dravik.exe with its own icon only if the resource made it in.
x86_64-w64-mingw32-objdump -h "$stage/dravik.exe" | grep -q '\.rsrc' ||
  { echo "windows.sh: dravik.exe carries no icon resource"; exit 1; }
# Notepad before Windows 10 wants CR LF and a byte-order mark for UTF-8.
{
  printf '\xEF\xBB\xBF'
  sed 's/$/\r/' "$root/resources/windows/README.txt"
} >"$stage/README.txt"
(cd "$build/package" && zip -q -r -9 "$name.zip" "$name")
echo "windows.sh: $build/package/$name.zip, $(stat -c %s "$build/package/$name.zip") bytes" \
  "($(du -sb "$stage" | cut -f1) bytes unpacked)"

bash "$root/tests/windows/zip-smoke.sh" "$build/package/$name.zip" \
  "$build/bin/fakepcsc_sample.dll" "$build/bin/expected_download_tool.exe" "$build/screenshots"
echo "windows.sh: build, tests, zip and its smoke test took $((SECONDS - started)) s"

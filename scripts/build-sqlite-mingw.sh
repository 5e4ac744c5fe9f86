#!/usr/bin/env bash
# Builds SQLite for 64-bit Windows from Debian's own sqlite3 source package:
# the amalgamation (sqlite3.c, made by the package's own Tcl script) compiled
# with the mingw-w64 cross compiler into a static library, installed into a
# cache folder outside the tree that later runs reuse:
#   ${DRAVIK_CACHE:-$HOME/.cache/dravik}/sqlite3-mingw/{include,lib}
# Does nothing when that folder already holds a finished build (about a
# minute on 2 cores otherwise).
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR
cache=${DRAVIK_CACHE:-$HOME/.cache/dravik}
prefix=$cache/sqlite3-mingw
stamp=$prefix/.dravik-complete

if [ -f "$stamp" ]; then
  echo "SQLite for mingw: reusing $prefix"
  exit 0
fi

work=$cache/sqlite3-mingw-work
rm -rf "$work" "$prefix"
mkdir -p "$work/lists/partial" "$prefix/include" "$prefix/lib"

# As for Qt: a private deb-src list of the archive the machine's own deb line names.
uri=$(grep -h '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1 | awk '{print $2}')
uri=${uri:-$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null)}
uri=${uri:-http://deb.debian.org/debian}
echo "deb-src $uri bookworm main" >"$work/sources.list"
apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o "Dir::State::Lists=$work/lists")
apt-get "${apt_opts[@]}" update -q >/dev/null
(cd "$work" && apt-get "${apt_opts[@]}" source --download-only sqlite3 >/dev/null 2>&1 &&
  dpkg-source --no-check -x sqlite3_*.dsc src >/dev/null)

# The amalgamation is generated on the build machine; only its compile is cross.
mkdir -p "$work/amalgamation"
(cd "$work/amalgamation" && "$work/src/configure" --disable-tcl >configure.log 2>&1 &&
  make sqlite3.c >make.log 2>&1) || { tail -20 "$work/amalgamation/"*.log; exit 1; }
x86_64-w64-mingw32-gcc -O2 -c "$work/amalgamation/sqlite3.c" -o "$work/sqlite3.o" \
  -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=1 -DSQLITE_OMIT_LOAD_EXTENSION
x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3.o"
cp "$work/amalgamation/sqlite3.h" "$prefix/include/"
touch "$stamp"
rm -rf "$work"
echo "SQLite for mingw: installed into $prefix"

#!/usr/bin/env bash
# The Debian package as a user gets it: built with cpack from the build tree,
# its dependencies declared, its files where a desktop looks for them,
# installed by dpkg, which checks those dependencies against this machine's
# packages, and started by an ordinary user, whose window must come up on an
# X server with the program's icon.
# The install happens in a private mount namespace whose /usr, /etc, /var and
# /home are copies on write: the machine keeps nothing of it.
# Usage: deb-install.sh BUILD_DIR   (as root)
set -eEuo pipefail
# Whatever stops the script says which command it was.
trap 'rc=$?; echo "$(basename "$0"): line $LINENO: \"$BASH_COMMAND\" failed (exit $rc)" >&2' ERR

fail() {
  echo "FAIL: $*"
  exit 1
}

if [ "${1:-}" = --inside ]; then
  deb=$2 work=$3
  mount -t tmpfs tmpfs "$work/ov"
  for dir in usr etc var home; do
    mkdir -p "$work/ov/$dir/upper" "$work/ov/$dir/work"
    mount -t overlay overlay \
      -o "lowerdir=/$dir,upperdir=$work/ov/$dir/upper,workdir=$work/ov/$dir/work" "/$dir"
  done
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i refused the package"; }
  [ "$(dpkg-query -W -f='${Status}' dravik)" = "install ok installed" ] || fail "dravik is not installed"

  useradd --create-home --shell /bin/bash driver
  display=:$((300 + RANDOM % 100))
  # -ac: the user is not the server's owner.
  Xvfb "$display" -screen 0 800x600x24 -nolisten tcp -ac >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill $xvfb $dravik 2>/dev/null || true; wait 2>/dev/null || true' EXIT
  for _ in $(seq 100); do DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
  # A desktop session's environment, nothing of root's: found on the PATH.
  runuser -u driver -- env -i HOME=/home/driver USER=driver PATH=/usr/local/bin:/usr/bin:/bin \
    DISPLAY="$display" QT_QPA_PLATFORM=xcb dravik >"$work/dravik.log" 2>&1 &
  dravik=$!
  window=""
  for _ in $(seq 100); do
    window=$(DISPLAY=$display xdotool search --name '^Dravik \(Kartolo\) - VELMARK$' 2>/dev/null | head -n 1) &&
      [ -n "$window" ] && break
    kill -0 "$dravik" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$window" ] || { cat "$work/dravik.log"; fail "the installed program showed no window"; }
  owner=$(ps -o user= -p "$(DISPLAY=$display xdotool getwindowpid "$window")")
  [ "$owner" = driver ] || fail "the window belongs to $owner"
  # xprop draws each size of _NET_WM_ICON under a heading "Icon (W x H):".
  DISPLAY=$display xprop -id "$window" _NET_WM_ICON >"$work/icon.txt"
  for size in 16 32 48; do
    grep -q "Icon ($size x $size):" "$work/icon.txt" || fail "the window has no ${size}-pixel icon"
  done
  # /usr/bin is not the user's to write: the working file goes to their data
  # folder, made at start.
  [ -d /home/driver/.local/share/Dravik ] || fail "no data folder for tmp.ddd"
  [ "$(stat -c %U /home/driver/.local/share/Dravik)" = driver ] || fail "the data folder is not the user's"
  [ ! -e /usr/bin/tmp.ddd ] || fail "a tmp.ddd beside the installed program"
  echo "installed, started by an ordinary user, window $window with its icon"
  exit 0
fi

build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/dravik_*.deb)
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for need in pcscd libpcsclite1 libqt6core6 libqt6gui6 libqt6widgets6; do
  grep -Eq "(^|, )$need( |,|$)" <<<"$depends" || fail "$need is not among the dependencies"
done

dpkg-deb -x "$deb" "$work/root"
[ -x "$work/root/usr/bin/dravik" ] || fail "no /usr/bin/dravik"
grep -q '^\.SH EXIT STATUS' "$work/root/usr/share/man/man1/dravik-download.1" ||
  fail "no dravik-download manual page"
desktop-file-validate "$work/root/usr/share/applications/dravik.desktop" || fail "the .desktop file"
grep -qx 'Exec=dravik' "$work/root/usr/share/applications/dravik.desktop" || fail "Exec"
grep -qx 'Icon=dravik' "$work/root/usr/share/applications/dravik.desktop" || fail "Icon"
for size in 16 22 24 32 48 64 128 256; do
  png=$work/root/usr/share/icons/hicolor/${size}x${size}/apps/dravik.png
  [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ] ||
    fail "no ${size}x${size} icon"
done

mkdir "$work/ov"
unshare --mount --propagation private bash "$here/deb-install.sh" --inside "$deb" "$work"
echo "1 passed, 0 failed"

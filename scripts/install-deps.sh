#!/bin/sh
# Installs, from Debian's archive, whatever of the build and test tools is missing.
set -eu
packages="cmake make g++ libssl-dev g++-multilib clang libclang-rt-14-dev qemu-user binutils binutils-mingw-w64-i686 googletest
  dosfstools mtools python3 strace
  qemu-system-x86 seabios linux-image-amd64 busybox-static cpio kmod zstd xz-utils nbdkit nbdkit-plugin-python f3
  libwxgtk3.2-dev xvfb xauth xdotool x11-utils imagemagick fonts-wqy-microhei
  dpkg-dev file man-db lintian desktop-file-utils appstream zip unzip bash-completion tmux
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi

# 32-bit Wine, to run the shipped 32-bit Windows programs themselves: its
# packages are i386 ones. If they cannot be installed, the architecture is
# taken back off again, unless an i386 package got in meanwhile.
if [ "${1:-}" = wine32 ]; then
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "ok installed" && [ -x /usr/lib/wine/wine ] && exit 0
  added=""
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 && added=1
  fi
  echo "installing: wine32:i386"
  if $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      wine32:i386 >/dev/null; then
    exit 0
  fi
  if [ -n "$added" ] && [ -z "$(dpkg-query -W -f='${Architecture}\n' 2>/dev/null | grep -x i386)" ]; then
    $sudo dpkg --remove-architecture i386 && $sudo apt-get update -qq || true
  fi
  exit 1
fi

case "${1:-all}" in
  demo) packages="cmake make g++ libssl-dev binutils binutils-mingw-w64-i686 googletest python3 dosfstools mtools" ;;
  package) packages="cmake make g++ libssl-dev binutils-mingw-w64-i686 g++-mingw-w64-i686-posix googletest libwxgtk3.2-dev imagemagick
    dpkg-dev file zip" ;;
esac
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null

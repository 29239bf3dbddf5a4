#!/bin/sh
# Installs, from Debian's archive, whatever of the build and test tools is missing.
set -eu
packages="cmake make g++ g++-multilib clang libclang-rt-14-dev qemu-user binutils binutils-mingw-w64-i686 googletest
  dosfstools mtools python3 strace
  qemu-system-x86 seabios linux-image-amd64 busybox-static cpio kmod zstd xz-utils
  libwxgtk3.2-dev xvfb xauth xdotool x11-utils imagemagick fonts-wqy-microhei
  dpkg-dev file man-db bash-completion tmux
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64"
case "${1:-all}" in
  demo) packages="cmake make g++ binutils binutils-mingw-w64-i686 googletest python3 dosfstools mtools" ;;
  package) packages="cmake make g++ binutils-mingw-w64-i686 googletest libwxgtk3.2-dev imagemagick dpkg-dev file" ;;
esac
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null

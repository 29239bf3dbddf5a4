#!/bin/sh
# Runs a cross-built Windows program under Wine: a private prefix made once,
# a server that stays up between programs (each start would otherwise cost
# seconds) but not for long after the last, and a time limit on every run.
# 64-bit programs go straight to the 64-bit loader; a 32-bit program needs the
# 32-bit one, which on a kernel without 32-bit support runs under qemu-i386
# and takes minutes to start.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Debian's wine command starts the 32-bit loader first whatever the program.
loader=wine
case "$1" in
  *.exe|*.EXE)
    # The machine field of the PE header: 0x8664 is x86-64.
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
    if [ "$machine" = 8664 ] && [ -x /usr/lib/wine/wine64 ]; then
      loader=/usr/lib/wine/wine64
      export WINELOADER=$loader
    fi ;;
esac

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  flock "$WINEPREFIX/.setup" sh -c "[ -f \"\$WINEPREFIX/system.reg\" ] || timeout 900 $loader wineboot -i >/dev/null 2>&1" || true
fi
# The server, and the services a program starts, outlive it: started here,
# away from the caller's output, so that no pipe of the caller's stays open.
server=wineserver
[ -x /usr/lib/wine/wineserver64 ] && server=/usr/lib/wine/wineserver64
"$server" -p30 </dev/null >/dev/null 2>&1 || true
# In the caller's process group, where a Ctrl-C or the test's end reaches it.
timeout --foreground 300 "$loader" wineboot </dev/null >/dev/null 2>&1 || true
exec timeout --foreground "${BRISANT_WINE_TIMEOUT:-120}" "$loader" "$@"

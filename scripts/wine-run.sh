#!/bin/sh
# Runs a cross-built Windows program under Wine: a private prefix made once,
# a server that stays up between programs (each start would otherwise cost
# seconds) but not for long after the last, and a time limit on every run.
# Each program goes straight to the loader of its own width
# (scripts/wine-loader.sh).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

loader=wine
case "$1" in
  *.exe|*.EXE)
    loader=$(sh "$here/scripts/wine-loader.sh" "$1")
    [ "$loader" = wine ] || export WINELOADER=$loader ;;
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
exec timeout --foreground "${BRISANT_WINE_TIMEOUT:-600}" "$loader" "$@"

#!/bin/sh
# Runs a cross-built Windows program under Wine: a private prefix made once,
# a server that stays up between programs (each start would otherwise cost
# seconds), and a time limit on every run.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  flock "$WINEPREFIX/.setup" sh -c '[ -f "$WINEPREFIX/system.reg" ] || timeout 300 wineboot -i >/dev/null 2>&1' || true
fi
wineserver -p >/dev/null 2>&1 || true
exec timeout "${BRISANT_WINE_TIMEOUT:-120}" wine "$@"

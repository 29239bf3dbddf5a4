#!/bin/bash
# The dialog started many times in a row under one X server, as a user
# clicking its menu entry would: every start must map the window and end
# with exit 0 on its close box. The server resets whenever its last client leaves (no
# -noreset), the condition under which a start once lost its connection.
# usage: gui_start_test.sh BRISANT X_WINDOW_WAIT WORKDIR [STARTS]
set -u

usage="usage: gui_start_test.sh BRISANT X_WINDOW_WAIT WORKDIR [STARTS]"
brisant=${1:?$usage}
wait_window=${2:?$usage}
work=${3:?$usage}
starts=${4:-100}
if ! command -v Xvfb >/dev/null; then
    echo "SKIP: Xvfb is not installed (Debian package xvfb)"
    exit 77
fi

. "$(cd "$(dirname "$0")" && pwd)/window_cards.sh"
mkdir -p "$work"
make_cards "$work"

xvfb= pid=
stop() {
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    pid= xvfb=
}
trap stop EXIT
trap 'exit 1' INT TERM HUP
# Not ended, nor ended and not yet waited for.
running() {
    local state=
    # The shell may reap it between the look and the read.
    { read -r _ _ state _ <"/proc/$pid/stat"; } 2>/dev/null
    [ -n "$state" ] && [ "$state" != Z ]
}
fail() {
    echo "FAIL: start $n of $starts: $*"
    if [ -s "$work/start.log" ]; then echo "its stderr:"; cat "$work/start.log"; fi
    exit 1
}

# The server picks a free display and names it once it takes connections.
rm -f "$work/display"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -1 "$work/display") NO_AT_BRIDGE=1
# A sanitizer build reports the font caches the toolkit keeps to the end.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/toolkit_leaks.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

began=$SECONDS
for n in $(seq "$starts"); do
    "$brisant" --drive "E=$work/card.img" >"$work/start.log" 2>&1 &
    pid=$!
    dialog=$("$wait_window" --close "Korvela Fix 2GB Capacity" 20 "$pid" 2>/dev/null)
    waited=$?
    if [ -z "$dialog" ]; then
        # The watcher's own connection lost in a reset the start set off.
        [ $waited = 2 ] && sleep 0.5
        if running; then
            [ $waited = 2 ] && fail "the X server dropped a connection during the start"
            fail "the dialog was not mapped within 20 s"
        fi
        wait "$pid"
        rc=$?
        pid=
        fail "the program ended with $rc before its dialog was mapped"
    fi
    [ $waited = 0 ] || fail "the dialog stayed open on its close box"
    for _ in $(seq 200); do running || break; sleep 0.02; done
    running && fail "the program did not end with its dialog"
    wait "$pid"
    rc=$?
    pid=
    [ $rc = 0 ] || fail "the program exited with $rc after its close box"
    # Lets the server take the last client's leave before the next start
    # connects; a start may meet a reset, but not race its beginning.
    sleep 0.05
done
echo "PASS: $starts starts, each mapped its dialog and ended on its close box ($((SECONDS - began)) s)"

#!/bin/bash
# The real window under Xvfb: repairs a card image through the dialog with
# keystrokes, as an operator would, and checks the result with fsck.fat.
# usage: gui_repair_test.sh BRISANT WORKDIR [SCREENSHOT]
set -u

. "$(cd "$(dirname "$0")" && pwd)/window_cards.sh"
. "$(cd "$(dirname "$0")" && pwd)/session.sh"

if [ "${1:-}" = "--inside" ]; then
    shift
    brisant=$1 work=$2 shot=$3
    pid=
    fail() { echo "FAIL: $*"; [ -n "$pid" ] && kill "$pid" 2>/dev/null; exit 1; }
    # Without a window manager a window takes keys only once focused.
    press() { timeout --foreground 10 xdotool windowfocus --sync "$1" && timeout --foreground 10 xdotool key --clearmodifiers "$2"; }
    # The next message box: a window captioned with the program's name that
    # is none of those already answered.
    next_box() {
        local deadline=$((SECONDS + 40)) id seen old
        while [ $SECONDS -lt $deadline ]; do
            for id in $(xdotool search --onlyvisible --name '^Brisant$' 2>/dev/null); do
                seen=0
                for old in "$@"; do [ "$id" = "$old" ] && seen=1; done
                [ $seen = 0 ] && { echo "$id"; return 0; }
            done
            kill -0 "$pid" 2>/dev/null || return 1
            sleep 0.2
        done
        return 1
    }
    start() {
        "$brisant" --drive "E=$1" >"$work/brisant.log" 2>&1 &
        pid=$!
        dialog=$(timeout --foreground 30 xdotool search --sync --onlyvisible --name '^Korvela Fix 2GB Capacity$' | head -1)
        [ -n "$dialog" ] || fail "the dialog did not appear"
        sleep 1
    }
    finish() {
        local deadline=$((SECONDS + 20)) rc
        while kill -0 "$pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
        kill -0 "$pid" 2>/dev/null && fail "the program did not end ($1)"
        wait "$pid"
        rc=$?
        [ -s "$work/brisant.log" ] && { echo "the program printed:"; cat "$work/brisant.log"; }
        [ $rc = 0 ] || fail "the program exited with $rc ($1)"
        pid=
    }

    # A card swapped for one that needs no repair after the probe: the repair
    # is refused and disables the focused button; the dialog must still take
    # keys, and Escape ends it.
    start "$work/small.img"
    write_declared "$work/small.img" 1000000
    press "$dialog" Return || fail "could not press the repair button"
    refused=$(next_box) || fail "no message that the repair is not needed"
    press "$refused" Return || fail "could not dismiss the refusal"
    sleep 0.5
    press "$dialog" Escape || fail "could not press Escape"
    finish "Escape after a refused repair"
    [ "$(od -An -tx1 -j32 -N4 "$work/small.img" | tr -d ' \n')" = 40420f00 ] ||
        fail "the refused repair wrote to the card"

    start "$work/card.img"
    if command -v import >/dev/null; then
        import -window "$dialog" "$shot" || echo "note: no screenshot taken"
    fi
    # The repair button is first in the tab order and has the focus.
    press "$dialog" Return || fail "could not press the repair button"
    confirm=$(next_box) || fail "no confirmation box"
    if command -v import >/dev/null; then import -window "$confirm" "$work/confirm.png" || true; fi
    press "$confirm" Return || fail "could not confirm"
    changed=$(next_box "$confirm") || fail "no message that the capacity changed"
    press "$changed" Return || fail "could not dismiss the first message"
    replug=$(next_box "$confirm" "$changed") || fail "no message to re-insert the card"
    press "$replug" Return || fail "could not dismiss the second message"
    finish "the repair"
    exit 0
fi

brisant=${1:?usage: gui_repair_test.sh BRISANT WORKDIR [SCREENSHOT]}
work=${2:?usage: gui_repair_test.sh BRISANT WORKDIR [SCREENSHOT]}
shot=${3:-$work/screenshot.png}
for tool in xvfb-run xdotool; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is not installed (Debian packages xvfb and xdotool)"
        exit 77
    fi
done

mkdir -p "$work"
image=$work/card.img
make_cards "$work"

export NO_AT_BRIDGE=1
# The dialog saves an undo file without a word: here, where the test sees it.
export XDG_STATE_HOME=$work/state
rm -rf "$XDG_STATE_HOME"
# A sanitizer build reports the font caches the toolkit keeps to the end.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/toolkit_leaks.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
trap stop_limited EXIT
limited 180 xvfb-run -a -s "-screen 0 1024x768x24 -noreset" bash "$0" --inside "$brisant" "$work" "$shot"
rc=$?
[ $rc = 0 ] || { echo "FAIL: the window session ended with $rc"; exit 1; }

judge_volume "$image" || exit 1
set -- "$XDG_STATE_HOME"/brisant/*.brisant-undo
[ $# = 1 ] && [ -f "$1" ] || { echo "FAIL: the repair saved no undo file, or more than one: $*"; exit 1; }
[ "$(head -n 1 "$1")" = "brisant undo file 2" ] || { echo "FAIL: $1 is not an undo file"; exit 1; }
echo "PASS: repaired through the window, with its undo file; fsck.fat accepts the volume"

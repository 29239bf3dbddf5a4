#!/bin/bash
# The Windows program in a real window: Wine's virtual desktop under Xvfb,
# driven with keystrokes as an operator would. The program as shipped finds
# no card (no drive letter of the prefix names a disk) and says nothing of
# it; in the test build a card image stands behind drive E:, and the repaired
# image is judged from the host by fsck.fat and mtools. X cannot see the windows inside the
# desktop, so wine_windows.exe finds them and reports their controls.
# usage: wine_window_test.sh TEST_BUILD_EXE BRISANT_EXE WINE_WINDOWS_EXE WORKDIR [SCREENSHOT]
set -u

# The loader of the programs' own width straight away (Debian's wine command
# starts the 32-bit loader first, which a kernel without 32-bit support runs
# only under emulation), and the 64-bit server, which serves both widths.
if [ -x /usr/lib/wine/wineserver64 ] && [ -f "${2:-}" ] && [ "${1:-}" != "--inside" ]; then
    loader=$(sh "$(dirname "$0")/../../scripts/wine-loader.sh" "$2")
    if [ "$loader" != wine ]; then
        export WINELOADER=$loader
        bin=$(mktemp -d)
        trap 'rm -rf "$bin"' EXIT
        printf '#!/bin/sh\nexec %s "$@"\n' "$loader" >"$bin/wine"
        printf '#!/bin/sh\nexec /usr/lib/wine/wineserver64 "$@"\n' >"$bin/wineserver"
        chmod +x "$bin/wine" "$bin/wineserver"
        export PATH="$bin:$PATH"
    fi
fi
wineboot() { wine wineboot "$@"; }

. "$(cd "$(dirname "$0")" && pwd)/window_cards.sh"
. "$(cd "$(dirname "$0")" && pwd)/session.sh"
winpath() { echo "Z:${1//\//\\}"; }

if [ "${1:-}" = "--inside" ]; then
    shift
    brisant=$1 shipped=$2 helper=$3 work=$4 shot=$5
    pid=
    fail() { echo "FAIL: $*"; [ -n "$pid" ] && kill "$pid" 2>/dev/null; exit 1; }
    helper() { local out; out=$(timeout --foreground 60 wine "$helper" "$@") || return 1; echo "${out//$'\r'/}"; }
    # Keys go to Wine's foreground window through the desktop's X window.
    key() { timeout --foreground 10 xdotool windowfocus --sync "$desktop" && timeout --foreground 10 xdotool key --clearmodifiers "$@"; }
    # The next message box: a window captioned with the program's name that
    # is none of those already answered, owned by the dialog. Sets $box to
    # its handle and $shown to what it shows.
    next_box() {
        shown=$(helper wait Brisant "$@") || return 1
        box=$(echo "$shown" | head -1)
        echo "$shown" | grep -qx "owner $dialog" || { echo "$shown"; echo "FAIL: box $box is not owned by the dialog"; return 1; }
    }
    # SHOWN LINE: a control line "id class enabled text" among what a window shows.
    expect_control() { echo "$1" | grep -qxF -e "$2" || { echo "$1"; fail "no control \"$2\""; }; }
    # start IMAGE, or start with no image for the program as shipped.
    start() {
        if [ -n "$1" ]; then
            timeout --foreground 170 wine "$brisant" --drive "E=$(winpath "$1")" >"$work/brisant.log" 2>&1 &
        else
            timeout --foreground 170 wine "$shipped" >"$work/brisant.log" 2>&1 &
        fi
        pid=$!
        shown=$(helper wait 'Korvela Fix 2GB Capacity') || fail "the dialog did not appear"
        dialog=$(echo "$shown" | head -1)
        [ -n "$desktop" ] || desktop=$(timeout --foreground 20 xdotool search --sync --name 'Wine desktop' | head -1)
        [ -n "$desktop" ] || fail "no Wine desktop window"
        # Wine's desktop takes keys only once it has been clicked: click the
        # dialog's caption, as an operator would to bring it forward.
        timeout --foreground 10 xdotool mousemove --window "$desktop" 150 10 click 1 || fail "could not click the dialog"
    }
    finish() {
        local rc
        wait "$pid"
        rc=$?
        [ $rc = 0 ] || { cat "$work/brisant.log"; fail "the program exited with $rc ($1)"; }
        pid=
    }
    desktop=

    # The real volumes: an empty list, the repair button off, and no message
    # (a message box would take the Escape, and the program would not end).
    start ""
    for control in "1000 ComboBox 1 " "1001 Static 1 " "1 Button 0 修复"; do
        expect_control "$shown" "$control"
    done
    key Escape || fail "could not press Escape"
    finish "Escape with no card"

    # A card swapped for one that needs no repair after the probe: the repair
    # is refused and the dialog stays; Escape ends it.
    start "$work/small.img"
    write_declared "$work/small.img" 1000000
    key Return || fail "could not press the repair button"
    next_box || fail "no message that the repair is not needed"
    expect_control "$shown" "65535 Static 1 The capacity do not need to fix."
    key Return || fail "could not dismiss the refusal"
    expect_control "$(helper show "$dialog")" "1 Button 0 修复"
    key Escape || fail "could not press Escape"
    finish "Escape after a refused repair"
    [ "$(od -An -tx1 -j32 -N4 "$work/small.img" | tr -d ' \n')" = 40420f00 ] ||
        fail "the refused repair wrote to the card"

    # The Cancel button ends the program without a write.
    write_declared "$work/small.img" 1984000
    start "$work/small.img"
    key Tab space || fail "could not press Cancel"
    finish "Cancel"
    [ "$(od -An -tx1 -j32 -N4 "$work/small.img" | tr -d ' \n')" = 00461e00 ] || fail "Cancel wrote to the card"

    # The whole repair, with the texts of the template and of each message.
    start "$work/card.img"
    for control in "1 Button 1 修复" "2 Button 1 取消" "1000 ComboBox 1 E:\\" "-1 Static 1 全部空间" \
        "1001 Static 1 968 MB" "1004 Button 1 刷新" "-1 Static 1 请选择你需要修复的盘符"; do
        expect_control "$shown" "$control"
    done
    geometry=$(echo "$shown" | sed -n 's/^rect //p')
    if command -v import >/dev/null && [ -n "$geometry" ]; then
        import -window root -crop "$geometry" +repage "$shot" || echo "note: no screenshot taken"
    fi
    key Return || fail "could not press the repair button"
    next_box || fail "no confirmation box"
    confirm=$box
    key Return || fail "could not confirm"
    next_box "$confirm" || fail "no message that the capacity changed"
    changed=$box
    expect_control "$shown" "65535 Static 1 The drive's capacity have change to 2G bytes."
    key Return || fail "could not dismiss the first message"
    next_box "$confirm" "$changed" || fail "no message to re-insert the card"
    expect_control "$shown" "65535 Static 1 Please re-plugin this card again"
    key Return || fail "could not dismiss the second message"
    finish "the repair"
    exit 0
fi

usage="usage: wine_window_test.sh TEST_BUILD_EXE BRISANT_EXE WINE_WINDOWS_EXE WORKDIR [SCREENSHOT]"
brisant=${1:?$usage}
shipped=${2:?$usage}
helper=${3:?$usage}
work=${4:?$usage}
shot=${5:-$work/screenshot.png}
for tool in wine xvfb-run xdotool fsck.fat mdir; do
    if ! PATH="$PATH:/usr/sbin:/sbin" command -v $tool >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

mkdir -p "$work"
work=$(cd "$work" && pwd)  # Wine needs an absolute prefix
image=$work/card.img
make_cards "$work"

# A prefix of the test's own, made once: the virtual desktop and the font
# that stands in for the template's face are set in it.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The prefix's server, and the programs it still holds, end with the test.
leave() {
    stop_limited
    wineserver -k 2>/dev/null
    [ -z "${bin:-}" ] || rm -rf "$bin"
}
trap leave EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
if [ ! -f "$WINEPREFIX/.brisant-ready" ]; then
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="640x400"\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"新細明體"="WenQuanYi Micro Hei"\r\n'
    } | iconv -f UTF-8 -t UTF-16 >"$work/settings.reg"
    timeout --foreground 120 wine regedit /S "$(winpath "$work/settings.reg")" >/dev/null 2>&1 || { echo "FAIL: regedit"; exit 1; }
    touch "$WINEPREFIX/.brisant-ready"
fi
wineserver -k 2>/dev/null
wineserver -p

limited 600 xvfb-run -a -s "-screen 0 800x600x24 -noreset" bash "$0" --inside "$brisant" "$shipped" "$helper" "$work" "$shot"
rc=$?
wineserver -k 2>/dev/null
[ $rc = 0 ] || { echo "FAIL: the window session ended with $rc"; exit 1; }

export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1
judge_volume "$image" || exit 1
# The volume spans the whole card and takes a file.
head -c 1048576 /dev/urandom >"$work/file.bin"
mcopy -i "$image" "$work/file.bin" ::FILE.BIN && mcopy -n -i "$image" ::FILE.BIN "$work/back.bin" &&
    cmp "$work/file.bin" "$work/back.bin" || { echo "FAIL: mtools could not store a file"; exit 1; }
free=$(mdir -i "$image" :: | sed -n 's/^ *\([0-9 ]*\) bytes free$/\1/p' | tr -d ' ')
[ "${free:-0}" -gt 2000000000 ] || { echo "FAIL: only ${free:-no} bytes free"; mdir -i "$image" ::; exit 1; }
echo "PASS: repaired through the Windows window under Wine; fsck.fat and mtools accept the volume"

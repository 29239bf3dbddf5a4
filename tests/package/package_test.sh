#!/bin/sh
# The .deb as a user gets it: what it holds, what it depends on, and the
# programs and man page working once dpkg has installed it into a throwaway
# root.
# usage: package_test.sh BUILD_DIR WORK_DIR
set -u
build=$1 work=$2
fail() { echo "FAIL: $*"; exit 1; }
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps man; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: $tool not found (install dpkg-dev and man-db)"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/out/brisant_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "cpack made no brisant_*.deb"
echo "package: $(basename "$deb"), $(wc -c <"$deb") bytes"

dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents" || fail "dpkg-deb cannot list $deb"
for path in usr/bin/brisant-cli usr/bin/Brisant usr/share/man/man1/brisant-cli.1.gz usr/share/man/man1/Brisant.1.gz \
    usr/share/applications/brisant.desktop usr/share/icons/hicolor/32x32/apps/brisant.png \
    usr/share/icons/hicolor/128x128/apps/brisant.png usr/share/polkit-1/actions/org.brisant.Brisant.pkexec.policy \
    usr/share/bash-completion/completions/brisant-cli; do
    grep -qx "\./$path" "$work/contents" || fail "the package lacks /$path"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libc6 libstdc++6 libwxgtk3.2 libwxbase3.2; do
    echo "$depends" | tr -d ' ' | tr ',' '\n' | grep -q "^${library}" || fail "Depends lacks $library"
done

# dpkg's own install into an empty root: unpacked and configured as a user would.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" && : >"$root/var/lib/dpkg/status"
dpkg --root="$root" --force-not-root --force-depends --log=/dev/null -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg could not install the package"; }
dpkg --root="$root" -s brisant 2>/dev/null | grep -q '^Status: install ok installed' || fail "dpkg does not show it installed"

"$root/usr/bin/brisant-cli" --version | grep -qx 'brisant-cli [0-9.]*' || fail "brisant-cli --version"
env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/Brisant" --version | grep -qx 'Brisant [0-9.]*' ||
    fail "Brisant --version"
page=$(MANPATH="$root/usr/share/man" man -w brisant-cli) || fail "man -w brisant-cli finds no page"
[ "$page" = "$root/usr/share/man/man1/brisant-cli.1.gz" ] || fail "man -w brisant-cli gives $page"
warnings=$(MANPATH="$root/usr/share/man" MANROFFSEQ='' man --warnings -E UTF-8 brisant-cli 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the man page has roff warnings: $warnings"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/Brisant</annotate>' \
    "$root/usr/share/polkit-1/actions/org.brisant.Brisant.pkexec.policy" || fail "the policy does not name /usr/bin/Brisant"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/brisant.desktop" || fail "the desktop file is not valid"
fi
if command -v lintian >/dev/null; then
    lintian --no-tag-display-limit "$deb" || echo "note: lintian reports the above"
fi
echo "PASSED"

#!/bin/sh
# The .deb as a user gets it: what it holds, what it depends on, and the
# programs and man page working once dpkg has installed it into a throwaway
# root, and what Debian's and freedesktop's own checkers say of it.
# usage: package_test.sh BUILD_DIR WORK_DIR [STATIC_CLI]
# STATIC_CLI 1: this tree links brisant-cli statically for the test VM, which
# the package that scripts/package.sh builds does not.
set -u
build=$1 work=$2 static_cli=${3:-0}
fail() { echo "FAIL: $*"; exit 1; }
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps dpkg-parsechangelog man lintian desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null ||
        { echo "SKIPPED: $tool not found (sh scripts/install-deps.sh installs it)"; exit 77; }
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
    usr/share/bash-completion/completions/brisant-cli usr/share/doc/brisant/copyright \
    usr/share/doc/brisant/changelog.gz usr/share/metainfo/org.brisant.brisant.metainfo.xml; do
    grep -qx "\./$path" "$work/contents" || fail "the package lacks /$path"
done
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libc6 libstdc++6 libwxgtk3.2 libwxbase3.2; do
    echo "$depends" | tr -d ' ' | tr ',' '\n' | grep -q "^${library}" || fail "Depends lacks $library"
done

# A CMake list joined into the text would start lines with "; ".
description=$(dpkg-deb -f "$deb" Description)
echo "$description" | grep -q '^ *;' && { echo "$description"; fail "the description holds a joined list"; }
[ "$(echo "$description" | sed -n 2p | sed 's/^ *//')" != "$(echo "$description" | head -1)" ] ||
    fail "the long description repeats the synopsis"

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
# desktop-file-validate exits 0 on some errors: its report decides; hints may stay.
report=$(desktop-file-validate "$root/usr/share/applications/brisant.desktop" 2>&1)
rc=$?
[ -z "$report" ] || echo "$report"
[ $rc = 0 ] && ! echo "$report" | grep -q ': \(error\|warning\): ' || fail "the desktop file is not valid"
# The metainfo file, and the desktop file and icon it leads to, as installed.
appstreamcli validate-tree --no-net --pedantic "$root" || fail "appstreamcli finds the AppStream data invalid"
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$root/usr/share/doc/brisant/copyright" || fail "the copyright file is not machine-readable"
gzip -dc "$root/usr/share/doc/brisant/changelog.gz" >"$work/changelog" || fail "changelog.gz does not unpack"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$(dpkg-deb -f "$deb" Version)" ] ||
    fail "the changelog's last entry is not this version"

suppress=""
[ "$static_cli" = 1 ] && suppress="--suppress-tags statically-linked-binary"
lintian --tag-display-limit 0 --display-info --pedantic --fail-on error,warning $suppress "$deb" >"$work/lintian.log" 2>&1
rc=$?
grep -v '^running with root privileges' "$work/lintian.log"
[ $rc = 0 ] || fail "lintian reports errors or warnings"
echo "PASSED"

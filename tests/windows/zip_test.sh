#!/bin/sh
# The zip a Windows user downloads, made by the release script from this tree
# and unpacked: the two programs as the Windows tests checked them (PE32,
# system DLLs only, this build's version resource, the same bytes), and the
# two texts with Windows line ends.
# usage: zip_test.sh OBJDUMP WINDRES BUILD_DIR GUI_EXE CLI_EXE RES_FILE VERSION WORK_DIR
set -u
objdump=$1 windres=$2 build=$3 gui=$4 cli=$5 res=$6 version=$7 work=$8
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
for tool in zip unzip; do
    command -v $tool >/dev/null || { echo "SKIPPED: $tool not found (sh scripts/install-deps.sh installs it)"; exit 77; }
done
rm -rf "$work" && mkdir -p "$work/files" || fail "cannot make $work"

zip=$(sh "$here/../../scripts/windows-zip.sh" "$build" "$work") || fail "windows-zip.sh failed"
[ "$(basename "$zip")" = "brisant-$version-windows-x86.zip" ] || fail "the zip is named $(basename "$zip")"
names=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$names" = "Brisant.exe LICENSE.txt README.txt brisant-cli.exe " ] || fail "the zip holds: $names"
unzip -q "$zip" -d "$work/files" || fail "unzip failed"
files=$work/files

sh "$here/pe_check.sh" "$objdump" "$files/Brisant.exe" "$files/brisant-cli.exe" || exit 1
cmp "$files/Brisant.exe" "$gui" || fail "Brisant.exe is not the tested program"
cmp "$files/brisant-cli.exe" "$cli" || fail "brisant-cli.exe is not the tested program"
# Shipped stripped; the debug information stays in the build, beside the programs.
for exe in "$gui" "$cli"; do
    name=$(basename "$exe")
    sections=$("$objdump" -h "$files/$name" | awk '$2 ~ /^\.(debug|zdebug)/ { print $2 }' | tr '\n' ' ')
    [ -z "$sections" ] || fail "$name ships debug sections: $sections"
    "$objdump" -h "$exe.debug" | grep -q " \.debug_info " || fail "no debug information beside $exe"
done

# The version resource as the build compiled it, with this build's version.
version_block() { "$windres" -i "$1" -O rc | awk '/VERSIONINFO/ { p = 1 } p { print } p && /^END/ { exit }'; }
want=$(version_block "$res")
commas=$(echo "$version" | sed 's/\./, /g')
echo "$want" | grep -qx " FILEVERSION $commas" || { echo "$want"; fail "the resource's file version is not $version"; }
echo "$want" | grep -q '"LegalCopyright", ".*the Brisant developers' || fail "the resource names no copyright holder"
for exe in Brisant.exe brisant-cli.exe; do
    [ "$(version_block "$files/$exe")" = "$want" ] || { version_block "$files/$exe"; fail "$exe: another version resource"; }
done

for text in README.txt LICENSE.txt; do
    [ "$(tr -cd '\n' <"$files/$text" | wc -c)" -gt 10 ] || fail "$text is nearly empty"
    grep -qv "$(printf '\r')\$" "$files/$text" && fail "$text has a line without a Windows line end"
done
grep -q "MIT License" "$files/LICENSE.txt" && grep -q "Copyright (c) 2026 the Brisant developers" "$files/LICENSE.txt" ||
    fail "LICENSE.txt is not the licence"
for word in "Brisant $version" administrator "brisant-cli list" "brisant-cli selftest E:" "Not tested"; do
    grep -q "$word" "$files/README.txt" || fail "README.txt says nothing of \"$word\""
done
echo "PASSED: $(basename "$zip"), $(wc -c <"$zip") bytes"

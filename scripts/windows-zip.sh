#!/bin/sh
# Packs the Windows programs of a 32-bit build tree as the zip a Windows user
# downloads: Brisant.exe, brisant-cli.exe, README.txt and LICENSE.txt, the
# texts with Windows line ends. Prints the zip's path.
# usage: windows-zip.sh WIN32_BUILD_DIR OUT_DIR
set -eu
usage="usage: windows-zip.sh WIN32_BUILD_DIR OUT_DIR"
build=${1:?$usage} out=${2:?$usage}
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "windows-zip.sh: $build is not a configured build tree" >&2; exit 1; }
for exe in Brisant.exe brisant-cli.exe; do
  [ -f "$build/$exe" ] || { echo "windows-zip.sh: $build/$exe is not built" >&2; exit 1; }
done

name=brisant-$version-windows-x86
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$build/Brisant.exe" "$build/brisant-cli.exe" "$stage/"
crlf() { sed 's/\r*$/\r/'; }
# Notepad before Windows 10 reads a text as UTF-8 only after a byte order mark.
{ printf '\357\273\277'; sed "s/@VERSION@/$version/" "$src/dist/windows/README.txt" | crlf; } >"$stage/README.txt"
cat "$src/LICENSE" "$src/dist/windows/runtime-notices.txt" | crlf >"$stage/LICENSE.txt"
# The same files give the same zip: fixed times, no Unix attributes.
touch -d "@${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}" "$stage"/*
rm -f "$out/$name.zip"
(cd "$stage" && zip -q -X -D "$out/$name.zip" Brisant.exe brisant-cli.exe README.txt LICENSE.txt)
echo "$out/$name.zip"

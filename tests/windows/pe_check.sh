#!/bin/sh
# The shipped Windows programs, checked as files: 32-bit PE, the right
# subsystem, and imports from system DLLs only (everything else is linked in).
# Usage: pe_check.sh OBJDUMP GUI-EXE CONSOLE-EXE
set -eu
objdump=$1
fail() { echo "FAIL: $*"; exit 1; }
check() {
  exe=$1 subsystem=$2
  headers=$("$objdump" -p "$exe")
  echo "$headers" | grep -q "file format pei-i386" || fail "$exe is not a 32-bit PE"
  echo "$headers" | grep -q "^Subsystem.*($subsystem)" || fail "$exe: subsystem is not $subsystem"
  for dll in $(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    case $(echo "$dll" | tr 'a-z' 'A-Z') in
      KERNEL32.DLL|USER32.DLL|GDI32.DLL|COMCTL32.DLL|ADVAPI32.DLL|SHELL32.DLL|MSVCRT.DLL|BCRYPT.DLL|API-MS-WIN-*) ;;
      *) fail "$exe imports $dll, which is not a system DLL" ;;
    esac
  done
  echo "ok: $exe ($subsystem): $(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ')"
}
check "$2" "Windows GUI"
check "$3" "Windows CUI"

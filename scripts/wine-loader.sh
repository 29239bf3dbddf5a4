#!/bin/sh
# Prints the Wine loader for a Windows program: the 64-bit one for an x86-64
# program, the 32-bit one (package wine32:i386) for an i386 program, else
# Debian's wine command, which starts the 32-bit loader first whatever the
# program.
# usage: wine-loader.sh PROGRAM.exe
set -eu
# The machine field of the PE header: 0x8664 is x86-64, 0x14c is i386.
pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')
case $machine in
  8664) [ -x /usr/lib/wine/wine64 ] && { echo /usr/lib/wine/wine64; exit 0; } ;;
  014c) [ -x /usr/lib/wine/wine ] && { echo /usr/lib/wine/wine; exit 0; } ;;
esac
echo wine

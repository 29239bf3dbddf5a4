#!/bin/sh
# Builds the release programs and the .deb that installs them under /usr:
# brisant-cli, Brisant, their man pages, the desktop entry and icon, the
# polkit policy, the bash completion, the licence, changelog and AppStream
# data; and the zip of the 32-bit Windows programs, from the same build/win32
# tree that scripts/test.sh tests. Prints the paths of both.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh package
# Debian's hardening flags, as its own packages are built: fortified libc
# calls, and relocations made read-only before the program starts.
buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBRISANT_GUI=ON \
  -DBRISANT_LIBS_ONLY=OFF -DBRISANT_STATIC_CLI=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DCMAKE_C_FLAGS="$(buildflag CFLAGS) $(buildflag CPPFLAGS)" -DCMAKE_CXX_FLAGS="$(buildflag CXXFLAGS) $(buildflag CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(buildflag LDFLAGS)" >/dev/null
# Only what the package holds: installing would otherwise build the tests too.
cmake --build build/package -j "$(nproc)" --target brisant-cli Brisant brisant_man_pages brisant_desktop_icon brisant_changelog
(cd build/package && cpack -G DEB >/dev/null)
ls "$PWD"/build/package/brisant_*.deb

cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/win32 -j "$(nproc)" --target Brisant brisant-cli
sh scripts/windows-zip.sh build/win32 build/package

#!/bin/sh
# Builds the release programs and the .deb that installs them under /usr:
# brisant-cli, Brisant, their man pages, the desktop entry and icon, the
# polkit policy and the bash completion. Prints the package's path.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh package
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBRISANT_GUI=ON \
  -DBRISANT_LIBS_ONLY=OFF -DBRISANT_STATIC_CLI=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
# Only what the package holds: installing would otherwise build the tests too.
cmake --build build/package -j "$(nproc)" --target brisant-cli Brisant brisant_man_pages brisant_desktop_icon
cd build/package
cpack -G DEB >/dev/null
ls "$PWD"/brisant_*.deb

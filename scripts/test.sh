#!/bin/sh
# Builds everything and runs every test: the full 64-bit build (unit, boot,
# VM, window and package tests), the libraries and their tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the libraries and their tests as a
# 32-bit (-m32) build, the Windows programs (cross-built, tested under Wine),
# and the fuzz targets (clang) for a bounded number of
# inputs each.
set -eu
cd "$(dirname "$0")/.."
# Before the run's marker: a service a package starts is none of the run's.
sh scripts/install-deps.sh

# Everything the run starts inherits its marker and makes its temporary files
# in a folder of the run's own; whatever of it still runs at the end, also
# after a failure or Ctrl-C, is named and stopped, and fails the run.
BRISANT_TEST_RUN=$(date +%Y%m%d%H%M%S).$$
run_tmp=$(mktemp -d "${TMPDIR:-/tmp}/brisant-test.XXXXXX")
# Tests that drop to another user (a read-only card for nobody) reach their
# files inside it.
chmod 755 "$run_tmp"
# The undo files of every repair the run makes go to a folder of its own; the
# user's folder must not gain one (checked at the end).
case ${XDG_STATE_HOME:-} in
  /*) user_state=$XDG_STATE_HOME/brisant ;;
  *) user_state=$HOME/.local/state/brisant ;;
esac
touch "$run_tmp/started"
mkdir "$run_tmp/state"
export BRISANT_TEST_RUN TMPDIR="$run_tmp" XDG_STATE_HOME="$run_tmp/state"
wine_prefix="$PWD/build/win64/wineprefix"
stop_wine() {
  WINEPREFIX="$wine_prefix" /usr/lib/wine/wineserver64 -k 2>/dev/null || true
}
finish() {
  rc=$?
  trap - EXIT INT TERM HUP
  # The Windows tests' server outlives each program on purpose.
  stop_wine
  sh scripts/leftovers.sh -s "$run_tmp/started" "$user_state" "BRISANT_TEST_RUN=$BRISANT_TEST_RUN" "$run_tmp" ||
    { [ "$rc" != 0 ] || rc=1; }
  rm -rf "$run_tmp"
  exit "$rc"
}
trap finish EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISANT_GUI=ON -DBRISANT_LIBS_ONLY=OFF \
  -DBRISANT_STATIC_CLI=ON >/dev/null
cmake --build build -j "$jobs"

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DBRISANT_SANITIZE=ON -DBRISANT_GUI=ON >/dev/null
cmake --build build/asan -j "$jobs"

CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DBRISANT_FUZZ=ON -DBRISANT_SANITIZE=ON \
  -DBRISANT_GUI=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_probe fuzz_image_reader fuzz_res fuzz_cli

# Kernels built without 32-bit support run the 32-bit tests under qemu-i386.
emulator=""
printf 'int main(void){return 0;}\n' > build/m32-probe.c
cc -m32 build/m32-probe.c -o build/m32-probe
build/m32-probe 2>/dev/null || emulator="-DCMAKE_CROSSCOMPILING_EMULATOR=$(command -v qemu-i386)"
cmake -S . -B build/m32 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISANT_LIBS_ONLY=ON -DBRISANT_GUI=OFF \
  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_ASM_FLAGS=-m32 $emulator >/dev/null
cmake --build build/m32 -j "$jobs"

# Windows: the shipped programs are 32-bit (build/win32, configured as
# scripts/package.sh does, whose zip holds them). Where the kernel runs 32-bit
# code, 32-bit Wine runs their tests at full speed; elsewhere it would run only
# under emulation, minutes a program, and the same sources are tested as a
# 64-bit build instead, the 32-bit programs being checked as files.
# The VM's guest kernel runs 32-bit code whatever the host's, so 32-bit Wine is
# installed for it also where the host cannot run it; not where the host would
# run it under emulation, as making a prefix then would.
windows_bits=64
wine32=""
if grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  wine32_note="the host would run 32-bit Wine under emulation"
elif sh scripts/install-deps.sh wine32 >build/wine32-install.log 2>&1; then
  wine32=1
else
  wine32_note="wine32:i386 could not be installed (build/wine32-install.log)"
fi
if [ -n "$emulator" ] || grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
  windows_note="this kernel runs no 32-bit code, so 32-bit Wine would run only under emulation"
elif [ -n "$wine32" ]; then
  windows_bits=32
  windows_note="the 32-bit programs under 32-bit Wine"
else
  windows_note=$wine32_note
fi
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ $windows_bits = 32 ]; then
  cmake --build build/win32 -j "$jobs"
else
  cmake --build build/win32 -j "$jobs" --target Brisant brisant-cli
  cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/win64 -j "$jobs"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
echo "== sanitizers =="
ctest --test-dir build/asan --output-on-failure -LE 'vm|gui|boot|package' -j "$jobs"
echo "== fuzz targets =="
ctest --test-dir build/fuzz --output-on-failure -L fuzz -j "$jobs"
echo "== 32-bit =="
ctest --test-dir build/m32 --output-on-failure -j "$jobs"
echo "== Windows =="
if [ $windows_bits = 32 ]; then
  echo "Windows tests: $windows_note"
  wine_prefix="$PWD/build/win32/wineprefix"
  WINEPREFIX="$wine_prefix" ctest --test-dir build/win32 --output-on-failure
else
  echo "Windows tests: the 64-bit twins under 64-bit Wine, since $windows_note"
  ctest --test-dir build/win32 --output-on-failure -L pe32
  WINEPREFIX="$wine_prefix" ctest --test-dir build/win64 --output-on-failure
fi
stop_wine
echo "== all tests =="
if [ -n "$wine32" ]; then
  echo "Windows programs in the VM (vm.wine): the 32-bit programs under 32-bit Wine"
else
  echo "Windows programs in the VM (vm.wine): the 64-bit twins under 64-bit Wine, since $wine32_note"
fi
ctest --test-dir build --output-on-failure -j "$jobs"

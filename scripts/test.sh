#!/bin/sh
# Builds everything and runs every test: the full 64-bit build (unit, boot,
# VM and window tests), the libraries and their tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the libraries and their tests as a
# 32-bit (-m32) build, and the fuzz targets (clang) for a bounded number of
# inputs each.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
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

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
echo "== sanitizers =="
ctest --test-dir build/asan --output-on-failure -LE 'vm|gui|boot' -j "$jobs"
echo "== fuzz targets =="
ctest --test-dir build/fuzz --output-on-failure -L fuzz -j "$jobs"
echo "== 32-bit =="
ctest --test-dir build/m32 --output-on-failure -j "$jobs"
echo "== all tests =="
ctest --test-dir build --output-on-failure -j "$jobs"

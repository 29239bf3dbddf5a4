#!/bin/sh
# fuzz/run.sh [SECONDS]: builds the fuzz targets with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, then runs each for SECONDS
# (default 600), growing the corpus in build/fuzz/fuzz/found. A finding is
# saved there as crash-* (or leak-*, timeout-*) and ends the run non-zero.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DBRISANT_FUZZ=ON -DBRISANT_SANITIZE=ON \
  -DBRISANT_GUI=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_probe fuzz_image_reader fuzz_res fuzz_cli
root=$(pwd)
for target in probe image_reader res cli; do
  found="$root/build/fuzz/fuzz/found/$target"
  mkdir -p "$found"
  echo "== $target: $seconds s =="
  "$root/build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$found/" "$found" "$root/fuzz/corpus/$target"
done

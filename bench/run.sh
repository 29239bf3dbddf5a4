#!/bin/sh
# bench/run.sh [RUNS]: builds a Release build in build/bench-release, measures the
# repair against mkfs.fat, the commands it sends, the same repair through
# SG_IO in a QEMU guest, the sweep and the dialog's start-up, prints the table
# and writes it to docs/benchmarks.md. Each figure is the median of RUNS runs
# (default 11). Never part of the tests.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build/bench-release -DCMAKE_BUILD_TYPE=Release -DBRISANT_STATIC_CLI=ON >/dev/null
targets="brisant-cli repair_bench measure"
grep -q '^BRISANT_GUI:BOOL=ON' build/bench-release/CMakeCache.txt && targets="$targets Brisant"
cmake --build build/bench-release -j "$(nproc)" --target $targets >&2
exec python3 bench/bench.py --build build/bench-release --runs "${1:-11}" --out docs/benchmarks.md

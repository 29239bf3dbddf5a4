#!/bin/sh
# The main job on the bundled sample card: a 1 GB card (sector 0 declares
# 1,984,000 sectors) that really holds 2 GB, repaired into one 2 GB volume,
# then given back as it was from the repair's undo file.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh demo
# A tree configured before (the test command's, with the dialog) keeps its
# choices; only a new one is made without the dialog, which the demo needs not.
if [ -f build/CMakeCache.txt ]; then
  cmake -S . -B build >/dev/null
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISANT_GUI=OFF >/dev/null
fi
cmake --build build -j "$(nproc)" --target brisant-cli >/dev/null

card=build/sample-card.img
undo=build/sample-card.brisant-undo
sh samples/make-sample-card.sh "$card"
rm -f "$undo"
cli="build/brisant-cli --drive E=$card"
run() { echo; echo "\$ $*"; "$@"; }

run $cli list
run $cli probe E
run $cli plan E
run $cli repair E --yes --undo-file $undo
echo
echo "\$ fsck.fat -n $card   (the all-zero volume label is intended)"
fsck.fat -n "$card" || true
run mdir -i "$card" ::
# And back: the undo file gives the card its old sectors, and its old size.
run $cli undo $undo E --yes
run $cli probe E

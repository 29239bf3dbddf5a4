// Which sectors the repair stamps to prove that a card really holds the new
// volume, what each stamp holds, and where the check writes to push a card's
// write cache out before it reads the stamps a second time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/winapi.h"

// A card that ignores one of its address bits folds two sectors that differ
// only in that bit onto one; a card that wraps at half the volume (its
// declared size, when the volume was doubled) folds sectors that far apart.
// The set holds such a pair for every address bit the volume uses and for
// that wrap: one base sector, its neighbour across each bit, and the sector
// half the volume above it. Sector 0 is never stamped: it is read before and
// after instead, so a stamp that lands on it shows without putting it at risk.
std::vector<DWORD> StampSectors(DWORD capacity);

// A number for one run's stamps, so that no stamp of an earlier run passes.
std::uint64_t NewStampRun();

// A stamp unique to the sector and to the run, over the whole sector.
void FillStamp(BYTE* sector, DWORD lba, std::uint64_t run);

// Whether the sector holds one of this run's stamps, and the address it was
// written to.
bool StampOfRun(const BYTE* sector, std::uint64_t run, DWORD& lba);

// A card with a write cache in front of flash it lacks reads its stamps back
// right until the cache is pushed out: kFlushSectors (64 MiB, the largest
// cache pushed out) are written after the stamps, in blocks of
// kFlushBlockSectors. The first block goes one sector a command in a
// scattered order, for a card that keeps small random writes in a cache of
// their own.
constexpr DWORD kFlushBlockSectors = 128;
constexpr DWORD kFlushSectors = 131072;

// The first sector of each block, ascending: the highest blocks of the
// volume that hold no stamp, so that no stamp is written again.
std::vector<DWORD> FlushBlocks(DWORD capacity, const std::vector<DWORD>& stamps);

// The order in which the first block's sectors are written, one at a time.
std::vector<DWORD> ScatteredOrder();

// The order in which the stamps are read the second time: neither the order
// they were written in nor by address, so that a cache that answers in
// either order cannot pass them.
std::vector<std::size_t> StampReadOrder(std::size_t count);

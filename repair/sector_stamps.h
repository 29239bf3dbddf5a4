// Which sectors the repair stamps to prove that a card really holds the new
// volume, and what each stamp holds.
#pragma once

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

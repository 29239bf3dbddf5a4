// The full-surface test: every sector written with a pattern of its own and
// of the run, then all read back and judged, so that a card which folds,
// drops or caches its upper sectors cannot pass for a genuine one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/card_device.h"
#include "repair/capacity_operator.h"

// What one sector read back holds.
enum class SectorVerdict {
    Good,     // its own pattern of this run
    Dropped,  // zeros, 0xFF, or its own pattern of an earlier run: the write never arrived
    Wrapped,  // another sector's pattern of this run: the card folds addresses
    Changed,  // anything else
};

struct SurfaceReport {
    static constexpr DWORD kNone = 0xFFFFFFFF;

    DWORD sectors = 0;  // the test covers sectors 0 to sectors - 1
    DWORD written = 0;  // sectors written, from 0
    DWORD read = 0;     // sectors read back, from 0
    DWORD good = 0, dropped = 0, wrapped = 0, changed = 0;
    // The first sector that did not hold its pattern, or was never read back.
    DWORD firstBad = kNone;
    // The first wrapped sector, and the sector whose pattern it holds.
    DWORD firstWrapped = kNone;
    DWORD wrappedFrom = 0;
    bool failed = false;   // a command failed; the test ended there
    bool stopped = false;  // the operator stopped it
    double writeSeconds = 0;
    double readSeconds = 0;

    // Sectors 0 to provenBelow - 1 held their patterns in a second test of
    // them alone.
    DWORD provenBelow = 0;

    bool AllGood() const { return firstBad == kNone; }
    // Every sector below `capacity` was written and held its pattern.
    bool HoldsBelow(DWORD capacity) const {
        return provenBelow >= capacity || (firstBad >= capacity && read >= capacity);
    }
};

// Writes and reads back sectors 0 to sectors - 1 of an open card in commands
// of at most kMaxSectorsPerCommand, asking the operator between commands
// whether to stop and telling it how far the test is. Holds one buffer of
// one command, whatever the card's size.
SurfaceReport RunSurfaceTest(CCardDevice& device, HANDLE handle, DWORD sectors, ICapacityOperator& op);

// The pattern of a sector in a run, over the whole sector.
void FillSurfacePattern(BYTE* sector, DWORD lba, std::uint64_t run);
// What sector `lba` holds when it reads back `data`; for a wrapped one,
// `holds` is the sector whose pattern it is.
SectorVerdict JudgeSector(const BYTE* data, DWORD lba, std::uint64_t run, DWORD sectors, DWORD& holds);

// The report for the operator, one line each: the counts, the first bad
// sector, the rates.
std::vector<std::string> SurfaceSummary(const SurfaceReport& report);
// How far a stopped test got ("stopped while writing, at 812 of 1937 MB").
std::string SurfaceStopPoint(const SurfaceReport& report);
// The outcome of a repair whose test was stopped, in one line.
std::string SurfaceStopReason(const SurfaceReport& report, DWORD declared);
// Why a card that did not pass was not doubled, in one line.
std::string SurfaceReason(const SurfaceReport& report, DWORD declared);

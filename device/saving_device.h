// Writes that keep what they overwrite: before a sector is first written
// through it, its bytes are read through the same handle and kept, so that
// every write can be taken back, last first. The stamps, the selftest and
// the repair's layout all write through one; the undo file is what it kept
// for the repair.
#pragma once

#include <map>
#include <vector>

#include "device/card_device.h"

class CSavingDevice {
public:
    CSavingDevice(CCardDevice& device, HANDLE handle);

    // Sectors read and kept in one run, in the order first written (or
    // named by Keep).
    struct Run {
        DWORD lba = 0;
        DWORD count = 0;
        std::vector<BYTE> bytes;
    };

    BOOL ReadSectors(BYTE* buffer, DWORD lba, DWORD count);
    // Reads and keeps whatever of the sectors is not kept yet, then writes;
    // FALSE, with nothing written, when that read fails or when sealed and a
    // sector was not kept before.
    BOOL WriteSectors(BYTE* buffer, DWORD lba, DWORD count);
    // Reads and keeps the sectors now, ahead of their writes.
    BOOL Keep(DWORD lba, DWORD count);
    // From now on only kept sectors may be written: what was saved elsewhere
    // (the undo file) is all that can be overwritten.
    void Seal() { m_bSealed = true; }
    // Writes every kept run back, the last kept first, so that a card that
    // folds two addresses onto one sector ends with the older bytes. Goes on
    // after a failure: a card that takes the rest back is closer to as it was.
    BOOL Restore();
    // What the sectors held before, if all were kept; empty otherwise.
    std::vector<BYTE> KeptBytes(DWORD lba, DWORD count) const;
    const std::vector<Run>& Kept() const { return m_Runs; }

private:
    bool IsKept(DWORD lba) const;
    BOOL KeepRun(DWORD lba, DWORD count);

    CCardDevice& m_Device;
    HANDLE m_hDevice;
    std::vector<Run> m_Runs;
    std::map<DWORD, DWORD> m_Intervals;  // first kept sector -> one past the last
    bool m_bSealed = false;
};

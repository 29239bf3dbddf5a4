#include "repair/capacity_repair.h"

#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

#include "device/saving_device.h"
#include "repair/boot_sector.h"
#include "repair/global_buffer.h"
#include "repair/sector_stamps.h"
#include "repair/undo_file.h"
#include "platform/sha256.h"
#include "platform/user_files.h"

namespace {

DWORD Get32(const BYTE* p) {
    return DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24;
}

// The capacity that sector 0 declares: a FAT boot sector's 32-bit total, or
// the first partition's size in a master boot record.
DWORD DeclaredCapacity(const BYTE* sector) {
    if (sector[510] != 0x55 || sector[511] != 0xAA) return 0;
    return sector[0] == 0xEB ? Get32(sector + 32) : Get32(sector + 458);
}

constexpr int kFirstProgress[] = {5, 8, 11, 16};
constexpr int kSecondProgress[] = {21, 24, 27, 32};
constexpr DWORD kProgressPause = 1000;

// The operator's write section, ended once, early or when the run returns.
class WriteSection {
public:
    explicit WriteSection(ICapacityOperator& op) : m_Operator(op) { m_Operator.BeginWrites(); }
    ~WriteSection() { End(); }
    WriteSection(const WriteSection&) = delete;
    WriteSection& operator=(const WriteSection&) = delete;
    void End() {
        if (m_bOpen) m_Operator.EndWrites();
        m_bOpen = false;
    }

private:
    ICapacityOperator& m_Operator;
    bool m_bOpen = true;
};

}  // namespace

std::string CapacityText(DWORD capacity) {
    char text[32];
    std::snprintf(text, sizeof text, "%u MB", static_cast<unsigned>(capacity >> 11));
    return text;
}

CCapacityRepair::CCapacityRepair(CCardDevice& device, ICapacityOperator& op)
    : m_Device(device), m_Operator(op) {}

bool CCapacityRepair::SelectedLetter(char& letter) {
    std::string text;
    if (!m_Operator.GetSelectedDriveText(text) || text.empty()) return false;
    letter = text[0];
    return true;
}

// A card that cannot be read shows 0 MB, never the size of the card probed
// before it, so the repair cannot format it with another card's geometry.
void CCapacityRepair::ProbeCapacity() {
    m_nCapacity = 0;
    // With no drive there is nothing to show: the field keeps its text, and
    // the capacity of a card no longer listed cannot be repaired.
    char letter = 0;
    if (!SelectedLetter(letter)) return;
    HANDLE device = m_Device.OpenDrive(letter);
    if (device != nullptr) {
        BYTE sector[kSectorSize];
        if (m_Device.ReadSectors(device, sector, 0, 1)) m_nCapacity = DeclaredCapacity(sector);
    }
    m_strCapacity = CapacityText(m_nCapacity);
    m_Operator.ShowCapacity(m_strCapacity);
    if (device != nullptr) m_Device.CloseDrive(device);
}

void CCapacityRepair::RefreshCapacity() {
    ProbeCapacity();
    m_Operator.EnableRepairButton(IsCapacityEligible(m_nCapacity));
}

BOOL CCapacityRepair::WriteBootSector(HANDLE device, DWORD capacity) {
    m_nReservedSectors = kReservedSectors;
    Fat16Geometry geometry = ComputeGeometry(capacity);
    m_nFatSectors = geometry.fatSectors;

    CGlobalBuffer buffer(2 * kSectorSize);
    if (buffer.Data() == nullptr) return FALSE;
    BuildBootSector(buffer.Data(), geometry);

    m_Device.PreventMediumRemoval(device, 1);
    BOOL written = WriteLayout(device, buffer.Data(), 0, m_nReservedSectors);
    m_Device.PreventMediumRemoval(device, 0);
    return written ? TRUE : FALSE;
}

BOOL CCapacityRepair::WriteFatsAndRoot(HANDLE device) {
    const DWORD reserved = m_nReservedSectors;
    const DWORD fat = m_nFatSectors;
    const SIZE_T bytes = fat <= kRootDirSectors ? kRootDirSectors * kSectorSize : SIZE_T{fat} * kSectorSize;
    CGlobalBuffer buffer(bytes);
    BYTE* data = buffer.Data();
    if (data == nullptr) return FALSE;

    std::memcpy(data, kFatStart, sizeof kFatStart);
    if (!WriteLayout(device, data, reserved, fat)) return FALSE;
    if (!WriteLayout(device, data, reserved + fat, fat)) return FALSE;
    std::memset(data, 0, bytes);
    return WriteLayout(device, data, reserved + 2 * fat, kRootDirSectors);
}

// With an undo file, only what it holds can be overwritten.
BOOL CCapacityRepair::WriteLayout(HANDLE device, BYTE* buffer, DWORD lba, DWORD count) {
    return m_pSaving != nullptr ? m_pSaving->WriteSectors(buffer, lba, count)
                               : m_Device.WriteSectors(device, buffer, lba, count);
}

// A card that cannot reach the end of the new volume would lose every file
// written to its upper part.
BOOL CCapacityRepair::ReachesLastSector(HANDLE device) {
    BYTE last[kSectorSize];
    return m_Device.ReadSectors(device, last, m_nCapacity - 1, 1);
}

namespace {

// Reads every stamp back in the given order, then sector 0: whether all read
// as written.
bool StampsReadBack(CCardDevice& dev, HANDLE device, const std::vector<DWORD>& lbas, const BYTE* stamps,
                    const std::vector<std::size_t>& order, const BYTE* sector0, BOOL& held) {
    BYTE back[kSectorSize];
    for (std::size_t i : order) {
        held = dev.ReadSectors(device, back, lbas[i], 1);
        if (!held) return true;
        if (std::memcmp(back, stamps + i * kSectorSize, kSectorSize) != 0) return false;
    }
    held = dev.ReadSectors(device, back, 0, 1);
    return !held || std::memcmp(back, sector0, kSectorSize) == 0;
}

// Pushes a write cache of up to 64 MiB out of the card. Each flushed sector
// gets back the bytes it holds, so a card that folds the upper half onto the
// old volume loses nothing, even when killed midway, and nothing needs to be
// kept: 64 KiB of memory whatever the cache. A sector that reads as another
// address's stamp already shows a fold, and gets that address's original
// bytes instead of the stamp, so a cache that lands it later puts back the
// same bytes as the restore.
BOOL FlushWriteCache(CCardDevice& dev, HANDLE device, CSavingDevice& saving, DWORD capacity,
                     const std::vector<DWORD>& lbas, std::uint64_t run, bool& alike) {
    std::vector<BYTE> block(std::size_t{kFlushBlockSectors} * kSectorSize);
    const std::vector<DWORD> starts = FlushBlocks(capacity, lbas);
    for (std::size_t b = 0; b < starts.size(); ++b) {
        if (!saving.ReadSectors(block.data(), starts[b], kFlushBlockSectors)) return FALSE;
        for (DWORD i = 0; i < kFlushBlockSectors; ++i) {
            BYTE* sector = block.data() + std::size_t{i} * kSectorSize;
            DWORD named = 0;
            if (!StampOfRun(sector, run, named)) continue;
            alike = false;
            const std::vector<BYTE> old = saving.KeptBytes(named, 1);
            if (!old.empty()) std::memcpy(sector, old.data(), kSectorSize);
        }
        if (b > 0) {
            if (!dev.WriteSectors(device, block.data(), starts[b], kFlushBlockSectors)) return FALSE;
            continue;
        }
        for (DWORD i : ScatteredOrder()) {
            if (!dev.WriteSectors(device, block.data() + std::size_t{i} * kSectorSize, starts[b] + i, 1)) return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

// A counterfeit card answers the last-sector read from the lower sector it
// folds the last one onto: stamps in sectors that such a card folds together
// expose it. A plain fold or drop shows when they are first read back; one
// that a write cache hides shows once the cache has been pushed out, when
// they are read again in another order. Every sector stamped gets its own
// bytes back, whatever the outcome, so the check changes nothing outside the
// layout that follows it.
CCapacityRepair::Refusal CCapacityRepair::CheckStamps(HANDLE device) {
    const std::vector<DWORD> lbas = StampSectors(m_nCapacity);
    BYTE sector0[kSectorSize];
    if (!m_Device.ReadSectors(device, sector0, 0, 1)) return Refusal::Command;
    const std::size_t count = lbas.size();
    std::vector<BYTE> stamps(count * kSectorSize);
    auto at = [&](std::size_t i) { return stamps.data() + i * kSectorSize; };

    CSavingDevice saving(m_Device, device);
    const std::uint64_t run = NewStampRun();
    // Every original is read before the first stamp is written: a card whose
    // cache lands writes later, in its own order, then gets the same bytes
    // back at every address it folds onto one sector.
    BOOL held = TRUE;
    for (std::size_t i = 0; held && i < count; ++i) held = saving.Keep(lbas[i], 1);
    for (std::size_t i = 0; held && i < count; ++i) {
        FillStamp(at(i), lbas[i], run);
        held = saving.WriteSectors(at(i), lbas[i], 1);
    }
    std::vector<std::size_t> written(count);
    std::iota(written.begin(), written.end(), std::size_t{0});
    bool alike = !held || StampsReadBack(m_Device, device, lbas, stamps.data(), written, sector0, held);
    if (held && alike) held = FlushWriteCache(m_Device, device, saving, m_nCapacity, lbas, run, alike);
    if (held && alike) alike = StampsReadBack(m_Device, device, lbas, stamps.data(), StampReadOrder(count), sector0, held);
    // Restored even after a failure: a card that takes them back is as it was.
    if (!saving.Restore()) held = FALSE;
    return !held ? Refusal::Command : alike ? Refusal::None : Refusal::Stamps;
}

// The undo file holds what the layout and the repair's token overwrite, read
// through the device the layout is then written through, and marks from the
// old volume's files: their bytes tell this card from another, and show when
// new files have overwritten the old ones.
bool CCapacityRepair::KeepUndo(CSavingDevice& saving, DWORD declared) {
    UndoRecord record;
    record.date = UtcNow();
    record.card = m_strCard;
    record.declared = declared;
    record.target = m_nCapacity;
    record.token = NewUndoToken();
    const Fat16Geometry geometry = ComputeGeometry(m_nCapacity);
    if (!LayoutRanges(geometry, record.token, record.ranges)) {
        m_strUndoError = "no SHA-256 on this system";
        return false;
    }
    const char* unread = "cannot read the sectors the repair overwrites";
    if (!saving.Keep(TokenLba(geometry), 1) || !saving.Keep(0, geometry.dataLba())) {
        m_strUndoError = unread;
        return false;
    }
    for (const UndoRange& range : record.ranges) {
        const std::vector<BYTE> old = saving.KeptBytes(range.lba, range.count);
        record.old.insert(record.old.end(), old.begin(), old.end());
    }
    record.marks = FileMarks(saving.KeptBytes(0, geometry.dataLba()), geometry, declared);
    std::vector<BYTE> marked(record.marks.size() * kSectorSize);
    for (std::size_t i = 0; i < record.marks.size(); ++i) {
        if (!saving.ReadSectors(marked.data() + i * kSectorSize, record.marks[i], 1)) {
            m_strUndoError = unread;
            return false;
        }
    }
    platform::Sha256(marked.data(), marked.size(), record.marksDigest);
    m_Token = record.token;
    if (m_bUndoRehearsed) return true;

    std::string path = m_strUndoFile;
    if (path.empty() && !NewUndoPathForUser(m_strCard, declared, path, m_strUndoError)) return false;
    if (!platform::WriteNewFile(path, EncodeUndo(record), m_strUndoError)) return false;
    m_strUndoSaved = path;
    return true;
}

BOOL CCapacityRepair::WriteToken() {
    BYTE sector[kSectorSize];
    FillTokenSector(sector, m_Token);
    m_pSaving->Seal();
    return m_pSaving->WriteSectors(sector, TokenLba(ComputeGeometry(m_nCapacity)), 1);
}

// A repair that wrote nothing of its layout has nothing to undo.
void CCapacityRepair::DropUndo() {
    if (!m_strUndoSaved.empty()) platform::RemoveFile(m_strUndoSaved);
    m_strUndoSaved.clear();
}

// The size the full-surface test proves: the target when every sector held
// its pattern, the declared size when every sector below it did (or when the
// operator stopped the test: the card stays usable as before), else none (0)
// with the reason in m_Refusal.
DWORD CCapacityRepair::VerifiedCapacity(HANDLE device, DWORD declared) {
    m_Surface = RunSurfaceTest(m_Device, device, m_nCapacity, m_Operator);
    m_Operator.ShowTestReport(m_Surface);
    // A card that took not even the first write is as it was.
    if (m_Surface.written == 0) {
        m_Refusal = m_Surface.stopped ? Refusal::Stopped : Refusal::Command;
        return 0;
    }
    if (m_Surface.stopped) {
        m_Refusal = Refusal::Stopped;
        return declared;
    }
    if (m_Surface.AllGood()) {
        // Never the doubled size once the operator asked to stop.
        if (!m_Operator.StopRequestedNow()) return m_nCapacity;
        m_Surface.stopped = true;
        m_Refusal = Refusal::Stopped;
        return declared;
    }
    // A card that folds its upper sectors onto lower ones has its lower ones
    // overwritten by the upper ones' patterns: only the declared sectors
    // tested on their own tell such a card from one damaged below its size.
    if (!m_Surface.HoldsBelow(declared) && !m_Surface.failed && m_Surface.wrapped > 0) {
        const SurfaceReport lower = RunSurfaceTest(m_Device, device, declared, m_Operator);
        m_Operator.ShowTestReport(lower);
        if (lower.stopped) {
            m_Refusal = Refusal::Stopped;
            return declared;
        }
        if (lower.AllGood()) m_Surface.provenBelow = declared;
    }
    if (!m_Surface.HoldsBelow(declared)) {
        m_Refusal = Refusal::Damaged;
        return 0;
    }
    m_Refusal = Refusal::DeclaredOnly;
    return declared;
}

// The card works at its declared size, empty: not what was asked for, so the
// failure message, and ejected so that the system reads its new layout.
void CCapacityRepair::EndAtDeclaredSize(HANDLE device) {
    m_Operator.NotifyExplorerWindows();
    m_Operator.ShowMessage(kMsgFail);
    m_Device.PreventMediumRemoval(device, 0);
    m_Device.EjectMedium(device);
    m_Device.CloseDrive(device);
    m_Operator.CloseDialog();
}

void CCapacityRepair::StepProgress(const int (&positions)[4]) {
    for (int i = 0; i < 4; ++i) {
        m_Operator.SetProgressPos(positions[i]);
        if (i < 3) m_Operator.Pause(kProgressPause);
    }
}

void CCapacityRepair::FailRepair(HANDLE device, Refusal why) {
    m_Refusal = why;
    m_Operator.ShowMessage(kMsgFail);
    m_Device.PreventMediumRemoval(device, 0);
    m_Device.CloseDrive(device);
    m_Operator.CloseDialog();
}

void CCapacityRepair::RunRepair() {
    m_Refusal = Refusal::None;
    m_strUndoSaved.clear();
    m_strUndoError.clear();
    ProbeCapacity();
    if (!IsCapacityEligible(m_nCapacity)) {
        m_Operator.DisableRepairButton();
        m_Operator.ShowMessage(kMsgNotNeeded);
        return;
    }
    if (!m_Operator.AskConfirmation(kMsgConfirm)) {
        m_Operator.CloseDialog();
        return;
    }
    const DWORD declared = m_nCapacity;
    m_nCapacity = TargetCapacity(m_nCapacity);

    char letter = 0;
    HANDLE device = SelectedLetter(letter) ? m_Device.OpenDrive(letter) : nullptr;
    if (device == nullptr) {
        m_Operator.ShowMessage(kMsgFail);
        m_Operator.CloseDialog();
        return;
    }
    // A card that cannot hold the new volume is refused before its layout
    // is written.
    if (!ReachesLastSector(device)) {
        FailRepair(device, Refusal::LastSector);
        return;
    }
    WriteSection section(m_Operator);
    SavingScope saving(*this);
    DWORD layout = m_nCapacity;
    if (m_bVerify) {
        layout = VerifiedCapacity(device, declared);
        if (layout == 0) {
            FailRepair(device, m_Refusal);
            return;
        }
    } else {
        if (m_bKeepUndo && !KeepUndo(*saving.Start(device), declared)) {
            FailRepair(device, Refusal::UndoFile);
            return;
        }
        const Refusal stamps = CheckStamps(device);
        if (stamps != Refusal::None) {
            DropUndo();
            FailRepair(device, stamps);
            return;
        }
        // The token first: whatever else of the layout reaches the card, it
        // then says which repair wrote it.
        if (m_pSaving != nullptr && !WriteToken()) {
            FailRepair(device, Refusal::Command);
            return;
        }
    }

    if (!WriteBootSector(device, layout)) {
        FailRepair(device, Refusal::Command);
        return;
    }
    StepProgress(kFirstProgress);
    if (!WriteFatsAndRoot(device)) {
        FailRepair(device, Refusal::Command);
        return;
    }
    StepProgress(kSecondProgress);
    section.End();
    if (m_Refusal != Refusal::None) {
        EndAtDeclaredSize(device);
        return;
    }

    m_Operator.NotifyExplorerWindows();
    m_Operator.ShowMessage(kMsgChanged);
    m_Operator.ShowMessage(kMsgReplug);
    m_Device.PreventMediumRemoval(device, 0);
    m_Device.EjectMedium(device);
    m_Device.CloseDrive(device);
    m_Operator.CloseDialog();
}

std::string LastSectorUnread(DWORD target) {
    return "cannot read sector " + std::to_string(target - 1) + ", the last of the new volume";
}

std::string RefusalReason(const CCapacityRepair& repair) {
    const DWORD target = repair.m_nCapacity;
    switch (repair.m_Refusal) {
        case CCapacityRepair::Refusal::LastSector:
            return LastSectorUnread(target) + ": the card does not hold " + std::to_string(target) + " sectors";
        case CCapacityRepair::Refusal::Stamps:
            return "stamps written across the new volume did not read back as written: the card does not really "
                   "hold " + std::to_string(target) +
                   " sectors (a counterfeit card folds its upper sectors onto lower ones); its bytes were restored";
        case CCapacityRepair::Refusal::Command: return std::string();
        case CCapacityRepair::Refusal::UndoFile:
            return "cannot save the undo file, so nothing was written: " + repair.m_strUndoError;
        case CCapacityRepair::Refusal::DeclaredOnly:
            return "the card failed the surface test above its declared size: it was re-formatted at that size";
        case CCapacityRepair::Refusal::Damaged:
            return "the card failed the surface test below its declared size: no file system was written";
        case CCapacityRepair::Refusal::Stopped:
            return "the surface test was stopped: the card was re-formatted at its declared size";
        case CCapacityRepair::Refusal::None: break;
    }
    return "the drive could not be opened for the repair";
}

#include "repair/card_undo.h"

#include <cstring>
#include <vector>

bool InspectCard(CCardDevice& device, HANDLE handle, const UndoRecord& r, UndoJudgement& judgement) {
    std::vector<BYTE> current(r.old.size());
    std::size_t at = 0;
    for (const UndoRange& range : r.ranges) {
        if (!device.ReadSectors(handle, current.data() + at, range.lba, range.count)) return false;
        at += std::size_t{range.count} * kSectorSize;
    }
    std::vector<BYTE> marked(r.marks.size() * kSectorSize);
    for (std::size_t i = 0; i < r.marks.size(); ++i) {
        if (!device.ReadSectors(handle, marked.data() + i * kSectorSize, r.marks[i], 1)) return false;
    }
    platform::Sha256Digest digest{};
    platform::Sha256(marked.data(), marked.size(), digest);
    judgement = JudgeCard(r, current, digest == r.marksDigest);
    return true;
}

namespace {

std::string Sectors(const UndoRange& range) {
    return "sectors " + std::to_string(range.lba) + " to " + std::to_string(range.lba + range.count - 1);
}

std::string WriteBack(CCardDevice& device, HANDLE handle, const UndoRecord& r, bool& wrote) {
    std::vector<BYTE> old = r.old;  // the device's buffer is not const
    std::vector<std::size_t> offsets;
    std::size_t at = 0;
    for (const UndoRange& range : r.ranges) {
        offsets.push_back(at);
        at += std::size_t{range.count} * kSectorSize;
    }
    for (std::size_t i = r.ranges.size(); i-- > 0;) {
        wrote = true;
        if (!device.WriteSectors(handle, old.data() + offsets[i], r.ranges[i].lba, r.ranges[i].count)) {
            return "writing " + Sectors(r.ranges[i]) + " failed";
        }
    }
    std::vector<BYTE> back(old.size());
    for (std::size_t i = 0; i < r.ranges.size(); ++i) {
        const std::size_t size = std::size_t{r.ranges[i].count} * kSectorSize;
        if (!device.ReadSectors(handle, back.data() + offsets[i], r.ranges[i].lba, r.ranges[i].count)) {
            return "reading the sectors back failed";
        }
        if (std::memcmp(back.data() + offsets[i], r.old.data() + offsets[i], size) != 0) {
            return Sectors(r.ranges[i]) + " did not read back as written";
        }
    }
    return std::string();
}

}  // namespace

std::string RestoreCard(CCardDevice& device, HANDLE handle, const UndoRecord& r, const UndoJudgement& asked,
                        bool& wrote) {
    wrote = false;
    // A reader that cannot hold the card, or says it was changed, may hold
    // another card by now.
    if (!device.PreventMediumRemoval(handle, 1)) {
        return "the card could not be held in the reader (it may have been changed): nothing was written";
    }
    UndoJudgement now;
    std::string why;
    if (!InspectCard(device, handle, r, now)) {
        why = "the card could not be read again before the first write: nothing was written";
    } else if (!(now == asked)) {
        why = "the card changed while the question was asked: nothing was written; run undo again to judge it anew";
    } else {
        why = WriteBack(device, handle, r, wrote);
    }
    device.PreventMediumRemoval(handle, 0);
    return why;
}

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

std::string RestoreCard(CCardDevice& device, HANDLE handle, const UndoRecord& r) {
    std::vector<BYTE> old = r.old;  // the device's buffer is not const
    std::vector<BYTE> back(old.size());
    auto sectors = [](const UndoRange& range) {
        return "sectors " + std::to_string(range.lba) + " to " + std::to_string(range.lba + range.count - 1);
    };
    std::size_t at = 0;
    for (const UndoRange& range : r.ranges) {
        if (!device.WriteSectors(handle, old.data() + at, range.lba, range.count)) {
            return "writing " + sectors(range) + " failed";
        }
        at += std::size_t{range.count} * kSectorSize;
    }
    at = 0;
    for (const UndoRange& range : r.ranges) {
        const std::size_t size = std::size_t{range.count} * kSectorSize;
        if (!device.ReadSectors(handle, back.data() + at, range.lba, range.count)) return "reading the sectors back failed";
        if (std::memcmp(back.data() + at, r.old.data() + at, size) != 0) {
            return sectors(range) + " did not read back as written";
        }
        at += size;
    }
    return std::string();
}

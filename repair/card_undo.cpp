#include "repair/card_undo.h"

#include <cstring>
#include <vector>

#include "repair/capacity_repair.h"

bool InspectCard(CCardDevice& device, HANDLE handle, const UndoRecord& r, UndoJudgement& judgement) {
    std::vector<BYTE> current(r.old.size());
    std::size_t at = 0;
    for (const UndoRange& range : r.ranges) {
        if (!ReadSpan(device, handle, current.data() + at, range.lba, range.count)) return false;
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
    std::size_t at = 0;
    for (const UndoRange& range : r.ranges) {
        for (DWORD done = 0; done < range.count;) {
            const DWORD part = range.count - done < kMaxSectorsPerCommand ? range.count - done : kMaxSectorsPerCommand;
            if (!device.WriteSectors(handle, old.data() + at, range.lba + done, part)) {
                return "writing sectors " + std::to_string(range.lba + done) + " to " +
                       std::to_string(range.lba + done + part - 1) + " failed";
            }
            done += part;
            at += std::size_t{part} * kSectorSize;
        }
    }
    std::vector<BYTE> back(std::size_t{kMaxSectorsPerCommand} * kSectorSize);
    at = 0;
    for (const UndoRange& range : r.ranges) {
        for (DWORD done = 0; done < range.count;) {
            const DWORD part = range.count - done < kMaxSectorsPerCommand ? range.count - done : kMaxSectorsPerCommand;
            const std::size_t size = std::size_t{part} * kSectorSize;
            if (!device.ReadSectors(handle, back.data(), range.lba + done, part)) return "reading the sectors back failed";
            if (std::memcmp(back.data(), r.old.data() + at, size) != 0) {
                return "sectors " + std::to_string(range.lba + done) + " to " + std::to_string(range.lba + done + part - 1) +
                       " did not read back as written";
            }
            done += part;
            at += size;
        }
    }
    return std::string();
}

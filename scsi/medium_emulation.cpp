#include "scsi/medium_emulation.h"

namespace platform {

bool MediumEmulation::Execute(ScsiExchange& x) {
    x.status = kStatusGood;
    x.residual = x.dataLength;
    x.senseLength = 0;
    switch (x.cdb[0]) {
        case op::kInquiry: AnswerInquiry(x); break;
        case op::kRead10: return Transfer(x, false);
        case op::kWrite10: return Transfer(x, true);
        case op::kPreventAllowMediumRemoval: PreventRemoval((x.cdb[4] & 0x01) != 0); break;
        case op::kStartStopUnit: StartStop(x); break;
        default: x.CheckCondition(sense::kIllegalRequest, 0x20, 0x00); break;
    }
    return true;
}

bool MediumEmulation::Transfer(ScsiExchange& x, bool write) {
    if (write && !MayWrite()) return false;
    if (!Ready()) {
        x.CheckCondition(sense::kNotReady, 0x3A, 0x00);
        return true;
    }
    const std::uint64_t lba = Lba(x.cdb);
    const std::uint64_t count = Count(x.cdb);
    const std::uint64_t bytes = count * kSectorBytes;
    if (lba + count > Sectors()) {
        x.CheckCondition(sense::kIllegalRequest, 0x21, 0x00);
        return true;
    }
    DataDirection expected = write ? DataDirection::Out : DataDirection::In;
    if (count > 0 && (x.direction != expected || bytes > x.dataLength)) {
        x.CheckCondition(sense::kIllegalRequest, 0x24, 0x00);
        return true;
    }
    if (write && ReadOnly()) {
        x.CheckCondition(sense::kDataProtect, 0x27, 0x00);
        return true;
    }
    const std::uint64_t offset = lba * kSectorBytes;
    std::uint64_t done = 0;
    while (done < bytes) {
        std::int64_t n = Move(x.data + done, bytes - done, offset + done, write);
        if (n <= 0) {
            x.CheckCondition(sense::kMediumError, write ? 0x0C : 0x11, 0x00);
            x.residual = static_cast<std::uint32_t>(x.dataLength - done);
            return true;
        }
        done += static_cast<std::uint64_t>(n);
    }
    if (write && !Written()) {
        x.CheckCondition(sense::kMediumError, 0x0C, 0x00);
        return true;
    }
    x.residual = static_cast<std::uint32_t>(x.dataLength - bytes);
    return true;
}

void MediumEmulation::StartStop(ScsiExchange& x) {
    const bool loadEject = (x.cdb[4] & 0x02) != 0;
    const bool start = (x.cdb[4] & 0x01) != 0;
    if (!loadEject) return;
    if (start) {
        mediumPresent_ = true;
        return;
    }
    if (!MayEject(x)) return;
    mediumPresent_ = false;
}

}  // namespace platform

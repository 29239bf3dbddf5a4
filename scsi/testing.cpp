#include <cstring>

// The test doubles of scsi/testing.h.
#include "scsi/testing.h"

namespace platform::testing {

RecordingTarget::RecordingTarget(std::shared_ptr<ScsiTarget> inner) : inner_(std::move(inner)) {}

bool RecordingTarget::Execute(ScsiExchange& x) {
    RecordedCommand c;
    c.block.assign(x.requestBlock, x.requestBlock + x.requestBlockSize);
    c.cdb.assign(x.cdb, x.cdb + x.cdbLength);
    c.direction = x.direction;
    c.dataLength = x.dataLength;
    c.data = x.data;
    if (x.direction == DataDirection::Out) c.dataOut.assign(x.data, x.data + x.dataLength);
    if (inner_) {
        c.carriedOut = inner_->Execute(x);
    } else {
        if (x.direction == DataDirection::In) std::memset(x.data, 0, x.dataLength);
        x.status = kStatusGood;
        x.residual = 0;
        c.carriedOut = true;
    }
    c.status = x.status;
    commands.push_back(std::move(c));
    return commands.back().carriedOut;
}

void RecordingTarget::Released() {
    if (inner_) inner_->Released();
}

FaultyTarget::FaultyTarget(std::shared_ptr<ScsiTarget> inner, int failAt, Fault fault, bool sticky)
    : inner_(std::move(inner)), failAt_(failAt), fault_(fault), sticky_(sticky) {}

bool FaultyTarget::Execute(ScsiExchange& x) {
    ++count;
    bool fail = sticky_ ? count >= failAt_ : count == failAt_;
    if (!fail) return inner_ ? inner_->Execute(x) : true;
    if (fault_ == Fault::TransportFailure) return false;
    x.residual = x.dataLength;
    x.CheckCondition(sense::kMediumError, x.direction == DataDirection::Out ? 0x0C : 0x11, 0x00);
    return true;
}

void FaultyTarget::Released() {
    if (inner_) inner_->Released();
}

FoldingTarget::FoldingTarget(std::shared_ptr<ScsiTarget> inner, Fold fold, std::uint32_t size)
    : inner_(std::move(inner)), fold_(fold), size_(size) {}

// Each sector of a READ(10) or WRITE(10) goes on as a one-sector command to
// where the card keeps it.
bool FoldingTarget::Execute(ScsiExchange& x) {
    if (x.cdb[0] != op::kRead10 && x.cdb[0] != op::kWrite10) return inner_->Execute(x);
    const std::uint32_t lba = Lba(x.cdb);
    const std::uint32_t count = Count(x.cdb);
    x.status = kStatusGood;
    x.senseLength = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t* data = x.data + std::size_t{i} * kSectorBytes;
        std::uint64_t where = fold_(lba + i, size_);
        if (where == kNowhere) {
            if (x.cdb[0] == op::kRead10) std::memset(data, 0, kSectorBytes);
            continue;
        }
        ScsiExchange one = x;
        one.data = data;
        one.dataLength = kSectorBytes;
        for (int b = 0; b < 4; ++b) one.cdb[2 + b] = static_cast<std::uint8_t>(where >> (24 - 8 * b));
        one.cdb[7] = 0;
        one.cdb[8] = 1;
        if (!inner_->Execute(one)) return false;
        if (one.status != kStatusGood) {
            std::memcpy(x.sense, one.sense, sizeof x.sense);
            x.senseLength = one.senseLength;
            x.status = one.status;
            x.residual = x.dataLength - i * kSectorBytes;
            return true;
        }
    }
    x.residual = x.dataLength - count * kSectorBytes;
    return true;
}

void FoldingTarget::Released() { inner_->Released(); }

}  // namespace platform::testing

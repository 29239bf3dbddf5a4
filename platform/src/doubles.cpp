#include <cstring>

#include "platform/testing.h"

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

}  // namespace platform::testing

#include "platform/dry_run.h"

#include <cstring>

namespace platform {
namespace {

// Commands that change nothing on the card or in the reader.
bool ReadsOnly(std::uint8_t opcode) {
    return opcode == 0x00 /* TEST UNIT READY */ || opcode == 0x12 /* INQUIRY */ ||
           opcode == 0x25 /* READ CAPACITY(10) */ || opcode == 0x28 /* READ(10) */;
}

}  // namespace

DryRunTarget::DryRunTarget(std::shared_ptr<ScsiTarget> inner) : inner_(std::move(inner)) {}

bool DryRunTarget::Execute(ScsiExchange& x) {
    Command command{std::vector<std::uint8_t>(x.cdb, x.cdb + x.cdbLength), ReadsOnly(x.cdb[0]), true};
    bool carriedOut = true;
    if (command.sent) {
        carriedOut = inner_->Execute(x);
        command.good = carriedOut && x.status == kStatusGood;
    } else {
        if (x.direction == DataDirection::In) std::memset(x.data, 0, x.dataLength);
        x.status = kStatusGood;
        x.residual = 0;
        x.senseLength = 0;
    }
    commands.push_back(std::move(command));
    return carriedOut;
}

void DryRunTarget::Released() { inner_->Released(); }

}  // namespace platform

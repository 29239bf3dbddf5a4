// The dry run of scsi/dry_run.h.
#include "scsi/dry_run.h"

#include <cstring>

namespace platform {
namespace {

// Commands that change nothing on the card or in the reader.
bool ReadsOnly(std::uint8_t opcode) {
    return opcode == op::kTestUnitReady || opcode == op::kInquiry || opcode == op::kReadCapacity10 ||
           opcode == op::kRead10;
}

}  // namespace

DryRunTarget::DryRunTarget(std::shared_ptr<ScsiTarget> inner) : inner_(std::move(inner)) {}

bool DryRunTarget::Execute(ScsiExchange& x) {
    Command command{std::vector<std::uint8_t>(x.cdb, x.cdb + x.cdbLength), ReadsOnly(x.cdb[0]), true};
    bool carriedOut = true;
    if (command.sent && AnswerFromWrites(x)) {
        command.sent = false;
    } else if (command.sent) {
        carriedOut = inner_->Execute(x);
        command.good = carriedOut && x.status == kStatusGood;
    } else {
        if (x.cdb[0] == op::kWrite10) KeepWrite(x);
        if (x.direction == DataDirection::In) std::memset(x.data, 0, x.dataLength);
        x.status = kStatusGood;
        x.residual = 0;
        x.senseLength = 0;
    }
    commands.push_back(std::move(command));
    return carriedOut;
}

// A read of sectors that were all written in the rehearsal.
bool DryRunTarget::AnswerFromWrites(ScsiExchange& x) {
    if (x.cdb[0] != op::kRead10 || x.direction != DataDirection::In) return false;
    const std::uint32_t lba = Lba(x.cdb), count = Count(x.cdb);
    if (count == 0 || std::uint64_t{count} * kSectorBytes > x.dataLength) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (written_.count(lba + i) == 0) return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) std::memcpy(x.data + i * kSectorBytes, written_[lba + i].data(), kSectorBytes);
    x.status = kStatusGood;
    x.residual = x.dataLength - count * kSectorBytes;
    x.senseLength = 0;
    return true;
}

void DryRunTarget::KeepWrite(const ScsiExchange& x) {
    const std::uint32_t lba = Lba(x.cdb), count = Count(x.cdb);
    if (x.direction != DataDirection::Out || std::uint64_t{count} * kSectorBytes > x.dataLength) return;
    for (std::uint32_t i = 0; i < count; ++i) {
        written_[lba + i].assign(x.data + i * kSectorBytes, x.data + (i + 1) * kSectorBytes);
    }
}

void DryRunTarget::Released() { inner_->Released(); }

}  // namespace platform

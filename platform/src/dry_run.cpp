#include "platform/dry_run.h"

#include <cstring>

namespace platform {
namespace {

// Commands that change nothing on the card or in the reader.
bool ReadsOnly(std::uint8_t opcode) {
    return opcode == 0x00 /* TEST UNIT READY */ || opcode == 0x12 /* INQUIRY */ ||
           opcode == 0x25 /* READ CAPACITY(10) */ || opcode == 0x28 /* READ(10) */;
}

constexpr std::uint32_t kSector = 512;

std::uint32_t Lba(const ScsiExchange& x) {
    return std::uint32_t{x.cdb[2]} << 24 | std::uint32_t{x.cdb[3]} << 16 | std::uint32_t{x.cdb[4]} << 8 | x.cdb[5];
}
std::uint32_t Count(const ScsiExchange& x) { return std::uint32_t{x.cdb[7]} << 8 | x.cdb[8]; }

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
        if (x.cdb[0] == 0x2A) KeepWrite(x);
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
    if (x.cdb[0] != 0x28 || x.direction != DataDirection::In) return false;
    const std::uint32_t lba = Lba(x), count = Count(x);
    if (count == 0 || std::uint64_t{count} * kSector > x.dataLength) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (written_.count(lba + i) == 0) return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) std::memcpy(x.data + i * kSector, written_[lba + i].data(), kSector);
    x.status = kStatusGood;
    x.residual = x.dataLength - count * kSector;
    x.senseLength = 0;
    return true;
}

void DryRunTarget::KeepWrite(const ScsiExchange& x) {
    const std::uint32_t lba = Lba(x), count = Count(x);
    if (x.direction != DataDirection::Out || std::uint64_t{count} * kSector > x.dataLength) return;
    for (std::uint32_t i = 0; i < count; ++i) {
        written_[lba + i].assign(x.data + i * kSector, x.data + (i + 1) * kSector);
    }
}

void DryRunTarget::Released() { inner_->Released(); }

}  // namespace platform

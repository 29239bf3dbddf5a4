#include <algorithm>
#include <cstring>

// The test doubles of scsi/testing.h.
#include "scsi/testing.h"

namespace platform::testing {

namespace {

// The part of a command a double hands on, `sectors` long.
void SetCount(ScsiExchange& x, std::uint32_t sectors) {
    x.cdb[7] = static_cast<std::uint8_t>(sectors >> 8);
    x.cdb[8] = static_cast<std::uint8_t>(sectors);
    x.dataLength = sectors * kSectorBytes;
}

// A part that failed ends the whole command with its status and sense.
void TakeFailure(ScsiExchange& x, const ScsiExchange& part, std::uint32_t residual) {
    std::memcpy(x.sense, part.sense, sizeof x.sense);
    x.senseLength = part.senseLength;
    x.status = part.status;
    x.residual = residual;
}

}  // namespace

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

// Each run of sectors that the card keeps side by side goes on as one
// command to where it keeps them.
bool FoldingTarget::Execute(ScsiExchange& x) {
    if (x.cdb[0] != op::kRead10 && x.cdb[0] != op::kWrite10) return inner_->Execute(x);
    const std::uint32_t lba = Lba(x.cdb);
    const std::uint32_t count = Count(x.cdb);
    x.status = kStatusGood;
    x.senseLength = 0;
    for (std::uint32_t i = 0, n = 1; i < count; i += n) {
        std::uint8_t* data = x.data + std::size_t{i} * kSectorBytes;
        const std::uint64_t where = fold_(lba + i, size_);
        if (where == kNowhere) {
            if (x.cdb[0] == op::kRead10) std::memset(data, 0, kSectorBytes);
            n = 1;
            continue;
        }
        for (n = 1; i + n < count && fold_(lba + i + n, size_) == where + n; ++n) {
        }
        ScsiExchange run = x;
        run.data = data;
        for (int b = 0; b < 4; ++b) run.cdb[2 + b] = static_cast<std::uint8_t>(where >> (24 - 8 * b));
        SetCount(run, n);
        if (!inner_->Execute(run)) return false;
        if (run.status != kStatusGood) {
            TakeFailure(x, run, x.dataLength - i * kSectorBytes);
            return true;
        }
    }
    x.residual = x.dataLength - count * kSectorBytes;
    return true;
}

void FoldingTarget::Released() { inner_->Released(); }

CachingTarget::CachingTarget(std::shared_ptr<ScsiTarget> inner, std::uint32_t size, std::size_t cacheSectors,
                             bool lands)
    : lands_(lands), inner_(std::move(inner)), size_(size), cacheSectors_(cacheSectors) {}

bool CachingTarget::Land(std::uint32_t lba, std::vector<std::uint8_t>& bytes) {
    if (!lands_) return true;
    ScsiExchange one;
    one.cdbLength = 10;
    one.cdb[0] = op::kWrite10;
    for (int i = 0; i < 4; ++i) one.cdb[2 + i] = static_cast<std::uint8_t>(lba >> (24 - 8 * i));
    one.cdb[8] = 1;
    one.direction = DataDirection::Out;
    one.data = bytes.data();
    one.dataLength = kSectorBytes;
    return inner_->Execute(one) && one.status == kStatusGood;
}

void CachingTarget::LandAll() {
    for (std::uint32_t lba : order_) Land(lba, cache_[lba]);
    order_.clear();
    cache_.clear();
}

bool CachingTarget::Execute(ScsiExchange& x) {
    if (x.cdb[0] != op::kRead10 && x.cdb[0] != op::kWrite10) return inner_->Execute(x);
    const bool write = x.cdb[0] == op::kWrite10;
    const std::uint32_t lba = Lba(x.cdb);
    const std::uint32_t count = Count(x.cdb);
    const std::uint32_t below = lba >= size_ ? 0 : std::min(count, size_ - lba);
    if (below > 0) {
        ScsiExchange low = x;
        SetCount(low, below);
        if (!inner_->Execute(low)) return false;
        if (low.status != kStatusGood) {
            TakeFailure(x, low, x.dataLength);
            return true;
        }
    }
    for (std::uint32_t i = below; i < count; ++i) {
        std::uint8_t* data = x.data + std::size_t{i} * kSectorBytes;
        auto kept = cache_.find(lba + i);
        if (write) {
            if (kept == cache_.end()) {
                if (order_.size() == cacheSectors_) {
                    auto oldest = cache_.find(order_.front());
                    if (!Land(oldest->first, oldest->second)) return false;
                    cache_.erase(oldest);
                    order_.pop_front();
                }
                order_.push_back(lba + i);
                kept = cache_.emplace(lba + i, std::vector<std::uint8_t>(kSectorBytes)).first;
            }
            std::memcpy(kept->second.data(), data, kSectorBytes);
        } else if (kept != cache_.end()) {
            std::memcpy(data, kept->second.data(), kSectorBytes);
        } else if (lands_) {
            ScsiExchange one = x;
            one.cdb[2] = static_cast<std::uint8_t>((lba + i) >> 24);
            one.cdb[3] = static_cast<std::uint8_t>((lba + i) >> 16);
            one.cdb[4] = static_cast<std::uint8_t>((lba + i) >> 8);
            one.cdb[5] = static_cast<std::uint8_t>(lba + i);
            one.data = data;
            SetCount(one, 1);
            if (!inner_->Execute(one)) return false;
        } else {
            std::memset(data, 0, kSectorBytes);
        }
    }
    x.status = kStatusGood;
    x.senseLength = 0;
    x.residual = x.dataLength - count * kSectorBytes;
    return true;
}

void CachingTarget::Released() { inner_->Released(); }

}  // namespace platform::testing

// Test doubles at the SCSI seam, so tests see exactly what the program asks
// of a device and can make it fail or lie: a recorder, a failing target,
// counterfeit cards, and the block-I/O back end over any node or file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scsi/card_image.h"
#include "scsi/drive_identity.h"
#include "scsi/target.h"

namespace platform::testing {

struct RecordedCommand {
    std::vector<std::uint8_t> block;  // the request block, byte for byte
    std::vector<std::uint8_t> cdb;    // cdbLength bytes
    DataDirection direction = DataDirection::None;
    std::uint32_t dataLength = 0;
    const std::uint8_t* data = nullptr;
    std::vector<std::uint8_t> dataOut;  // what a write carried
    std::uint8_t status = 0;
    bool carriedOut = false;
};

// Records every command, then hands it to the target behind it (if any;
// without one every command ends GOOD and reads give zeros).
class RecordingTarget : public ScsiTarget {
public:
    explicit RecordingTarget(std::shared_ptr<ScsiTarget> inner = nullptr);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;

    std::vector<RecordedCommand> commands;

private:
    std::shared_ptr<ScsiTarget> inner_;
};

enum class Fault { TransportFailure, CheckCondition };

// Fails the n-th command (counted from 1) or, with `sticky`, every command
// from the n-th on, as a card that vanishes would.
class FaultyTarget : public ScsiTarget {
public:
    FaultyTarget(std::shared_ptr<ScsiTarget> inner, int failAt, Fault fault, bool sticky = false);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;

    int count = 0;

private:
    std::shared_ptr<ScsiTarget> inner_;
    int failAt_;
    Fault fault_;
    bool sticky_;
};

// A counterfeit card in front of a genuine one: it takes every sector address
// it declares but keeps each on the physical sector `fold` gives, or on none
// (reads give zeros, writes are dropped) when `fold` answers kNowhere.
class FoldingTarget : public ScsiTarget {
public:
    static constexpr std::uint64_t kNowhere = ~std::uint64_t{0};
    using Fold = std::uint64_t (*)(std::uint32_t lba, std::uint32_t size);

    FoldingTarget(std::shared_ptr<ScsiTarget> inner, Fold fold, std::uint32_t size);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;

    // The folds counterfeit cards use: the address masked to its low bits
    // below `size` (a wrap at a power of two), the address modulo `size`, one
    // address bit (`size` = its value) ignored, nothing stored from `size` on.
    static std::uint64_t Mask(std::uint32_t lba, std::uint32_t size) { return lba & (size - 1); }
    static std::uint64_t Wrap(std::uint32_t lba, std::uint32_t size) { return lba % size; }
    static std::uint64_t DropBit(std::uint32_t lba, std::uint32_t size) { return lba & ~size; }
    static std::uint64_t Hollow(std::uint32_t lba, std::uint32_t size) { return lba < size ? lba : kNowhere; }

private:
    std::shared_ptr<ScsiTarget> inner_;
    Fold fold_;
    std::uint32_t size_;
};

// A counterfeit card that holds `size` sectors and keeps the last
// `cacheSectors` sectors written at or past that end in a cache in front of
// the flash it lacks: they read back as written, every other sector past the
// end reads zeros. A few stamps read back at once pass; a whole surface does not.
// With `lands`, the cache is a write-back one in front of `inner` (a card that
// folds, say): a sector pushed out is written there, and a sector past the end
// that is not cached reads from there.
class CachingTarget : public ScsiTarget {
public:
    CachingTarget(std::shared_ptr<ScsiTarget> inner, std::uint32_t size, std::size_t cacheSectors,
                  bool lands = false);
    bool Execute(ScsiExchange& exchange) override;
    void Released() override;
    // Writes out everything cached, oldest first, as a card losing power.
    void LandAll();

private:
    bool Land(std::uint32_t lba, std::vector<std::uint8_t>& bytes);
    bool lands_;
    std::shared_ptr<ScsiTarget> inner_;
    std::uint32_t size_;
    std::size_t cacheSectors_;
    std::map<std::uint32_t, std::vector<std::uint8_t>> cache_;
    std::deque<std::uint32_t> order_;  // oldest first
};

}  // namespace platform::testing

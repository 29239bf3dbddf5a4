// The capacity probe on any sector 0 a card may hold, including reads that
// return less than a sector: no crash, a capacity only from a whole sector
// that carries a declared size, and nothing written outside the new volume.
//
// Input: the bytes the card returns for sector 0 (fewer than 512 make a short
// read); a 513th byte picks whether the repair is confirmed (bit 0) and
// whether the card fails every read but of sector 0 (bit 1). Writes are kept,
// so whatever the repair reads back is what it wrote.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "scsi/drive_map.h"
#include "scsi/target.h"
#include "repair/capacity_repair.h"

namespace {

using platform::DataDirection;
using platform::ScsiExchange;

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void Require(bool ok) {
    if (!ok) std::abort();
}

class FuzzCard : public platform::ScsiTarget {
public:
    FuzzCard(const std::uint8_t* sector0, std::size_t size, bool failLastRead)
        : sector0_(sector0), size_(size), failLastRead_(failLastRead) {}

    bool Execute(ScsiExchange& x) override {
        x.status = platform::kStatusGood;
        x.residual = 0;
        const std::uint8_t op = x.cdb[0];
        if (op == 0x12) {
            std::memset(x.data, 0, x.dataLength);
            if (x.dataLength > 1) x.data[1] = 0x80;
            return true;
        }
        if (op != 0x28 && op != 0x2A) return true;
        std::uint32_t lba = std::uint32_t{x.cdb[2]} << 24 | std::uint32_t{x.cdb[3]} << 16 |
                            std::uint32_t{x.cdb[4]} << 8 | x.cdb[5];
        std::uint32_t count = std::uint32_t{x.cdb[7]} << 8 | x.cdb[8];
        if (std::uint64_t{count} * 512 > x.dataLength) std::abort();
        if (op == 0x2A) {
            writes++;
            highestWritten = std::max<std::uint64_t>(highestWritten, std::uint64_t{lba} + count);
            // A sector never written reads as zeros (all but sector 0), so
            // zeros written there change nothing: the cache flush writes 64 MiB
            // of them back, too many to keep for every input.
            static const std::uint8_t kZeros[512] = {};
            auto it = written_.lower_bound(lba);
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint8_t* sector = x.data + std::size_t{i} * 512;
                const bool kept = it != written_.end() && it->first == lba + i;
                if (!kept && lba + i != 0 && std::memcmp(sector, kZeros, 512) == 0) continue;
                if (!kept) it = written_.emplace_hint(it, lba + i, std::array<std::uint8_t, 512>{});
                std::memcpy(it->second.data(), sector, 512);
                ++it;
            }
            return true;
        }
        if (lba != 0 && failLastRead_) {
            x.CheckCondition(platform::sense::kIllegalRequest, 0x21, 0x00);
            return true;
        }
        std::memset(x.data, 0, x.dataLength);
        for (auto it = written_.lower_bound(lba); it != written_.end() && it->first < lba + count; ++it) {
            std::memcpy(x.data + std::size_t{it->first - lba} * 512, it->second.data(), 512);
        }
        if (lba == 0 && written_.count(0) == 0) {
            // A card whose sector 0 comes back short, or whole.
            std::size_t n = std::min<std::size_t>(size_, x.dataLength);
            if (n > 0) std::memcpy(x.data, sector0_, n);
            if (count == 1) x.residual = static_cast<std::uint32_t>(x.dataLength - n);
        }
        return true;
    }

    int writes = 0;
    std::uint64_t highestWritten = 0;

private:
    std::map<std::uint32_t, std::array<std::uint8_t, 512>> written_;
    const std::uint8_t* sector0_;
    std::size_t size_;
    bool failLastRead_;
};

class FuzzOperator : public ICapacityOperator {
public:
    explicit FuzzOperator(bool yes) : yes_(yes) {}
    bool GetSelectedDriveText(std::string& text) override {
        text = "E:\\";
        return true;
    }
    void ShowCapacity(const std::string& text) override {
        shown = text;
        ++shows;
    }
    void EnableRepairButton(bool enable) override { enabled = enable; }
    bool AskConfirmation(const char*) override {
        asked = true;
        return yes_;
    }
    void ShowMessage(const char* text) override { last = text; }
    void SetProgressPos(int) override {}
    void Pause(DWORD) override {}
    void NotifyExplorerWindows() override {}
    void CloseDialog() override {}

    std::string shown, last;
    int shows = 0;
    bool enabled = false, asked = false;

private:
    bool yes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t sectorBytes = std::min<std::size_t>(size, 512);
    const std::uint8_t flags = size > 512 ? data[512] : 0;
    const bool confirm = flags & 1, failLastRead = flags & 2;

    // What the card declares, when the whole sector arrived.
    DWORD declared = 0;
    if (sectorBytes == 512 && data[510] == 0x55 && data[511] == 0xAA) {
        declared = data[0] == 0xEB ? Le32(data + 32) : Le32(data + 458);
    }

    platform::ClearDriveMap();
    auto card = std::make_shared<FuzzCard>(data, sectorBytes, failLastRead);
    platform::MapDrive('E', card, "fuzz card");
    {
        CCardDevice device;
        FuzzOperator op(confirm);
        CCapacityRepair repair(device, op);
        repair.RefreshCapacity();
        Require(repair.m_nCapacity == declared);
        Require(op.shows == 1 && op.shown == CapacityText(declared));
        Require(op.enabled == IsCapacityEligible(declared));

        repair.RunRepair();
        const bool eligible = IsCapacityEligible(declared);
        Require(op.asked == eligible);
        // Nothing is written unless the card is eligible, the operator
        // confirmed and its last sector could be read; then only the new volume.
        if (!eligible || !confirm || failLastRead) Require(card->writes == 0);
        if (card->writes > 0) Require(card->highestWritten <= TargetCapacity(declared));
        if (op.last == kMsgReplug) Require(card->writes > 0);
        if (!eligible) Require(op.last == kMsgNotNeeded);
    }
    platform::ClearDriveMap();
    return 0;
}

// The probe, the layout writers and the whole repair, run against the card
// image reader with recording and failing targets in front of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

#include "scsi/drive_map.h"
#include "platform/testing.h"
#include "scsi/testing.h"
#include "repair/boot_sector.h"
#include "repair/card_undo.h"
#include "repair/capacity_repair.h"
#include "repair/explorer_notify.h"
#include "repair/sector_stamps.h"
#include "platform/sha256.h"
#include "platform/user_files.h"
#include "repair/surface_test.h"
#include "support/card_fixture.h"

namespace {

using fixture::CardImage;
using fixture::FatBootSector;
using fixture::MasterBootRecord;
using namespace platform::testing;

constexpr DWORD kImageSectors = 3968000;

DWORD Lba(const RecordedCommand& c) {
    return DWORD{c.cdb[2]} << 24 | DWORD{c.cdb[3]} << 16 | DWORD{c.cdb[4]} << 8 | c.cdb[5];
}

std::string Cmd(const RecordedCommand& c) {
    char text[64];
    unsigned lba = Lba(c);
    switch (c.cdb[0]) {
        case 0x28: std::snprintf(text, sizeof text, "R%u+%u", lba, unsigned{c.cdb[8]}); break;
        case 0x2A: std::snprintf(text, sizeof text, "W%u+%u", lba, unsigned{c.cdb[8]}); break;
        case 0x1E: std::snprintf(text, sizeof text, "lock%u", unsigned{c.cdb[4]}); break;
        case 0x1B: std::snprintf(text, sizeof text, "eject"); break;
        default: std::snprintf(text, sizeof text, "op%02X", c.cdb[0]); break;
    }
    return text;
}

// Records, beside the operator's events, how many commands had been sent.
class Operator : public fixture::RecordingOperator {
public:
    const RecordingTarget* recorder = nullptr;
    void ShowMessage(const char* text) override {
        RecordingOperator::ShowMessage(text);
        if (recorder) events.push_back("sent:" + std::to_string(recorder->commands.size()));
    }
};

class RepairTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ClearDriveMap();
        allocationsBefore = platform::testing::LiveGlobalAllocations();
    }
    void TearDown() override {
        EXPECT_EQ(platform::OpenVolumeCount(), 0) << "a handle was left open";
        EXPECT_EQ(platform::testing::LiveGlobalAllocations(), allocationsBefore) << "a buffer was not freed";
        platform::testing::FailGlobalAllocAt(0);
        platform::ResetDriveMap();
    }

    // Puts the image behind E:, optionally behind a failing target.
    std::shared_ptr<RecordingTarget> Attach(const CardImage& card, int failAt = 0,
                                            Fault fault = Fault::CheckCondition, bool sticky = false) {
        std::shared_ptr<platform::ScsiTarget> target = platform::OpenCardImage(card.path());
        if (failAt > 0) target = std::make_shared<FaultyTarget>(target, failAt, fault, sticky);
        auto recorder = std::make_shared<RecordingTarget>(target);
        platform::MapDrive('E', recorder, card.path());
        op.recorder = recorder.get();
        return recorder;
    }

    std::vector<std::string> Commands(const RecordingTarget& r) const {
        std::vector<std::string> out;
        for (const auto& c : r.commands) out.push_back(Cmd(c));
        return out;
    }

    int allocationsBefore = 0;
    Operator op;
    CCardDevice device;
    CCapacityRepair repair{device, op};
};

TEST_F(RepairTest, ProbeReadsWhatSectorZeroDeclares) {
    struct Row {
        const char* what;
        std::vector<BYTE> sector0;
        DWORD capacity;
        const char* text;
        bool eligible;
    };
    std::vector<Row> rows = {
        {"FAT boot sector", FatBootSector(1984000), 1984000, "968 MB", true},
        {"master boot record", MasterBootRecord(1990656), 1990656, "972 MB", true},
        {"boot sector of a small volume", FatBootSector(0), 0, "0 MB", false},
        {"just below the lower bound", FatBootSector(1399999), 1399999, "683 MB", false},
        {"the lower bound", FatBootSector(1400000), 1400000, "683 MB", true},
        {"the upper bound", FatBootSector(4200000), 4200000, "2050 MB", true},
        {"just above it", FatBootSector(4200001), 4200001, "2050 MB", false},
    };
    auto nearJump = MasterBootRecord(1990656);
    nearJump[0] = 0xE9;
    nearJump[32] = 0x11;
    rows.push_back({"near jump counts as a boot record", nearJump, 1990656, "972 MB", true});
    auto badSignature = FatBootSector(1984000);
    badSignature[511] = 0xAB;
    rows.push_back({"55 without AA", badSignature, 0, "0 MB", false});

    for (const Row& r : rows) {
        CardImage card(kImageSectors, r.sector0);
        auto recorder = Attach(card);
        op.events.clear();
        repair.RefreshCapacity();
        EXPECT_EQ(repair.m_nCapacity, r.capacity) << r.what;
        EXPECT_EQ(repair.m_strCapacity, r.text) << r.what;
        EXPECT_EQ(op.events, (std::vector<std::string>{std::string("capacity:") + r.text,
                                                        r.eligible ? "button:on" : "button:off"}))
            << r.what;
        EXPECT_EQ(Commands(*recorder), std::vector<std::string>{"R0+1"}) << r.what;
    }
}

// A card that cannot be read must not inherit the size of the card before it.
TEST_F(RepairTest, ProbeThatReadsNothingShowsZero) {
    CardImage good(kImageSectors, FatBootSector(1984000));
    struct Row {
        const char* what;
        std::function<void()> breakIt;
        std::vector<std::string> events;
    };
    const std::vector<std::string> zero = {"capacity:0 MB", "button:off"};
    const Row rows[] = {
        {"read fails", [&] { Attach(good, 1); }, zero},
        {"read not carried out", [&] { Attach(good, 1, Fault::TransportFailure); }, zero},
        {"volume does not open", [&] { platform::UnmapDrive('E'); }, zero},
        // Nothing to probe, so nothing is shown; the button still goes off.
        {"no entry selected", [&] { op.hasSelection = false; }, {"button:off"}},
    };
    for (const Row& r : rows) {
        Attach(good);
        op.hasSelection = true;
        repair.RefreshCapacity();
        ASSERT_EQ(repair.m_nCapacity, 1984000u);
        r.breakIt();
        op.events.clear();
        repair.RefreshCapacity();
        EXPECT_EQ(repair.m_nCapacity, 0u) << r.what;
        EXPECT_EQ(op.events, r.events) << r.what;
    }
}

TEST_F(RepairTest, BootSectorIsWrittenWhileRemovalIsPrevented) {
    CardImage card(kImageSectors, FatBootSector(1984000));
    auto recorder = Attach(card);
    HANDLE h = device.OpenDrive('E');
    EXPECT_TRUE(repair.WriteBootSector(h, 3968000));
    device.CloseDrive(h);
    EXPECT_EQ(Commands(*recorder), (std::vector<std::string>{"lock1", "W0+2", "lock0"}));
    EXPECT_EQ(repair.m_nReservedSectors, 2);
    EXPECT_EQ(repair.m_nFatSectors, 243u);
    // The volume of 3,968,000 sectors, then the boot code and a zero sector.
    std::vector<BYTE> expected = {
        0xEB, 0x3C, 0x90, 0x4D, 0x53, 0x57, 0x49, 0x4E, 0x34, 0x2E, 0x31, 0x00, 0x02, 0x40, 0x02, 0x00,
        0x02, 0x00, 0x02, 0x00, 0x00, 0xF8, 0xF3, 0x00, 0x3F, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x8C, 0x3C, 0x00, 0x00, 0x00, 0x29, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46, 0x41, 0x54, 0x31, 0x36, 0x20, 0x20, 0x20,
    };
    expected.insert(expected.end(), BootCodeTemplate, BootCodeTemplate + kBootCodeTemplateSize);
    expected.resize(1024, 0);
    EXPECT_EQ(recorder->commands[1].dataOut, expected);
    EXPECT_EQ(card.Read(0, 2), expected);
}

TEST_F(RepairTest, BootSectorFailures) {
    struct Row {
        const char* what;
        int failAt;  // command index, 0 for none
        int failAlloc;
        std::vector<std::string> commands;
        BOOL result;
    };
    const Row rows[] = {
        {"write fails: removal still allowed", 2, 0, {"lock1", "W0+2", "lock0"}, FALSE},
        {"prevent fails: ignored", 1, 0, {"lock1", "W0+2", "lock0"}, TRUE},
        {"allow fails: ignored", 3, 0, {"lock1", "W0+2", "lock0"}, TRUE},
        {"no buffer: nothing sent", 0, 1, {}, FALSE},
    };
    for (const Row& r : rows) {
        CardImage card(kImageSectors, FatBootSector(1984000));
        auto recorder = Attach(card, r.failAt);
        HANDLE h = device.OpenDrive('E');
        platform::testing::FailGlobalAllocAt(r.failAlloc);
        EXPECT_EQ(repair.WriteBootSector(h, 3968000), r.result) << r.what;
        platform::testing::FailGlobalAllocAt(0);
        device.CloseDrive(h);
        EXPECT_EQ(Commands(*recorder), r.commands) << r.what;
        EXPECT_EQ(repair.m_nFatSectors, 243u) << r.what;
    }
}

TEST_F(RepairTest, TablesAndRootGoOutInCommandsOfAtMost128Sectors) {
    struct Row {
        DWORD capacity;
        std::vector<std::string> commands;
    };
    const Row rows[] = {
        {3968000, {"W2+128", "W130+115", "W245+128", "W373+115", "W488+32"}},
        {4194302, {"W2+128", "W130+128", "W258+128", "W386+128", "W514+32"}},
        {2097153, {"W2+128", "W130+128", "W258+32"}},
    };
    for (const Row& r : rows) {
        CardImage card(kImageSectors);
        card.Write(600, std::vector<BYTE>(512, 0x5A));
        card.Write(3, std::vector<BYTE>(512, 0x77));
        auto recorder = Attach(card);
        HANDLE h = device.OpenDrive('E');
        repair.m_nReservedSectors = 2;
        repair.m_nFatSectors = ComputeGeometry(r.capacity).fatSectors;
        EXPECT_TRUE(repair.WriteFatsAndRoot(h));
        device.CloseDrive(h);
        EXPECT_EQ(Commands(*recorder), r.commands) << r.capacity;

        DWORD f = repair.m_nFatSectors;
        std::vector<BYTE> table(f * 512, 0);
        table[0] = 0xF8;
        table[1] = table[2] = table[3] = 0xFF;
        EXPECT_EQ(card.Read(2, f), table) << r.capacity;
        EXPECT_EQ(card.Read(2 + f, f), table) << r.capacity;
        EXPECT_EQ(card.Read(2 + 2 * f, 32), std::vector<BYTE>(32 * 512, 0)) << r.capacity;
        EXPECT_EQ(card.Read(600), std::vector<BYTE>(512, 0x5A)) << "data area touched";
    }
}

TEST_F(RepairTest, TableWritesStopAtTheFirstFailure) {
    struct Row {
        int failAt;
        std::vector<std::string> commands;
    };
    const Row rows[] = {
        {1, {"W2+128"}},
        {2, {"W2+128", "W130+115"}},
        {3, {"W2+128", "W130+115", "W245+128"}},
        {4, {"W2+128", "W130+115", "W245+128", "W373+115"}},
        {5, {"W2+128", "W130+115", "W245+128", "W373+115", "W488+32"}},
    };
    for (const Row& r : rows) {
        for (Fault fault : {Fault::CheckCondition, Fault::TransportFailure}) {
            CardImage card(kImageSectors);
            auto recorder = Attach(card, r.failAt, fault);
            HANDLE h = device.OpenDrive('E');
            repair.m_nReservedSectors = 2;
            repair.m_nFatSectors = 243;
            EXPECT_FALSE(repair.WriteFatsAndRoot(h)) << r.failAt;
            device.CloseDrive(h);
            EXPECT_EQ(Commands(*recorder), r.commands) << r.failAt;
        }
    }
    CardImage card(kImageSectors);
    auto recorder = Attach(card);
    HANDLE h = device.OpenDrive('E');
    platform::testing::FailGlobalAllocAt(1);
    EXPECT_FALSE(repair.WriteFatsAndRoot(h));
    device.CloseDrive(h);
    EXPECT_TRUE(recorder->commands.empty());
}

std::vector<std::string> Progress() {
    return {"progress:5",  "pause:1000", "progress:8",  "pause:1000", "progress:11", "pause:1000", "progress:16",
            "progress:21", "pause:1000", "progress:24", "pause:1000", "progress:27", "pause:1000", "progress:32"};
}

// The stamp check of a card that passes it: sector 0 read, every stamped
// sector read before the first stamp is written, every stamp read back,
// sector 0 again; then the flush, each block read and written back, the
// first one sector a command; every stamp read again in another order,
// sector 0 again, every sector restored, the last stamped first.
std::vector<std::string> StampCheck(DWORD capacity) {
    std::vector<std::string> out = {"R0+1"};
    const std::vector<DWORD> lbas = StampSectors(capacity);
    auto one = [](char kind, DWORD lba, DWORD count = 1) {
        return std::string(1, kind).append(std::to_string(lba)).append("+").append(std::to_string(count));
    };
    for (DWORD lba : lbas) out.push_back(one('R', lba));
    for (DWORD lba : lbas) out.push_back(one('W', lba));
    for (DWORD lba : lbas) out.push_back(one('R', lba));
    out.push_back("R0+1");
    const std::vector<DWORD> blocks = FlushBlocks(capacity, lbas);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        out.push_back(one('R', blocks[b], 128));
        if (b > 0) {
            out.push_back(one('W', blocks[b], 128));
            continue;
        }
        for (DWORD i : ScatteredOrder()) out.push_back(one('W', blocks[b] + i));
    }
    for (std::size_t i : StampReadOrder(lbas.size())) out.push_back(one('R', lbas[i]));
    out.push_back("R0+1");
    for (auto lba = lbas.rbegin(); lba != lbas.rend(); ++lba) out.push_back(one('W', *lba));
    return out;
}

std::vector<std::string> Join(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST_F(RepairTest, StampsCoverEveryAddressBitAndTheWrapWithinTheBound) {
    // 2,097,153 has its base at sector 0; 2,097,155 has it at 2, whose
    // neighbour across bit 1 is sector 0.
    for (DWORD capacity :
         {2097152u, 2097153u, 2097155u, 2800000u, 3968000u, 4194302u, 4194304u, 4194305u, 4200000u}) {
        const std::vector<DWORD> lbas = StampSectors(capacity);
        EXPECT_LE(4 * lbas.size() + 2, 128u) << capacity;
        // Sector 0 is compared, never stamped: a stamp there would make a
        // genuine card look counterfeit.
        auto stamped = [&](DWORD lba) { return lba == 0 || std::count(lbas.begin(), lbas.end(), lba) == 1; };
        for (DWORD lba : lbas) {
            EXPECT_LT(lba, capacity) << capacity;
            EXPECT_NE(lba, 0u) << capacity;
        }
        bool wrap = false;
        for (int bit = 0; (DWORD{1} << bit) < capacity; ++bit) {
            bool pair = false;
            for (DWORD lba : lbas) pair = pair || (stamped(lba ^ (DWORD{1} << bit)) && (lba ^ (DWORD{1} << bit)) < capacity);
            EXPECT_TRUE(pair) << capacity << " bit " << bit;
        }
        for (DWORD lba : lbas) wrap = wrap || (lba >= capacity / 2 && stamped(lba - capacity / 2));
        EXPECT_TRUE(wrap) << capacity;

        // The flush: 64 MiB in the upper half, in ascending blocks that hold
        // no stamp; its first block one sector at a time, each once, never
        // two neighbours in a row.
        const std::vector<DWORD> blocks = FlushBlocks(capacity, lbas);
        EXPECT_EQ(blocks.size() * kFlushBlockSectors, kFlushSectors) << capacity;
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            EXPECT_GE(blocks[b], capacity / 2) << capacity;
            EXPECT_LE(blocks[b] + kFlushBlockSectors, capacity) << capacity;
            if (b > 0) {
                EXPECT_GT(blocks[b], blocks[b - 1]) << capacity;
            }
            for (DWORD lba : lbas) EXPECT_FALSE(lba >= blocks[b] && lba < blocks[b] + kFlushBlockSectors) << capacity;
        }
        std::vector<DWORD> scattered = ScatteredOrder();
        for (std::size_t i = 1; i < scattered.size(); ++i) {
            EXPECT_NE(scattered[i], scattered[i - 1] + 1);
            EXPECT_NE(scattered[i] + 1, scattered[i - 1]);
        }
        std::sort(scattered.begin(), scattered.end());
        for (DWORD i = 0; i < kFlushBlockSectors; ++i) EXPECT_EQ(scattered[i], i);
        // The second reading: every stamp once, in neither the order written
        // nor the order of their addresses, up or down.
        const std::vector<std::size_t> order = StampReadOrder(lbas.size());
        std::vector<std::size_t> each = order;
        std::sort(each.begin(), each.end());
        std::vector<std::size_t> written(lbas.size());
        for (std::size_t i = 0; i < written.size(); ++i) written[i] = i;
        EXPECT_EQ(each, written) << capacity;
        EXPECT_NE(order, written) << capacity;
        std::vector<DWORD> read;
        for (std::size_t i : order) read.push_back(lbas[i]);
        EXPECT_FALSE(std::is_sorted(read.begin(), read.end())) << capacity;
        EXPECT_FALSE(std::is_sorted(read.rbegin(), read.rend())) << capacity;
    }
}

TEST_F(RepairTest, CompletedRepairInOrder) {
    CardImage card(kImageSectors, FatBootSector(1984000));
    card.Write(520, std::vector<BYTE>(512, 0x5A));
    auto recorder = Attach(card);
    repair.RunRepair();

    const std::vector<std::string> check = StampCheck(3968000);
    const std::string sent = "sent:" + std::to_string(10 + check.size());
    std::vector<std::string> expected = {"capacity:968 MB", "confirm", "writes:begin"};
    for (const auto& p : Progress()) expected.push_back(p);
    for (const std::string& e : {std::string("writes:end"), std::string("notify"),
                                 std::string("message:The drive's capacity have change to 2G bytes."), sent,
                                 std::string("message:Please re-plugin this card again"), sent,
                                 std::string("close")}) {
        expected.push_back(e);
    }
    EXPECT_EQ(op.events, expected);
    EXPECT_EQ(Commands(*recorder), Join({{"R0+1", "R3967999+1"}, check,
                                         {"lock1", "W0+2", "lock0", "W2+128", "W130+115", "W245+128", "W373+115",
                                          "W488+32", "lock0", "eject"}}));
    EXPECT_EQ(repair.m_nCapacity, 3968000u);
    EXPECT_EQ(card.Read(520), std::vector<BYTE>(512, 0x5A));

    // The repaired card declares its new size, and a second repair writes
    // the same layout without doubling it again.
    std::vector<BYTE> layout = card.Read(0, 520);
    CardImage again(kImageSectors, card.Read(0));
    Attach(again);
    op.events.clear();
    repair.RunRepair();
    EXPECT_EQ(op.events.front(), "capacity:1937 MB");
    EXPECT_TRUE(op.Saw("message:The drive's capacity have change to 2G bytes."));
    EXPECT_EQ(again.Read(0, 520), layout);
}

TEST_F(RepairTest, RepairsThatStopEarly) {
    struct Row {
        const char* what;
        DWORD declared;
        DWORD imageSectors;
        std::function<void(Operator&)> setUp;
        std::vector<std::string> events;
        std::vector<std::string> commands;
    };
    const std::string fail = "message:Change the drive's capacity fail";
    const Row rows[] = {
        {"not eligible", 1399999, kImageSectors, nullptr,
         {"capacity:683 MB", "button:off", "message:The capacity do not need to fix.", "sent:1"}, {"R0+1"}},
        {"above the upper bound", 4200001, 8400002, nullptr,
         {"capacity:2050 MB", "button:off", "message:The capacity do not need to fix.", "sent:1"}, {"R0+1"}},
        {"declined", 1984000, kImageSectors, [](Operator& o) { o.confirm = false; },
         {"capacity:968 MB", "confirm", "close"}, {"R0+1"}},
        {"card does not hold the doubled size", 1984000, 1984000, nullptr,
         {"capacity:968 MB", "confirm", fail, "sent:2", "close"}, {"R0+1", "R3967999+1", "lock0"}},
        {"upper bound is not doubled", 4200000, 4200000, nullptr, {},
         Join({{"R0+1", "R4199999+1"}, StampCheck(4200000),
               {"lock1", "W0+2", "lock0", "W2+128", "W130+128", "W258+128", "W386+128", "W514+32", "lock0",
                "eject"}})},
        {"no drive selected: nothing shown", 1984000, kImageSectors, [](Operator& o) { o.hasSelection = false; },
         {"button:off", "message:The capacity do not need to fix.", "sent:0"}, {}},
    };
    for (const Row& r : rows) {
        CardImage card(r.imageSectors, FatBootSector(r.declared));
        auto recorder = Attach(card);
        op.events.clear();
        op.confirm = true;
        op.hasSelection = true;
        if (r.setUp) r.setUp(op);
        repair.RunRepair();
        if (!r.events.empty()) {
            EXPECT_EQ(op.events, r.events) << r.what;
        } else {
            EXPECT_TRUE(op.Saw("message:The drive's capacity have change to 2G bytes.")) << r.what;
        }
        EXPECT_EQ(Commands(*recorder), r.commands) << r.what;
    }
}

TEST_F(RepairTest, VolumeThatDoesNotOpenForTheRepair) {
    CardImage card(kImageSectors, FatBootSector(1984000));
    Attach(card);
    // The reader goes away between the probe and the open.
    struct VanishingOperator : Operator {
        bool AskConfirmation(const char* text) override {
            platform::UnmapDrive('E');
            return Operator::AskConfirmation(text);
        }
    } vanishing;
    CCapacityRepair r(device, vanishing);
    r.RunRepair();
    EXPECT_EQ(vanishing.events, (std::vector<std::string>{"capacity:968 MB", "confirm",
                                                          "message:Change the drive's capacity fail", "close"}));
    EXPECT_EQ(r.m_nCapacity, 3968000u);
}

// A card that keeps nothing written to it and says every write succeeded.
class ForgetfulTarget : public platform::ScsiTarget {
public:
    explicit ForgetfulTarget(std::shared_ptr<platform::ScsiTarget> inner) : inner_(std::move(inner)) {}
    bool Execute(platform::ScsiExchange& x) override {
        if (x.cdb[0] != 0x2A) return inner_->Execute(x);
        x.status = platform::kStatusGood;
        x.residual = 0;
        x.senseLength = 0;
        return true;
    }
    void Released() override { inner_->Released(); }

private:
    std::shared_ptr<platform::ScsiTarget> inner_;
};

// Counterfeit cards that answer the last-sector read are refused by their
// stamps, get every stamped sector's bytes back and see no other write;
// genuine cards of all zeros or all 0xFF are not refused.
TEST_F(RepairTest, CounterfeitCardsAreRefusedAndRestored) {
    using platform::testing::FoldingTarget;
    struct Row {
        std::string what;
        FoldingTarget::Fold fold;
        std::uint32_t size;
        bool refused;
        BYTE fill;
        bool forgetful = false;  // drops every write, and holds an earlier run's stamps instead of `fill`
        std::size_t cache = 0;   // sectors written past `size` kept in a write-back cache in front of the fold
    };
    std::vector<Row> rows = {
        {"wraps at its declared size", FoldingTarget::Wrap, 1984000, true, 0x11},
        {"wraps at 2^21 sectors", FoldingTarget::Mask, 1u << 21, true, 0x22},
        {"wraps at 2^20 sectors", FoldingTarget::Mask, 1u << 20, true, 0x33},
        {"upper half reads zeros, drops writes", FoldingTarget::Hollow, 1984000, true, 0x00},
        {"genuine, all zeros", FoldingTarget::Wrap, kImageSectors, false, 0x00},
        {"genuine, all 0xFF", FoldingTarget::Wrap, kImageSectors, false, 0xFF},
    };
    for (int bit = 0; bit <= 21; ++bit) {
        rows.push_back({"ignores address bit " + std::to_string(bit), FoldingTarget::DropBit, 1u << bit, true, 0x44});
    }
    rows.push_back({"keeps an earlier run's stamps, drops writes", FoldingTarget::Wrap, kImageSectors, true, 0, true});
    // A cache hides the fold from the first reading; the flush lands it.
    rows.push_back({"4096 sectors cached past a hollow upper half", FoldingTarget::Hollow, 1984000, true, 0x00, false, 4096});
    rows.push_back({"64 MiB cached past a hollow upper half", FoldingTarget::Hollow, 1984000, true, 0x00, false, 131072});
    rows.push_back({"4096 sectors cached past a wrap at its declared size", FoldingTarget::Wrap, 1984000, true, 0x55,
                    false, 4096});
    rows.push_back({"64 MiB cached past a wrap at 2^21 sectors", FoldingTarget::Mask, 1u << 21, true, 0x66, false,
                    131072});
    const std::vector<DWORD> stamps = StampSectors(kImageSectors);
    const std::vector<DWORD> blocks = FlushBlocks(kImageSectors, stamps);
    auto flushed = [&](DWORD lba) {
        return std::any_of(blocks.begin(), blocks.end(), [&](DWORD b) { return lba >= b && lba < b + 128; });
    };

    // What the first write to each stamped sector carried in a run on a
    // genuine card: that run's stamps.
    std::map<DWORD, std::vector<BYTE>> earlier;
    {
        CardImage genuine(kImageSectors, FatBootSector(1984000));
        auto recorder = Attach(genuine);
        repair.RunRepair();
        for (const auto& c : recorder->commands) {
            if (c.cdb[0] == 0x2A && std::count(stamps.begin(), stamps.end(), Lba(c)) == 1) {
                earlier.emplace(Lba(c), c.dataOut);
            }
        }
        ASSERT_EQ(earlier.size(), stamps.size());
    }

    for (const Row& r : rows) {
        CardImage card(kImageSectors, FatBootSector(1984000));
        std::vector<std::uint64_t> physical;
        auto held = [&](DWORD lba) { return r.forgetful ? earlier[lba] : std::vector<BYTE>(512, r.fill); };
        for (DWORD lba : stamps) {
            physical.push_back(r.fold(lba, r.size));
            if (physical.back() != FoldingTarget::kNowhere && physical.back() != 0) {
                card.Write(physical.back(), held(lba));
            }
        }
        // What the old volume holds where the flush folds, beside the stamps.
        std::map<std::uint64_t, std::vector<BYTE>> old;
        for (DWORD b : blocks) {
            const std::uint64_t at = r.fold(b + 5, r.size);
            if (at != FoldingTarget::kNowhere && at != 0 && std::count(physical.begin(), physical.end(), at) == 0) {
                old[at] = std::vector<BYTE>(512, static_cast<BYTE>(b));
                card.Write(at, old[at]);
            }
        }
        std::shared_ptr<platform::ScsiTarget> target =
            std::make_shared<FoldingTarget>(platform::OpenCardImage(card.path()), r.fold, r.size);
        std::shared_ptr<CachingTarget> cache;
        if (r.cache > 0) target = cache = std::make_shared<CachingTarget>(target, r.size, r.cache, true);
        if (r.forgetful) target = std::make_shared<ForgetfulTarget>(target);
        auto recorder = std::make_shared<RecordingTarget>(target);
        platform::MapDrive('E', recorder, card.path());
        op.recorder = nullptr;
        op.events.clear();
        repair.RunRepair();

        EXPECT_EQ(op.Saw("message:Change the drive's capacity fail"), r.refused) << r.what;
        EXPECT_EQ(op.Saw("message:The drive's capacity have change to 2G bytes."), !r.refused) << r.what;
        if (!r.refused) continue;
        EXPECT_EQ(repair.m_Refusal, CCapacityRepair::Refusal::Stamps) << r.what;
        // Only a card that a cache hid gets the flush; each flushed sector
        // gets the bytes it held back.
        std::size_t flushWrites = 0;
        for (const auto& c : recorder->commands) {
            if (c.cdb[0] != 0x2A) continue;
            if (r.cache > 0 && flushed(Lba(c))) {
                ++flushWrites;
                continue;
            }
            EXPECT_EQ(c.cdb[8], 1) << r.what;
            EXPECT_EQ(std::count(stamps.begin(), stamps.end(), Lba(c)), 1) << r.what << ": wrote " << Cmd(c);
        }
        EXPECT_EQ(flushWrites, r.cache > 0 ? 128 + blocks.size() - 1 : 0) << r.what;
        // Whatever the cache held lands, as when the card loses power.
        if (cache) cache->LandAll();
        for (const auto& [at, bytes] : old) EXPECT_EQ(card.Read(at), bytes) << r.what << ": sector " << at;
        EXPECT_EQ(card.Read(0), FatBootSector(1984000)) << r.what;
        for (std::size_t i = 0; i < stamps.size(); ++i) {
            if (physical[i] != FoldingTarget::kNowhere && physical[i] != 0) {
                EXPECT_EQ(card.Read(physical[i]), held(stamps[i])) << r.what << ": sector " << physical[i];
            }
        }
    }
}

// Whatever command fails, the completion messages appear only when every
// read and write succeeded, nothing but a stamped sector's own bytes is
// written after a failed write, and a check that stops on a failed read
// leaves every stamped sector as it was. The undo file, read in six
// commands (the token's sector and the layout's), is left only by a run that
// went as far as the layout, whose first write is the token.
TEST_F(RepairTest, FaultAtEveryCommandOfARepair) {
    const std::string changed = "message:The drive's capacity have change to 2G bytes.";
    const std::vector<DWORD> stamps = StampSectors(3968000);
    // A build without SHA-256 saves no undo files.
    platform::Sha256Digest digest{};
    repair.m_bKeepUndo = platform::Sha256("", 0, digest);
    const int commands = static_cast<int>(StampCheck(3968000).size()) + 12 + (repair.m_bKeepUndo ? 7 : 0);
    const std::string undo = ::testing::TempDir() + "fault-at-every-command.brisant-undo";
    repair.m_strUndoFile = undo;
    // The flush's 2,000-odd commands are alike: the ends of its first block,
    // every 97th command and its last ones fail in turn.
    const std::vector<DWORD> blocks = FlushBlocks(3968000, stamps);
    const int flushCommands = 1 + 128 + 2 * (static_cast<int>(blocks.size()) - 1);
    int flushFirst = 0;
    {
        CardImage card(kImageSectors, FatBootSector(1984000));
        auto recorder = Attach(card);
        repair.RunRepair();
        const std::vector<std::string> sent = Commands(*recorder);
        flushFirst = 1 + static_cast<int>(std::find(sent.begin(), sent.end(),
                                                    "R" + std::to_string(blocks[0]) + "+128") - sent.begin());
        ASSERT_EQ(static_cast<int>(sent.size()), commands);
        ASSERT_EQ(sent[flushFirst + flushCommands - 2], "W" + std::to_string(blocks.back()) + "+128");
        platform::RemoveFile(undo);
    }
    auto sampled = [&](int n) {
        const int in = n - flushFirst;
        if (in < flushCommands) return in < 3 || (in >= 126 && in < 132) || in >= flushCommands - 3 || in % 97 == 0;
        // Each command after the flush repeats it: the stamps read again and
        // their restores are alike too, and the first and last two of each fail.
        const int size = static_cast<int>(stamps.size());
        auto ends = [&](int i) { return i < 2 || i >= size - 2; };
        const int after = in - flushCommands;
        if (after < size) return ends(after);
        if (after > size && after <= 2 * size) return ends(after - size - 1);
        return true;
    };
    for (bool sticky : {false, true}) {
        for (Fault fault : {Fault::CheckCondition, Fault::TransportFailure}) {
            for (int n = 1; n <= commands; ++n) {
                if (!sampled(n)) continue;
                SCOPED_TRACE(testing::Message() << "command " << n << (sticky ? " onwards" : "")
                                                << (fault == Fault::CheckCondition ? " check" : " transport"));
                CardImage card(kImageSectors, FatBootSector(1984000));
                auto recorder = Attach(card, n, fault, sticky);
                op.events.clear();
                repair.RunRepair();
                const auto& cmds = recorder->commands;
                bool transferFailed = false;
                bool writeFailed = false;
                bool layoutBegun = false;
                for (std::size_t i = 0; i < cmds.size(); ++i) {
                    bool failed = !cmds[i].carriedOut || cmds[i].status != 0;
                    BYTE opcode = cmds[i].cdb[0];
                    if (writeFailed && opcode == 0x2A) {
                        EXPECT_EQ(cmds[i].dataOut, std::vector<BYTE>(512, 0)) << "write after a failed write";
                        EXPECT_EQ(std::count(stamps.begin(), stamps.end(), Lba(cmds[i])), 1);
                    }
                    if (failed && (opcode == 0x28 || opcode == 0x2A)) transferFailed = true;
                    if (failed && opcode == 0x2A) writeFailed = true;
                    // The token (or, without an undo file, the boot sector) opens the layout.
                    const std::string token = "brisant repair";
                    if (repair.m_bKeepUndo ? opcode == 0x2A && std::equal(token.begin(), token.end(), cmds[i].dataOut.begin())
                                           : Cmd(cmds[i]) == "W0+2") {
                        layoutBegun = true;
                    }
                }
                EXPECT_EQ(op.Saw(changed), !transferFailed);
                EXPECT_EQ(op.Saw("message:Please re-plugin this card again"), !transferFailed);
                if (transferFailed && n > 1) {
                    EXPECT_TRUE(op.Saw("message:Change the drive's capacity fail"));
                    auto close = std::find(op.events.begin(), op.events.end(), "close");
                    ASSERT_NE(close, op.events.end());
                    EXPECT_TRUE(close + 1 == op.events.end() || *(close + 1) == "writes:end");
                    EXPECT_FALSE(op.Saw("notify"));
                    EXPECT_NE(Cmd(cmds.back()), "eject");
                }
                if (repair.m_bKeepUndo) {
                    EXPECT_EQ(platform::RemoveFile(undo), layoutBegun);
                }
                if (!sticky && !layoutBegun && cmds.size() >= static_cast<std::size_t>(n) &&
                    cmds[n - 1].cdb[0] == 0x28) {
                    for (DWORD lba : stamps) EXPECT_EQ(card.Read(lba), std::vector<BYTE>(512, 0)) << lba;
                }
            }
        }
    }
}

// A reader whose card can be swapped for another, saying so at its next
// command or not, that can refuse to hold its card, or drop what is written.
class SwappingTarget : public platform::ScsiTarget {
public:
    explicit SwappingTarget(std::shared_ptr<platform::ScsiTarget> inner) : inner_(std::move(inner)) {}
    bool Execute(platform::ScsiExchange& x) override {
        if (unitAttention) {
            unitAttention = false;
            x.CheckCondition(0x6, 0x28, 0x00);  // NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED
            return true;
        }
        if (refusePrevent && x.cdb[0] == platform::op::kPreventAllowMediumRemoval && x.cdb[4] == 1) {
            x.CheckCondition(platform::sense::kIllegalRequest, 0x24, 0x00);
            return true;
        }
        if (dropWrites && x.cdb[0] == platform::op::kWrite10) {
            x.status = platform::kStatusGood;
            return true;
        }
        return inner_->Execute(x);
    }
    void Released() override { inner_->Released(); }

    std::shared_ptr<platform::ScsiTarget> inner_;
    bool unitAttention = false;
    bool refusePrevent = false;
    bool dropWrites = false;
};

// The card is judged again, with its removal prevented, right before the
// undo's first write: a card swapped while the operator was asked gets
// nothing of the other card's bytes.
TEST_F(RepairTest, UndoJudgesTheCardAgainBeforeItsFirstWrite) {
    platform::Sha256Digest digest{};
    if (!platform::Sha256("", 0, digest)) GTEST_SKIP() << "no SHA-256: no undo files";
    struct Row {
        const char* what;
        bool swap, unitAttention, refusePrevent, dropWrites;
        const char* why;  // "" when the undo goes ahead
    };
    const Row rows[] = {
        {"the same card", false, false, false, false, ""},
        {"swapped, and the reader says so", true, true, false, false, "could not be held"},
        {"swapped silently", true, false, false, false, "changed while the question was asked"},
        {"the reader will not hold the card", false, false, true, false, "could not be held"},
        {"the card does not keep what is written", false, false, false, true, "did not read back as written"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        CardImage card(kImageSectors, FatBootSector(1984000));
        std::vector<BYTE> noise(512 * 518);
        for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<BYTE>(i * 7 + i / 512);
        card.Write(2, noise);
        const std::vector<BYTE> before = card.Read(0, 521);
        const std::string file = ::testing::TempDir() + "judged-again.brisant-undo";
        platform::RemoveFile(file);
        repair.m_bKeepUndo = true;
        repair.m_strUndoFile = file;
        Attach(card);
        repair.RunRepair();
        ASSERT_TRUE(op.Saw("message:The drive's capacity have change to 2G bytes."));
        std::vector<BYTE> bytes;
        std::string why;
        UndoRecord record;
        ASSERT_TRUE(platform::ReadWholeFile(file, bytes, why, kUndoFileLimit)) << why;
        ASSERT_EQ(DecodeUndo(bytes, record), "");
        platform::RemoveFile(file);

        CardImage other(kImageSectors, FatBootSector(1984000));
        const std::vector<BYTE> otherBefore = other.Read(0, 521);
        const std::vector<BYTE> repaired = card.Read(0, 521);
        auto reader = std::make_shared<SwappingTarget>(platform::OpenCardImage(card.path()));
        platform::MapDrive('E', reader, card.path());
        HANDLE handle = device.OpenDrive('E');
        UndoJudgement asked;
        ASSERT_TRUE(InspectCard(device, handle, record, asked));
        EXPECT_EQ(asked.state, UndoState::Ready);
        if (r.swap) reader->inner_ = platform::OpenCardImage(other.path());
        reader->unitAttention = r.unitAttention;
        reader->refusePrevent = r.refusePrevent;
        reader->dropWrites = r.dropWrites;
        bool wrote = true;
        why = RestoreCard(device, handle, record, asked, wrote);
        device.CloseDrive(handle);
        reader->inner_->Released();
        EXPECT_NE(why.find(r.why), std::string::npos) << why;
        EXPECT_EQ(why.empty(), std::string(r.why).empty()) << why;
        EXPECT_EQ(wrote, why.empty() || r.dropWrites);
        EXPECT_EQ(other.Read(0, 521), otherBefore);
        EXPECT_EQ(card.Read(0, 521), why.empty() ? before : repaired);
        EXPECT_EQ(card.Read(3967999) == std::vector<BYTE>(512, 0), why.empty())
            << "the token stays until the card is given back";
    }
}

// Flips one byte of one sector on every read of it.
class FlippingTarget : public platform::ScsiTarget {
public:
    FlippingTarget(std::shared_ptr<platform::ScsiTarget> inner, DWORD lba) : inner_(std::move(inner)), lba_(lba) {}
    bool Execute(platform::ScsiExchange& x) override {
        const bool done = inner_->Execute(x);
        const DWORD first = platform::Lba(x.cdb);
        if (done && x.cdb[0] == 0x28 && lba_ >= first && lba_ < first + platform::Count(x.cdb)) {
            x.data[(lba_ - first) * 512 + 100] ^= 0x01;
        }
        return done;
    }
    void Released() override { inner_->Released(); }

private:
    std::shared_ptr<platform::ScsiTarget> inner_;
    DWORD lba_;
};

// Each kind of card the surface test must see through, on a small image:
// what every sector read back is counted as, and where the first bad one is.
TEST_F(RepairTest, SurfaceTestJudgesEverySector) {
    constexpr DWORD kSectors = 1u << 16;
    constexpr DWORD kNone = SurfaceReport::kNone;
    using Wrap = std::function<std::shared_ptr<platform::ScsiTarget>(std::shared_ptr<platform::ScsiTarget>)>;
    auto fold = [](FoldingTarget::Fold f, std::uint32_t size) -> Wrap {
        return [=](auto inner) { return std::make_shared<FoldingTarget>(inner, f, size); };
    };
    struct Row {
        const char* what;
        Wrap wrap;
        DWORD good, dropped, wrapped, changed, firstBad, firstWrapped, wrappedFrom;
        bool earlierRun = false;  // a genuine run has left its patterns first
    };
    const Row rows[] = {
        {"genuine", nullptr, kSectors, 0, 0, 0, kNone, kNone, 0},
        {"wraps at 2^15", fold(FoldingTarget::Mask, 1u << 15), 1u << 15, 0, 1u << 15, 0, 0, 0, 1u << 15},
        {"wraps at 40000", fold(FoldingTarget::Wrap, 40000), 40000, 0, 25536, 0, 0, 0, 40000},
        {"ignores address bit 3", fold(FoldingTarget::DropBit, 8), 32768, 0, 32768, 0, 0, 0, 8},
        {"drops writes from 50000 on", fold(FoldingTarget::Hollow, 50000), 50000, 15536, 0, 0, 50000, kNone, 0},
        {"caches 1000 sectors past its end at 50000",
         [](auto inner) { return std::make_shared<CachingTarget>(inner, 50000, 1000); }, 51000, 14536, 0, 0, 50000,
         kNone, 0},
        {"drops every write, holds an earlier run's patterns",
         [](auto inner) { return std::make_shared<ForgetfulTarget>(inner); }, 0, kSectors, 0, 0, 0, kNone, 0, true},
        {"one byte changed in sector 777", [](auto inner) { return std::make_shared<FlippingTarget>(inner, 777); },
         kSectors - 1, 0, 0, 1, 777, kNone, 0},
    };
    for (const Row& r : rows) {
        CardImage card(kSectors);
        card.Write(3, std::vector<BYTE>(512, 0x77));
        if (r.earlierRun) {
            Attach(card);
            HANDLE h = device.OpenDrive('E');
            ASSERT_TRUE(RunSurfaceTest(device, h, kSectors, op).AllGood());
            device.CloseDrive(h);
        }
        std::shared_ptr<platform::ScsiTarget> target = platform::OpenCardImage(card.path());
        if (r.wrap) target = r.wrap(target);
        auto recorder = std::make_shared<RecordingTarget>(target);
        platform::MapDrive('E', recorder, card.path());
        HANDLE h = device.OpenDrive('E');
        const SurfaceReport report = RunSurfaceTest(device, h, kSectors, op);
        device.CloseDrive(h);

        EXPECT_EQ((std::vector<DWORD>{report.good, report.dropped, report.wrapped, report.changed}),
                  (std::vector<DWORD>{r.good, r.dropped, r.wrapped, r.changed}))
            << r.what;
        EXPECT_EQ(report.firstBad, r.firstBad) << r.what;
        EXPECT_EQ(report.firstWrapped, r.firstWrapped) << r.what;
        if (r.wrapped > 0) {
            EXPECT_EQ(report.wrappedFrom, r.wrappedFrom) << r.what;
            // The distance tells how far the card folds: upwards, so with a plus.
            const std::string fold = "sector " + std::to_string(r.firstWrapped) + " holds the pattern of sector " +
                                     std::to_string(r.wrappedFrom) + ", +" +
                                     std::to_string(r.wrappedFrom - r.firstWrapped) + ")";
            const std::vector<std::string> summary = SurfaceSummary(report);
            EXPECT_TRUE(std::any_of(summary.begin(), summary.end(),
                                    [&](const std::string& l) { return l.find(fold) != std::string::npos; }))
                << r.what << ": no " << fold;
        }
        EXPECT_EQ(report.AllGood(), r.firstBad == kNone) << r.what;
        // Everything written, in order and in commands of at most 128
        // sectors, before anything is read back.
        DWORD next = 0;
        bool reading = false;
        for (const auto& c : recorder->commands) {
            EXPECT_LE(platform::Count(c.cdb.data()), 128u) << r.what;
            if (c.cdb[0] == 0x28 && !reading) {
                EXPECT_EQ(next, kSectors) << r.what;
                reading = true;
                next = 0;
            }
            EXPECT_EQ(Lba(c), next) << r.what;
            next += platform::Count(c.cdb.data());
        }
        EXPECT_EQ(next, kSectors) << r.what;
    }
}

// Stops the surface test once it has been asked `after` times.
class StoppingOperator : public Operator {
public:
    int after = -1;
    bool StopRequested() override { return after >= 0 && after-- == 0; }
};

// The repair with the surface test on cards of the least eligible size
// (1,400,000 declared sectors): the doubled layout only for a card whose
// every sector held, the declared one for a card that fails only above its
// declared size or whose test was stopped, none for a card that fails below
// it; never the completion messages but for the doubled layout.
TEST_F(RepairTest, VerifiedRepairOutcomes) {
    constexpr DWORD kDeclared = 1400000;
    constexpr DWORD kTarget = 2 * kDeclared;
    constexpr int kWrites = kTarget / 128;  // the test's write commands; the probe and last-sector read come first
    using Refusal = CCapacityRepair::Refusal;
    using Wrap = std::function<std::shared_ptr<platform::ScsiTarget>(std::shared_ptr<platform::ScsiTarget>)>;
    struct Row {
        const char* what;
        Wrap wrap;
        int stopAfter;
        Refusal refusal;
        DWORD layout;  // the capacity sector 0 declares afterwards, 0 for the patterns left
        DWORD declared = kDeclared;
    };
    auto fault = [](int at, bool sticky) -> Wrap {
        return [=](auto inner) { return std::make_shared<FaultyTarget>(inner, at, Fault::CheckCondition, sticky); };
    };
    const Row rows[] = {
        {"genuine", nullptr, -1, Refusal::None, kTarget},
        {"drops writes past its declared size",
         [=](auto inner) { return std::make_shared<FoldingTarget>(inner, FoldingTarget::Hollow, kDeclared); }, -1,
         Refusal::DeclaredOnly, kDeclared},
        {"caches 4096 sectors past its declared size",
         [=](auto inner) { return std::make_shared<CachingTarget>(inner, kDeclared, 4096); }, -1,
         Refusal::DeclaredOnly, kDeclared},
        {"wraps at 2^21 sectors, above its declared size: its declared sectors tested again alone",
         [](auto inner) { return std::make_shared<FoldingTarget>(inner, FoldingTarget::Mask, 1u << 21); }, -1,
         Refusal::DeclaredOnly, kDeclared},
        {"wraps at 2^20 sectors, below its declared size",
         [](auto inner) { return std::make_shared<FoldingTarget>(inner, FoldingTarget::Mask, 1u << 20); }, -1,
         Refusal::Damaged, 0},
        {"a write past the declared size fails", fault(2 + 11000, false), -1, Refusal::DeclaredOnly, kDeclared},
        {"vanishes while writing", fault(2 + 100, true), -1, Refusal::Damaged, 0},
        {"vanishes while reading back", fault(2 + kWrites + 100, true), -1, Refusal::Damaged, 0},
        {"vanishes at the first write", fault(3, true), -1, Refusal::Command, 0},
        {"stopped while writing", nullptr, 5000, Refusal::Stopped, kDeclared},
        {"stopped while reading back", nullptr, kWrites + 5000, Refusal::Stopped, kDeclared},
        {"stopped at the last read-back", nullptr, 2 * kWrites, Refusal::Stopped, kDeclared},
        {"stopped on a card that is not doubled", nullptr, 5000, Refusal::Stopped, 2100000, 2100000},
    };
    const std::string changed = "message:The drive's capacity have change to 2G bytes.";
    for (const Row& r : rows) {
        CardImage card(TargetCapacity(r.declared), FatBootSector(r.declared));
        std::shared_ptr<platform::ScsiTarget> target = platform::OpenCardImage(card.path());
        if (r.wrap) target = r.wrap(target);
        platform::MapDrive('E', target, card.path());
        StoppingOperator stopping;
        stopping.after = r.stopAfter;
        CCapacityRepair verified(device, stopping);
        verified.m_bVerify = true;
        verified.RunRepair();

        EXPECT_EQ(verified.m_Refusal, r.refusal) << r.what;
        EXPECT_EQ(stopping.Saw(changed), r.refusal == Refusal::None) << r.what;
        EXPECT_EQ(stopping.Saw("message:Please re-plugin this card again"), r.refusal == Refusal::None) << r.what;
        EXPECT_EQ(stopping.Saw("message:Change the drive's capacity fail"), r.refusal != Refusal::None) << r.what;
        EXPECT_EQ(stopping.events.back(), r.refusal == Refusal::Damaged || r.refusal == Refusal::Command
                                              ? "writes:end" : "close") << r.what;
        const std::vector<BYTE> sector0 = card.Read(0);
        if (r.refusal == Refusal::Command) {
            EXPECT_EQ(sector0, FatBootSector(r.declared)) << r.what << ": the card was written";
        } else if (r.layout == 0) {
            EXPECT_NE(sector0[510], 0x55) << r.what << ": a layout on a damaged card";
        } else {
            const DWORD total = DWORD{sector0[32]} | DWORD{sector0[33]} << 8 | DWORD{sector0[34]} << 16 |
                                DWORD{sector0[35]} << 24;
            EXPECT_EQ(total, r.layout) << r.what;
            EXPECT_EQ(sector0[510], 0x55) << r.what;
        }
    }
}

TEST(ExplorerNotify, PostsTheRefreshCommandToExplorerWindowsOnly) {
    platform::testing::FakeDesktop desktop({
        {"CabinetWClass"},
        {"Notepad"},
        {"exploreWCLASS"},
        {"CabinetWClass", false},
        {"cabinetwclass"},
        {"ExploreWClassX"},
    });
    NotifyExplorerWindows();
    ASSERT_EQ(desktop.posted.size(), 3u);
    const std::size_t expected[] = {0, 2, 4};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(desktop.posted[i].window, desktop.Window(expected[i]));
        EXPECT_EQ(desktop.posted[i].message, 0x111u);
        EXPECT_EQ(desktop.posted[i].wParam, 41061u);
        EXPECT_EQ(desktop.posted[i].lParam, 0);
    }
    EXPECT_EQ(desktop.callbackResults, std::vector<BOOL>(6, TRUE));
}

}  // namespace

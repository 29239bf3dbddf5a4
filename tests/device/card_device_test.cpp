// The card device's command channel, seen from the platform boundary: the
// request blocks it hands over, how transfers split and stop, the drive sweep
// and who owns which handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../scsi/test_support.h"
#include "device/card_device.h"
#include "device/scsi_request_block.h"
#include "scsi/drive_map.h"
#include "platform/testing.h"
#include "scsi/testing.h"

namespace {

using brisant_test::DriveMapTest;
using brisant_test::kLayout;
using brisant_test::Pattern;
using brisant_test::PutLe;
using brisant_test::SameBytes;
using brisant_test::TempImage;
using platform::DataDirection;
using platform::ScsiExchange;
using platform::ScsiTarget;
using namespace platform::testing;

constexpr std::uint8_t kGood = platform::kStatusGood;
constexpr std::uint8_t kCheckCondition = platform::kStatusCheckCondition;

using Cdb = std::array<std::uint8_t, 10>;

struct ExpectedBlock {
    Cdb cdb;
    std::uint8_t dataIn;
    std::uint32_t length;
    const void* buffer;
    std::uint32_t timeout;
};

std::vector<std::uint8_t> BlockBytes(const ExpectedBlock& e) {
    std::vector<std::uint8_t> b(kLayout.size, 0);
    PutLe(b, brisant_test::kLength, kLayout.header, 2);
    b[brisant_test::kTargetId] = 1;
    b[brisant_test::kCdbLength] = 10;
    b[brisant_test::kSenseInfoLength] = 24;
    b[brisant_test::kDataIn] = e.dataIn;
    PutLe(b, brisant_test::kDataTransferLength, e.length, 4);
    PutLe(b, brisant_test::kTimeOutValue, e.timeout, 4);
    PutLe(b, kLayout.dataBuffer, reinterpret_cast<std::uintptr_t>(e.buffer), sizeof(void*));
    PutLe(b, kLayout.senseInfoOffset, kLayout.senseData, 4);
    std::copy(e.cdb.begin(), e.cdb.end(), b.begin() + static_cast<std::ptrdiff_t>(kLayout.cdb));
    return b;
}

Cdb TransferCdb(std::uint8_t opcode, std::uint32_t lba, std::uint32_t sectors) {
    return {opcode, 0x00, static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0x00,
            static_cast<std::uint8_t>(sectors >> 8), static_cast<std::uint8_t>(sectors), 0x00};
}

// A device whose answers a test chooses: the INQUIRY reply, the status every
// command ends with, whether the transport carries commands at all.
class ScriptedTarget : public ScsiTarget {
public:
    explicit ScriptedTarget(std::vector<std::uint8_t> inquiryReply = {0x00, 0x80}) : inquiry(std::move(inquiryReply)) {}

    bool Execute(ScsiExchange& x) override {
        opcodes.push_back(x.cdb[0]);
        std::uint32_t moved = 0;
        if (x.direction == DataDirection::In && x.cdb[0] == 0x12) {
            inquiryByte0OnArrival = x.data[0];
            moved = std::min<std::uint32_t>(static_cast<std::uint32_t>(inquiry.size()), x.dataLength);
            if (moved > 0) std::memcpy(x.data, inquiry.data(), moved);
        } else if (x.direction == DataDirection::In) {
            std::memset(x.data, 0xA5, x.dataLength);
            moved = x.dataLength - shortBy;
        } else if (x.direction == DataDirection::Out) {
            moved = x.dataLength - shortBy;
        }
        x.residual = x.dataLength - moved;
        x.status = kGood;
        x.senseLength = 0;
        if (status == kCheckCondition) {
            x.CheckCondition(platform::sense::kHardwareError, 0x44, 0x00);
        } else if (status != kGood) {
            x.status = status;
        } else if (senseOnGood) {
            // Leaves sense bytes behind although the command succeeded.
            x.CheckCondition(0x01, 0x17, 0x01);
            x.status = kGood;
        }
        return carriedOut;
    }
    void Released() override { ++released; }

    std::vector<std::uint8_t> inquiry;
    std::uint8_t status = kGood;
    bool carriedOut = true;
    bool senseOnGood = false;
    std::uint32_t shortBy = 0;  // bytes of a transfer left unmoved

    std::vector<std::uint8_t> opcodes;
    int inquiryByte0OnArrival = -1;
    int released = 0;
};

using ChannelTest = DriveMapTest;

// ---------------------------------------------------------------------------
// Byte-exact request blocks of the five commands.

enum class Area { Own, Caller, None };

struct CommandCase {
    const char* name;
    std::function<BOOL(CCardDevice&, HANDLE, BYTE*)> run;
    Cdb cdb;
    std::uint8_t dataIn;
    std::uint32_t length;
    Area area;
    std::uint32_t timeout;
};

TEST_F(ChannelTest, EachCommandIsOneExactRequestBlock) {
    const std::vector<CommandCase> cases = {
        {"Inquiry", [](CCardDevice& d, HANDLE h, BYTE*) { return d.Inquiry(h); },
         {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0}, 1, 36, Area::Own, 2},
        {"ReadSectors 1 at 258", [](CCardDevice& d, HANDLE h, BYTE* b) { return d.ReadSectors(h, b, 258, 1); },
         {0x28, 0, 0x00, 0x00, 0x01, 0x02, 0, 0x00, 0x01, 0}, 1, 512, Area::Caller, 2},
        {"ReadSectors 128 at A1B2C3D4",
         [](CCardDevice& d, HANDLE h, BYTE* b) { return d.ReadSectors(h, b, 0xA1B2C3D4u, 128); },
         {0x28, 0, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0x00, 0x80, 0}, 1, 65536, Area::Caller, 2},
        {"WriteSectors 1 at 2097152",
         [](CCardDevice& d, HANDLE h, BYTE* b) { return d.WriteSectors(h, b, 2097152, 1); },
         {0x2A, 0, 0x00, 0x20, 0x00, 0x00, 0, 0x00, 0x01, 0}, 0, 512, Area::Caller, 2},
        {"WriteSectors 128 at 258", [](CCardDevice& d, HANDLE h, BYTE* b) { return d.WriteSectors(h, b, 258, 128); },
         {0x2A, 0, 0x00, 0x00, 0x01, 0x02, 0, 0x00, 0x80, 0}, 0, 65536, Area::Caller, 2},
        {"PreventMediumRemoval(0)", [](CCardDevice& d, HANDLE h, BYTE*) { return d.PreventMediumRemoval(h, 0); },
         {0x1E, 0, 0, 0, 0x00, 0, 0, 0, 0, 0}, 0, 0, Area::None, 120},
        {"PreventMediumRemoval(1)", [](CCardDevice& d, HANDLE h, BYTE*) { return d.PreventMediumRemoval(h, 1); },
         {0x1E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0}, 0, 0, Area::None, 120},
        {"PreventMediumRemoval(2)", [](CCardDevice& d, HANDLE h, BYTE*) { return d.PreventMediumRemoval(h, 2); },
         {0x1E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0}, 0, 0, Area::None, 120},
        {"PreventMediumRemoval(0x80)",
         [](CCardDevice& d, HANDLE h, BYTE*) { return d.PreventMediumRemoval(h, 0x80); },
         {0x1E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0}, 0, 0, Area::None, 120},
        {"EjectMedium", [](CCardDevice& d, HANDLE h, BYTE*) { return d.EjectMedium(h); },
         {0x1B, 0, 0, 0, 0x02, 0, 0, 0, 0, 0}, 0, 0, Area::None, 120},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = std::make_shared<ScriptedTarget>();
        auto recorder = std::make_shared<RecordingTarget>(device);
        platform::MapDrive('D', recorder, "recorder");
        std::vector<BYTE> buffer(65536, 0x3C);

        CCardDevice card;
        HANDLE h = card.OpenDrive('D');
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(c.run(card, h, buffer.data()));
        EXPECT_TRUE(card.CloseDrive(h));

        ASSERT_EQ(recorder->commands.size(), 1u);
        const auto& sent = recorder->commands[0];
        const void* area = nullptr;
        if (c.area == Area::Caller) area = buffer.data();
        if (c.area == Area::Own) {
            // Its own reply area: somewhere that is neither null nor the caller's buffer.
            area = sent.data;
            EXPECT_NE(area, nullptr);
            EXPECT_NE(area, static_cast<const void*>(buffer.data()));
        }
        EXPECT_TRUE(SameBytes(sent.block, BlockBytes({c.cdb, c.dataIn, c.length, area, c.timeout})));
        if (c.area == Area::Caller && c.dataIn == 0) {
            EXPECT_EQ(sent.dataOut, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + c.length));
        }
    }
}

// ---------------------------------------------------------------------------
// Transfers split into commands of at most 128 sectors.

struct Piece {
    std::uint32_t lba;
    std::uint32_t sectors;
    std::size_t offset;
};
struct SplitCase {
    std::uint32_t count;
    std::uint32_t lba;
    std::vector<Piece> pieces;
};

TEST_F(ChannelTest, TransfersSplitIntoCommandsOfAtMost128Sectors) {
    const std::vector<SplitCase> cases = {
        {0, 5, {}},
        {1, 0, {{0, 1, 0}}},
        {128, 7, {{7, 128, 0}}},
        {129, 0, {{0, 128, 0}, {128, 1, 65536}}},
        {256, 0xFFFFFF00u, {{0xFFFFFF00u, 128, 0}, {0xFFFFFF80u, 128, 65536}}},
        {257, 2, {{2, 128, 0}, {130, 128, 65536}, {258, 1, 131072}}},
    };
    for (bool write : {false, true}) {
        for (const SplitCase& c : cases) {
            SCOPED_TRACE(std::string(write ? "write " : "read ") + std::to_string(c.count) + " at " +
                         std::to_string(c.lba));
            auto recorder = std::make_shared<RecordingTarget>();
            platform::MapDrive('E', recorder, "recorder");
            std::vector<BYTE> buffer = Pattern(0, std::max<std::uint32_t>(c.count, 1));

            CCardDevice card;
            HANDLE h = card.OpenDrive('E');
            ASSERT_NE(h, nullptr);
            BOOL ok = write ? card.WriteSectors(h, buffer.data(), c.lba, c.count)
                            : card.ReadSectors(h, buffer.data(), c.lba, c.count);
            card.CloseDrive(h);

            EXPECT_TRUE(ok);
            ASSERT_EQ(recorder->commands.size(), c.pieces.size());
            const std::vector<BYTE> original = Pattern(0, std::max<std::uint32_t>(c.count, 1));
            for (std::size_t i = 0; i < c.pieces.size(); ++i) {
                SCOPED_TRACE("command " + std::to_string(i + 1));
                const Piece& p = c.pieces[i];
                const auto& sent = recorder->commands[i];
                EXPECT_TRUE(SameBytes(sent.block, BlockBytes({TransferCdb(write ? 0x2A : 0x28, p.lba, p.sectors),
                                                              static_cast<std::uint8_t>(write ? 0 : 1),
                                                              p.sectors * 512, buffer.data() + p.offset, 2})));
                if (write) {
                    auto from = original.begin() + static_cast<std::ptrdiff_t>(p.offset);
                    EXPECT_EQ(sent.dataOut, std::vector<std::uint8_t>(from, from + p.sectors * 512));
                }
            }
        }
    }
}

// A device may leave sense bytes and a residual behind on a GOOD command; the
// next command of the same transfer must still start from a zeroed block.
TEST_F(ChannelTest, EveryCommandOfATransferStartsFromAFreshBlock) {
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        auto device = std::make_shared<ScriptedTarget>();
        device->senseOnGood = true;
        auto recorder = std::make_shared<RecordingTarget>(device);
        platform::MapDrive('F', recorder, "recorder");
        std::vector<BYTE> buffer = Pattern(0, 257);

        CCardDevice card;
        HANDLE h = card.OpenDrive('F');
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(write ? card.WriteSectors(h, buffer.data(), 2, 257) : card.ReadSectors(h, buffer.data(), 2, 257));
        card.CloseDrive(h);

        const Piece pieces[] = {{2, 128, 0}, {130, 128, 65536}, {258, 1, 131072}};
        ASSERT_EQ(recorder->commands.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE("command " + std::to_string(i + 1));
            EXPECT_TRUE(SameBytes(recorder->commands[i].block,
                                  BlockBytes({TransferCdb(write ? 0x2A : 0x28, pieces[i].lba, pieces[i].sectors),
                                              static_cast<std::uint8_t>(write ? 0 : 1), pieces[i].sectors * 512,
                                              buffer.data() + pieces[i].offset, 2})));
        }
    }
}

// The same split against the virtual card reader: every sector lands where
// its LBA says, and nothing around it is touched.
TEST_F(ChannelTest, SplitTransfersPlaceEverySectorOnTheCard) {
    TempImage image(300);
    ASSERT_TRUE(platform::MapDrive('G', image.path()));
    const std::vector<BYTE> data = Pattern(1000, 257);
    std::vector<BYTE> buffer = data;

    CCardDevice card;
    HANDLE h = card.OpenDrive('G');
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(card.WriteSectors(h, buffer.data(), 2, 257));
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(image.Read(2, 257), data);
    EXPECT_EQ(image.Read(0, 2), std::vector<std::uint8_t>(1024, 0));
    EXPECT_EQ(image.Read(259, 41), std::vector<std::uint8_t>(41 * 512, 0));

    std::vector<BYTE> back(257 * 512, 0);
    EXPECT_TRUE(card.ReadSectors(h, back.data(), 2, 257));
    EXPECT_EQ(back, data);
    card.CloseDrive(h);
}

TEST_F(ChannelTest, HighLbaReachesItsByteOffsetOnTheCard) {
    constexpr std::uint32_t kLba = 2097152;  // 1 GiB in
    TempImage image(kLba + 2);
    ASSERT_TRUE(platform::MapDrive('H', image.path()));
    std::vector<BYTE> data = Pattern(kLba, 1);

    CCardDevice card;
    HANDLE h = card.OpenDrive('H');
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(card.WriteSectors(h, data.data(), kLba, 1));
    card.CloseDrive(h);
    EXPECT_EQ(image.Read(kLba, 1), data);
    EXPECT_EQ(image.Read(kLba + 1, 1), std::vector<std::uint8_t>(512, 0));
    EXPECT_EQ(image.Read(0, 1), std::vector<std::uint8_t>(512, 0));
}

// ---------------------------------------------------------------------------
// A failed command ends the transfer.

struct FailureCase {
    bool write;
    int failAt;
    Fault fault;
};

TEST_F(ChannelTest, AFailedCommandStopsTheTransferAndKeepsWhatWasDone) {
    std::vector<FailureCase> cases;
    for (bool write : {true, false}) {
        for (int failAt : {1, 2, 3}) {
            for (Fault fault : {Fault::TransportFailure, Fault::CheckCondition}) cases.push_back({write, failAt, fault});
        }
    }
    const std::uint32_t firstLba[] = {2, 130, 258};
    const std::uint32_t sectors[] = {128, 128, 1};
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(std::string(c.write ? "write" : "read") + ", command " + std::to_string(c.failAt) + " fails by " +
                     (c.fault == Fault::TransportFailure ? "transport" : "CHECK CONDITION"));
        TempImage image(300);
        const std::vector<BYTE> onCard = Pattern(5000, 300);
        if (!c.write) image.Write(0, onCard);
        auto reader = platform::OpenCardImage(image.path());
        ASSERT_NE(reader, nullptr);
        auto faulty = std::make_shared<FaultyTarget>(reader, c.failAt, c.fault);
        auto recorder = std::make_shared<RecordingTarget>(faulty);
        platform::MapDrive('J', recorder, "faulty");
        const std::vector<BYTE> data = Pattern(0, 257);
        std::vector<BYTE> buffer = c.write ? data : std::vector<BYTE>(257 * 512, 0);

        CCardDevice card;
        HANDLE h = card.OpenDrive('J');
        ASSERT_NE(h, nullptr);
        BOOL ok = c.write ? card.WriteSectors(h, buffer.data(), 2, 257) : card.ReadSectors(h, buffer.data(), 2, 257);
        card.CloseDrive(h);

        EXPECT_FALSE(ok);
        ASSERT_EQ(recorder->commands.size(), static_cast<std::size_t>(c.failAt)) << "sent past the failed command";
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE("command " + std::to_string(i + 1));
            std::size_t from = static_cast<std::size_t>(firstLba[i] - 2) * 512;
            std::size_t bytes = static_cast<std::size_t>(sectors[i]) * 512;
            bool done = i + 1 < c.failAt;
            if (c.write) {
                auto want = done ? std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(from),
                                                             data.begin() + static_cast<std::ptrdiff_t>(from + bytes))
                                 : std::vector<std::uint8_t>(bytes, 0);
                EXPECT_EQ(image.Read(firstLba[i], sectors[i]), want);
            } else if (done) {
                auto got = std::vector<std::uint8_t>(buffer.begin() + static_cast<std::ptrdiff_t>(from),
                                                     buffer.begin() + static_cast<std::ptrdiff_t>(from + bytes));
                EXPECT_EQ(got, image.Read(firstLba[i], sectors[i]));
            }
        }
    }
}

// A command the platform carried out counts only when the device ended it
// GOOD; anything the transport could not carry out fails too.
TEST_F(ChannelTest, OnlyGoodStatusCountsAsSuccess) {
    struct Op {
        const char* name;
        std::function<BOOL(CCardDevice&, HANDLE, BYTE*)> run;
    };
    const std::vector<Op> ops = {
        {"Inquiry", [](CCardDevice& d, HANDLE h, BYTE*) { return d.Inquiry(h); }},
        {"ReadSectors", [](CCardDevice& d, HANDLE h, BYTE* b) { return d.ReadSectors(h, b, 0, 1); }},
        {"WriteSectors", [](CCardDevice& d, HANDLE h, BYTE* b) { return d.WriteSectors(h, b, 0, 1); }},
        {"PreventMediumRemoval", [](CCardDevice& d, HANDLE h, BYTE*) { return d.PreventMediumRemoval(h, 1); }},
        {"EjectMedium", [](CCardDevice& d, HANDLE h, BYTE*) { return d.EjectMedium(h); }},
    };
    struct Answer {
        const char* name;
        std::uint8_t status;
        bool carriedOut;
        BOOL expected;
    };
    const std::vector<Answer> answers = {
        {"GOOD", 0x00, true, TRUE},
        {"CHECK CONDITION", 0x02, true, FALSE},
        {"CONDITION MET", 0x04, true, FALSE},
        {"BUSY", 0x08, true, FALSE},
        {"RESERVATION CONFLICT", 0x18, true, FALSE},
        {"TASK SET FULL", 0x28, true, FALSE},
        {"transport failure", 0x00, false, FALSE},
    };
    for (const Op& op : ops) {
        for (const Answer& a : answers) {
            SCOPED_TRACE(std::string(op.name) + " answered " + a.name);
            auto device = std::make_shared<ScriptedTarget>();
            device->status = a.status;
            device->carriedOut = a.carriedOut;
            platform::MapDrive('K', device, "scripted");
            std::vector<BYTE> buffer(512, 0x11);

            CCardDevice card;
            HANDLE h = card.OpenDrive('K');
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(op.run(card, h, buffer.data()), a.expected);
            card.CloseDrive(h);
            EXPECT_EQ(device->opcodes.size(), 1u);
        }
    }
}

// GOOD with data left unmoved is a sector that was never read or written.
TEST_F(ChannelTest, ATransferCutShortFailsDespiteGoodStatus) {
    for (std::uint32_t shortBy : {0u, 1u, 512u}) {
        auto device = std::make_shared<ScriptedTarget>();
        device->shortBy = shortBy;
        platform::MapDrive('K', device, "scripted");
        std::vector<BYTE> buffer(3 * 512);
        CCardDevice card;
        HANDLE h = card.OpenDrive('K');
        EXPECT_EQ(card.ReadSectors(h, buffer.data(), 0, 3), shortBy == 0) << shortBy;
        EXPECT_EQ(card.WriteSectors(h, buffer.data(), 0, 3), shortBy == 0) << shortBy;
        card.CloseDrive(h);
        EXPECT_EQ(device->opcodes.size(), 2u) << shortBy;
    }
}

TEST_F(ChannelTest, CommandsOnAClosedHandleFail) {
    platform::MapDrive('L', std::make_shared<ScriptedTarget>(), "scripted");
    CCardDevice card;
    HANDLE h = card.OpenDrive('L');
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(card.CloseDrive(h));
    std::vector<BYTE> buffer(512, 0);
    EXPECT_FALSE(card.Inquiry(h));
    EXPECT_FALSE(card.ReadSectors(h, buffer.data(), 0, 1));
    EXPECT_FALSE(card.WriteSectors(h, buffer.data(), 0, 1));
    EXPECT_FALSE(card.PreventMediumRemoval(h, 1));
    EXPECT_FALSE(card.EjectMedium(h));
}

// ---------------------------------------------------------------------------
// Inquiry: only a connected, removable direct-access device passes.

TEST_F(ChannelTest, InquiryAcceptsOnlyAConnectedRemovableDisk) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> reply;
        std::uint8_t status;
        bool carriedOut;
        BOOL expected;
    };
    const std::vector<Case> cases = {
        {"removable disk", {0x00, 0x80}, kGood, true, TRUE},
        {"removable disk, other bits of byte 1 set", {0x00, 0xFF}, kGood, true, TRUE},
        {"fixed disk", {0x00, 0x00}, kGood, true, FALSE},
        {"fixed disk, other bits of byte 1 set", {0x00, 0x7F}, kGood, true, FALSE},
        {"CD/DVD", {0x05, 0x80}, kGood, true, FALSE},
        {"tape", {0x01, 0x80}, kGood, true, FALSE},
        {"disk not connected", {0x20, 0x80}, kGood, true, FALSE},
        {"no device", {0x7F, 0x80}, kGood, true, FALSE},
        {"no data at all", {}, kGood, true, FALSE},
        {"only byte 0", {0x00}, kGood, true, FALSE},
        {"removable disk, CHECK CONDITION", {0x00, 0x80}, kCheckCondition, true, FALSE},
        {"removable disk, BUSY", {0x00, 0x80}, 0x08, true, FALSE},
        {"removable disk, transport failure", {0x00, 0x80}, kGood, false, FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto device = std::make_shared<ScriptedTarget>(c.reply);
        device->status = c.status;
        device->carriedOut = c.carriedOut;
        platform::MapDrive('M', device, "scripted");

        CCardDevice card;
        HANDLE h = card.OpenDrive('M');
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(card.Inquiry(h), c.expected);
        card.CloseDrive(h);
    }
}

// A device that sends nothing must find a reply area that already says
// "no device", whatever the stack held before.
TEST_F(ChannelTest, InquiryMarksItsReplyAreaBeforeSending) {
    auto device = std::make_shared<ScriptedTarget>();
    platform::MapDrive('N', device, "scripted");
    CCardDevice card;
    HANDLE h = card.OpenDrive('N');
    ASSERT_NE(h, nullptr);
    card.Inquiry(h);
    card.CloseDrive(h);
    EXPECT_EQ(device->inquiryByte0OnArrival, 0x7F);
}

// ---------------------------------------------------------------------------
// The sweep over D..Z.

std::shared_ptr<ScriptedTarget> RemovableDisk() { return std::make_shared<ScriptedTarget>(std::vector<std::uint8_t>{0x00, 0x80}); }

std::string Listed(const BYTE* letters, BYTE count) { return std::string(letters, letters + count); }

TEST_F(ChannelTest, SweepWithNothingAttachedListsNothing) {
    BYTE letters[32];
    std::memset(letters, 0xEE, sizeof letters);
    CCardDevice card;
    EXPECT_EQ(card.EnumDrives(letters), 0);
    EXPECT_EQ(card.m_hDevice, INVALID_HANDLE_VALUE);
    for (BYTE b : letters) EXPECT_EQ(b, 0xEE);
}

TEST_F(ChannelTest, SweepListsRemovableDisksInLetterOrder) {
    // Attached in another order than the letters run.
    auto k = RemovableDisk(), e = RemovableDisk(), g = RemovableDisk();
    platform::MapDrive('K', k, "K");
    platform::MapDrive('E', e, "E");
    platform::MapDrive('G', g, "G");
    BYTE letters[32];
    std::memset(letters, 0xEE, sizeof letters);

    CCardDevice card;
    BYTE count = card.EnumDrives(letters);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(Listed(letters, count), "EGK");
    for (std::size_t i = 3; i < sizeof letters; ++i) EXPECT_EQ(letters[i], 0xEE) << "entry " << i;
    EXPECT_EQ(card.m_hDevice, INVALID_HANDLE_VALUE);
    for (const auto& t : {e, g, k}) {
        EXPECT_EQ(t->opcodes, std::vector<std::uint8_t>{0x12}) << "one INQUIRY and nothing else";
        EXPECT_EQ(t->released, 1) << "handle closed";
    }
}

TEST_F(ChannelTest, SweepSkipsEverythingButConnectedRemovableDisks) {
    struct Drive {
        char letter;
        std::vector<std::uint8_t> reply;
        std::uint8_t status;
        bool carriedOut;
    };
    const std::vector<Drive> drives = {
        {'D', {0x00, 0x80}, kGood, true},           // listed
        {'E', {0x05, 0x80}, kGood, true},           // CD drive
        {'F', {0x00, 0x00}, kGood, true},           // fixed disk
        {'G', {0x00, 0x80}, kCheckCondition, true}, // refuses INQUIRY
        {'H', {0x00, 0x80}, kGood, false},          // transport fails
        {'I', {0x00, 0x80}, kGood, true},           // listed
        {'J', {0x20, 0x80}, kGood, true},           // not connected
        {'L', {}, kGood, true},                     // sends nothing
        {'Z', {0x00, 0x80}, kGood, true},           // listed, the last letter
    };
    std::vector<std::shared_ptr<ScriptedTarget>> targets;
    for (const Drive& d : drives) {
        auto t = std::make_shared<ScriptedTarget>(d.reply);
        t->status = d.status;
        t->carriedOut = d.carriedOut;
        platform::MapDrive(d.letter, t, std::string(1, d.letter));
        targets.push_back(t);
    }
    // Mapped, but nothing there to open.
    platform::MapDrive('Q', "/nonexistent/brisant-card.img");
    BYTE letters[32];
    std::memset(letters, 0xEE, sizeof letters);

    CCardDevice card;
    BYTE count = card.EnumDrives(letters);
    EXPECT_EQ(Listed(letters, count), "DIZ");
    for (std::size_t i = count; i < sizeof letters; ++i) EXPECT_EQ(letters[i], 0xEE) << "entry " << i;
    EXPECT_EQ(card.m_hDevice, INVALID_HANDLE_VALUE);
    for (std::size_t i = 0; i < drives.size(); ++i) {
        SCOPED_TRACE(std::string("drive ") + drives[i].letter);
        EXPECT_EQ(targets[i]->opcodes, std::vector<std::uint8_t>{0x12});
        EXPECT_EQ(targets[i]->released, 1) << "opened once, closed once";
    }
}

TEST_F(ChannelTest, SweepListsAtMost16Drives) {
    std::vector<std::shared_ptr<ScriptedTarget>> targets;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        targets.push_back(RemovableDisk());
        platform::MapDrive(letter, targets.back(), std::string(1, letter));
    }
    BYTE letters[32];
    std::memset(letters, 0xEE, sizeof letters);

    CCardDevice card;
    BYTE count = card.EnumDrives(letters);
    ASSERT_EQ(count, 16);
    EXPECT_EQ(Listed(letters, count), "DEFGHIJKLMNOPQRS");
    for (std::size_t i = 16; i < sizeof letters; ++i) EXPECT_EQ(letters[i], 0xEE) << "entry " << i;
    EXPECT_EQ(card.m_hDevice, INVALID_HANDLE_VALUE);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        SCOPED_TRACE(std::string("drive ") + static_cast<char>('D' + i));
        EXPECT_EQ(targets[i]->released, 1) << "every opened drive closed once";
        EXPECT_LE(targets[i]->opcodes.size(), 1u);
        for (std::uint8_t op : targets[i]->opcodes) EXPECT_EQ(op, 0x12);
    }
}

TEST_F(ChannelTest, SweepLeavesHandlesItDidNotOpenAlone) {
    auto mine = RemovableDisk(), other = RemovableDisk();
    platform::MapDrive('E', mine, "mine");
    platform::MapDrive('F', other, "other");
    CCardDevice card;
    HANDLE h = card.OpenDrive('E');
    ASSERT_NE(h, nullptr);

    BYTE letters[16];
    EXPECT_EQ(card.EnumDrives(letters), 2);
    EXPECT_EQ(card.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(mine->released, 0) << "the caller's handle is still open";
    std::vector<BYTE> buffer(512);
    EXPECT_TRUE(card.ReadSectors(h, buffer.data(), 0, 1));
    EXPECT_TRUE(card.CloseDrive(h));
    EXPECT_EQ(mine->released, 1);
}

// ---------------------------------------------------------------------------
// Handle bookkeeping.

TEST_F(ChannelTest, OpenDriveHandsOutTheVolumeOfItsLetter) {
    auto r = RemovableDisk(), s = RemovableDisk();
    platform::MapDrive('R', r, "R");
    platform::MapDrive('S', s, "S");
    const int openBefore = platform::OpenVolumeCount();

    CCardDevice card;
    HANDLE h = card.OpenDrive('S');
    ASSERT_NE(h, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(card.m_hDevice, h);
    EXPECT_EQ(platform::OpenVolumeCount(), openBefore + 1);
    EXPECT_TRUE(card.EjectMedium(h));
    EXPECT_TRUE(r->opcodes.empty());
    EXPECT_EQ(s->opcodes, std::vector<std::uint8_t>{0x1B});

    EXPECT_TRUE(card.CloseDrive(h));
    EXPECT_EQ(platform::OpenVolumeCount(), openBefore);
    EXPECT_EQ(s->released, 1);
    EXPECT_EQ(card.m_hDevice, h) << "CloseDrive leaves m_hDevice alone";
    EXPECT_FALSE(card.CloseDrive(h)) << "already closed";
}

TEST_F(ChannelTest, OpenDriveFailureGivesNullAndForgetsTheOldHandle) {
    platform::MapDrive('T', RemovableDisk(), "T");
    CCardDevice card;
    HANDLE first = card.OpenDrive('T');
    ASSERT_NE(first, nullptr);
    const int openBefore = platform::OpenVolumeCount();

    EXPECT_EQ(card.OpenDrive('U'), nullptr);
    EXPECT_EQ(card.m_hDevice, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::OpenVolumeCount(), openBefore) << "the earlier handle stays the caller's";
    EXPECT_TRUE(sys::CloseHandle(first));
}

TEST_F(ChannelTest, DestroyingTheDeviceClosesNothing) {
    auto v = RemovableDisk();
    platform::MapDrive('V', v, "V");
    const int openBefore = platform::OpenVolumeCount();
    HANDLE h = nullptr;
    {
        CCardDevice card;
        h = card.OpenDrive('V');
        ASSERT_NE(h, nullptr);
    }
    EXPECT_EQ(platform::OpenVolumeCount(), openBefore + 1);
    EXPECT_EQ(v->released, 0);
    CCardDevice other;
    EXPECT_TRUE(other.Inquiry(h)) << "the handle still works after its opener is gone";
    EXPECT_TRUE(other.CloseDrive(h));
}

}  // namespace

// The request block's layout read back byte by byte: the storage driver reads
// raw offsets, so every field must sit where the pointer width puts it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "../scsi/test_support.h"
#include "device/scsi_request_block.h"

namespace {

using brisant_test::kLayout;
using brisant_test::PutLe;
using brisant_test::SameBytes;

TEST(RequestBlockLayout, SizesFollowThePointerWidth) {
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), kLayout.header);
    EXPECT_EQ(sizeof(ScsiRequestBlock), kLayout.size);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof(ScsiRequestBlock), 80u);
    }
}

TEST(RequestBlockLayout, EachFieldSitsAtItsOffset) {
    const std::uint64_t pointerValue = sizeof(void*) == 8 ? 0x1122334455667788ull : 0x8899AABBull;
    struct Field {
        const char* name;
        std::size_t offset;
        std::size_t width;
        std::uint64_t value;
        std::function<void(ScsiRequestBlock&, std::uint64_t)> set;
    };
    const std::vector<Field> fields = {
        {"Length", brisant_test::kLength, 2, 0xA1B2,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.Length = static_cast<USHORT>(v); }},
        {"ScsiStatus", brisant_test::kScsiStatus, 1, 0xC3,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.ScsiStatus = static_cast<UCHAR>(v); }},
        {"PathId", brisant_test::kPathId, 1, 0xC4,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.PathId = static_cast<UCHAR>(v); }},
        {"TargetId", brisant_test::kTargetId, 1, 0xC5,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.TargetId = static_cast<UCHAR>(v); }},
        {"Lun", brisant_test::kLun, 1, 0xC6,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.Lun = static_cast<UCHAR>(v); }},
        {"CdbLength", brisant_test::kCdbLength, 1, 0xC7,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.CdbLength = static_cast<UCHAR>(v); }},
        {"SenseInfoLength", brisant_test::kSenseInfoLength, 1, 0xC8,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.SenseInfoLength = static_cast<UCHAR>(v); }},
        {"DataIn", brisant_test::kDataIn, 1, 0xC9,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.DataIn = static_cast<UCHAR>(v); }},
        {"DataTransferLength", brisant_test::kDataTransferLength, 4, 0xA1B2C3D4,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.DataTransferLength = static_cast<ULONG>(v); }},
        {"TimeOutValue", brisant_test::kTimeOutValue, 4, 0xE1E2E3E4,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.TimeOutValue = static_cast<ULONG>(v); }},
        {"DataBuffer", kLayout.dataBuffer, sizeof(void*), pointerValue,
         [](ScsiRequestBlock& b, std::uint64_t v) {
             b.Header.DataBuffer = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(v));
         }},
        {"SenseInfoOffset", kLayout.senseInfoOffset, 4, 0xF1F2F3F4,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.SenseInfoOffset = static_cast<ULONG>(v); }},
        {"Cdb[0]", kLayout.cdb, 1, 0x5A,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.Cdb[0] = static_cast<UCHAR>(v); }},
        {"Cdb[15]", kLayout.cdb + 15, 1, 0x5F,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Header.Cdb[15] = static_cast<UCHAR>(v); }},
        {"Reserved", kLayout.reserved, 4, 0x91929394,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.Reserved = static_cast<ULONG>(v); }},
        {"SenseData[0]", kLayout.senseData, 1, 0x70,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.SenseData[0] = static_cast<UCHAR>(v); }},
        {"SenseData[31]", kLayout.senseData + 31, 1, 0x7E,
         [](ScsiRequestBlock& b, std::uint64_t v) { b.SenseData[31] = static_cast<UCHAR>(v); }},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.name);
        ScsiRequestBlock block;
        std::memset(&block, 0, sizeof block);
        f.set(block, f.value);
        std::vector<std::uint8_t> got(sizeof block);
        std::memcpy(got.data(), &block, sizeof block);

        std::vector<std::uint8_t> want(kLayout.size, 0);
        PutLe(want, f.offset, f.value, f.width);
        EXPECT_TRUE(SameBytes(got, want));
    }
}

}  // namespace

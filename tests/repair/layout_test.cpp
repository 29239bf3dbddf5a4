// Capacity rules, FAT16 geometry and the boot sector, against worked values.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "repair/boot_sector.h"
#include "repair/capacity_rules.h"
#include "repair/fat16_geometry.h"

namespace {

TEST(CapacityRules, EligibilityAndTargetAtTheirBounds) {
    struct Row {
        DWORD capacity;
        bool eligible;
        DWORD target;
    };
    const Row rows[] = {
        {0, false, 0},
        {1399999, false, 2799998},
        {1400000, true, 2800000},
        {2097151, true, 4194302},
        {2097152, true, 2097152},
        {4200000, true, 4200000},
        {4200001, false, 4200001},
        {0xFFFFFFFFu, false, 0xFFFFFFFFu},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(IsCapacityEligible(r.capacity), r.eligible) << r.capacity;
        EXPECT_EQ(TargetCapacity(r.capacity), r.target) << r.capacity;
    }
}

TEST(Fat16Geometry, ClusterSizeChangesJustPastEachLimit) {
    struct Row {
        DWORD capacity;
        BYTE sectorsPerCluster;
    };
    const Row rows[] = {
        {0x20000, 2},  {0x20001, 4},  {0x40000, 4},   {0x40001, 8},   {0x80000, 8},
        {0x80001, 16}, {0x100000, 16}, {0x100001, 32}, {0x200000, 32}, {0x200001, 64},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(ComputeGeometry(r.capacity).sectorsPerCluster, r.sectorsPerCluster) << r.capacity;
    }
}

TEST(Fat16Geometry, WorkedLayouts) {
    struct Row {
        DWORD capacity, written;
        BYTE sectorsPerCluster;
        DWORD fat, fat2, root, data, clusters;
    };
    // The two largest capacities would exceed FAT16's 65,524 clusters, so
    // their volume is cut to the largest total that fits.
    const Row rows[] = {
        {2097152, 2097152, 32, 256, 258, 514, 546, 65518},
        {2097153, 2097153, 64, 128, 130, 258, 290, 32763},
        {2800000, 2800000, 64, 171, 173, 344, 376, 43744},
        {3968000, 3968000, 64, 243, 245, 488, 520, 61991},
        {3981312, 3981312, 64, 243, 245, 488, 520, 62199},
        {4194145, 4194145, 64, 256, 258, 514, 546, 65524},
        {4194146, 4194145, 64, 256, 258, 514, 546, 65524},
        {4194302, 4194145, 64, 256, 258, 514, 546, 65524},
        {4200000, 4194145, 64, 256, 258, 514, 546, 65524},
    };
    for (const Row& r : rows) {
        Fat16Geometry g = ComputeGeometry(r.capacity);
        EXPECT_EQ(g.totalSectors, r.written) << r.capacity;
        EXPECT_EQ(g.sectorsPerCluster, r.sectorsPerCluster) << r.capacity;
        EXPECT_EQ(g.fatSectors, r.fat) << r.capacity;
        EXPECT_EQ(g.fat1Lba(), 2u);
        EXPECT_EQ(g.fat2Lba(), r.fat2) << r.capacity;
        EXPECT_EQ(g.rootLba(), r.root) << r.capacity;
        EXPECT_EQ(g.dataLba(), r.data) << r.capacity;
        EXPECT_EQ(g.clusterCount(), r.clusters) << r.capacity;
    }
}

// Every volume the repair can write is a valid FAT16: within the cluster
// limit, and each table holds every cluster plus the two reserved entries.
TEST(Fat16Geometry, EveryTargetCapacityIsAValidFat16Volume) {
    for (DWORD declared = kMinEligibleCapacity; declared <= kMaxEligibleCapacity; declared += 997) {
        DWORD target = TargetCapacity(declared);
        Fat16Geometry g = ComputeGeometry(target);
        ASSERT_LE(g.totalSectors, target) << declared;
        ASSERT_LE(g.clusterCount(), kMaxFat16Clusters) << declared;
        ASSERT_GE(g.clusterCount(), 4085u) << declared;
        ASSERT_GE(g.fatSectors * 256, g.clusterCount() + 2) << declared;
        ASSERT_TRUE(g.fatSectors >= 128 && g.fatSectors <= 257) << declared;
        if (g.totalSectors < target) {
            // Cut to the largest total that fits: one sector more is cut too.
            ASSERT_EQ(ComputeGeometry(g.totalSectors + 1).totalSectors, g.totalSectors) << declared;
        }
    }
}

TEST(BootSector, MatchesTheWorkedExampleByteForByte) {
    const BYTE expected[62] = {
        0xEB, 0x3C, 0x90, 0x4D, 0x53, 0x57, 0x49, 0x4E, 0x34, 0x2E, 0x31, 0x00, 0x02, 0x40, 0x02, 0x00,
        0x02, 0x00, 0x02, 0x00, 0x00, 0xF8, 0xF3, 0x00, 0x3F, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x8C, 0x3C, 0x00, 0x00, 0x00, 0x29, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46, 0x41, 0x54, 0x31, 0x36, 0x20, 0x20, 0x20,
    };
    BYTE sector[512];
    std::memset(sector, 0xCC, sizeof sector);
    BuildBootSector(sector, ComputeGeometry(3968000));
    EXPECT_EQ(std::vector<BYTE>(sector, sector + 62), std::vector<BYTE>(expected, expected + 62));
    EXPECT_EQ(std::memcmp(sector + 62, BootCodeTemplate, kBootCodeTemplateSize), 0);
}

TEST(BootSector, TemplateHoldsTheNameMessagesAndSignature) {
    auto at = [](int sectorOffset) { return BootCodeTemplate + (sectorOffset - 62); };
    EXPECT_EQ(std::memcmp(at(417), "NTLDR      ", 11), 0);
    EXPECT_EQ(std::memcmp(at(428), "\r\nRemove disks or other media.\xFF", 31), 0);
    EXPECT_EQ(std::memcmp(at(459), "\r\nDisk error\xFF", 13), 0);
    EXPECT_EQ(std::memcmp(at(472), "\r\nPress any key to restart\r\n", 28), 0);
    for (int i = 500; i <= 506; ++i) EXPECT_EQ(*at(i), 0) << i;
    EXPECT_EQ(*at(507), 0xAC);
    EXPECT_EQ(*at(508), 0xCB);
    EXPECT_EQ(*at(509), 0xD8);
    EXPECT_EQ(*at(510), 0x55);
    EXPECT_EQ(*at(511), 0xAA);
}

TEST(BootSector, CarriesTheCappedTotalAndItsTableSize) {
    BYTE sector[512];
    BuildBootSector(sector, ComputeGeometry(4200000));
    DWORD total = DWORD{sector[32]} | DWORD{sector[33]} << 8 | DWORD{sector[34]} << 16 | DWORD{sector[35]} << 24;
    EXPECT_EQ(total, 4194145u);
    EXPECT_EQ(sector[22] | sector[23] << 8, 256);
    EXPECT_EQ(sector[13], 64);
}

}  // namespace

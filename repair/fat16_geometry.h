// Layout of the FAT16 volume written from LBA 0, without partition table.
#pragma once

#include "platform/winapi.h"

constexpr BYTE kReservedSectors = 2;
constexpr DWORD kRootDirSectors = 32;
constexpr DWORD kMaxFat16Clusters = 65524;
// A new table's entries 0 and 1: the media descriptor, and end of chain.
inline constexpr BYTE kFatStart[4] = {0xF8, 0xFF, 0xFF, 0xFF};

struct Fat16Geometry {
    DWORD totalSectors;       // written as the boot sector's 32-bit total
    BYTE sectorsPerCluster;
    BYTE clusterShift;
    DWORD fatSectors;         // F: sectors per allocation table
    DWORD fat1Lba() const { return kReservedSectors; }
    DWORD fat2Lba() const { return kReservedSectors + fatSectors; }
    DWORD rootLba() const { return kReservedSectors + 2 * fatSectors; }
    DWORD dataLba() const { return rootLba() + kRootDirSectors; }
    DWORD clusterCount() const;
};

// Cluster size from the capacity, F from the volume's total. A capacity that
// would give more clusters than FAT16 allows gets the largest total that
// keeps within the limit: beyond it, cluster numbers collide with the
// end-of-chain and bad-cluster markers.
Fat16Geometry ComputeGeometry(DWORD capacity);

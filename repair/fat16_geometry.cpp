#include "repair/fat16_geometry.h"

namespace {

struct ClusterSize {
    DWORD upTo;
    BYTE sectors;
    BYTE shift;
};

constexpr ClusterSize kClusterSizes[] = {
    {0x20000, 2, 1}, {0x40000, 4, 2}, {0x80000, 8, 3}, {0x100000, 16, 4}, {0x200000, 32, 5},
};

DWORD FatSectorsFor(DWORD total, BYTE shift) { return ((total >> shift) + 255) >> 8; }

Fat16Geometry Layout(DWORD total, BYTE sectors, BYTE shift) {
    return Fat16Geometry{total, sectors, shift, FatSectorsFor(total, shift)};
}

}  // namespace

DWORD Fat16Geometry::clusterCount() const {
    return totalSectors > dataLba() ? (totalSectors - dataLba()) / sectorsPerCluster : 0;
}

Fat16Geometry ComputeGeometry(DWORD capacity) {
    BYTE sectors = 64;
    BYTE shift = 6;
    for (const ClusterSize& row : kClusterSizes) {
        if (capacity <= row.upTo) {
            sectors = row.sectors;
            shift = row.shift;
            break;
        }
    }
    Fat16Geometry g = Layout(capacity, sectors, shift);
    if (g.clusterCount() <= kMaxFat16Clusters) return g;
    while (g.clusterCount() > kMaxFat16Clusters) {
        g = Layout(g.totalSectors - (g.clusterCount() - kMaxFat16Clusters) * sectors, sectors, shift);
    }
    for (;;) {
        Fat16Geometry next = Layout(g.totalSectors + 1, sectors, shift);
        if (next.totalSectors > capacity || next.clusterCount() > kMaxFat16Clusters) return g;
        g = next;
    }
}

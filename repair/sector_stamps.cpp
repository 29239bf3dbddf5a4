#include "repair/sector_stamps.h"

#include <algorithm>
#include <chrono>
#include <numeric>
#include <random>

std::vector<DWORD> StampSectors(DWORD capacity) {
    if (capacity < 2) return {};
    int top = 31;
    while ((DWORD{1} << top) > capacity - 1) --top;
    // The base's neighbour across the top bit is the last sector; every other
    // neighbour, and the sector half the volume above, lies below it.
    const DWORD base = capacity - 1 - (DWORD{1} << top);
    std::vector<DWORD> lbas = {base};
    for (int bit = 0; bit <= top; ++bit) lbas.push_back(base ^ (DWORD{1} << bit));
    lbas.push_back(base + capacity / 2);

    std::vector<DWORD> unique;
    for (DWORD lba : lbas) {
        if (lba != 0 && std::find(unique.begin(), unique.end(), lba) == unique.end()) unique.push_back(lba);
    }
    return unique;
}

std::uint64_t NewStampRun() {
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return std::uint64_t{std::random_device{}()} << 32 ^ now;
}

void FillStamp(BYTE* sector, DWORD lba, std::uint64_t run) {
    for (DWORD record = 0; record < 512 / 16; ++record) {
        BYTE* p = sector + record * 16;
        for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(lba >> (8 * i));
        for (int i = 0; i < 8; ++i) p[4 + i] = static_cast<BYTE>(run >> (8 * i));
        for (int i = 0; i < 4; ++i) p[12 + i] = static_cast<BYTE>(record >> (8 * i));
    }
}

bool StampOfRun(const BYTE* sector, std::uint64_t run, DWORD& lba) {
    // Most sectors the flush reads hold no stamp: the run's bytes tell at once.
    for (int i = 0; i < 8; ++i) {
        if (sector[4 + i] != static_cast<BYTE>(run >> (8 * i))) return false;
    }
    const DWORD named = DWORD{sector[0]} | DWORD{sector[1]} << 8 | DWORD{sector[2]} << 16 | DWORD{sector[3]} << 24;
    BYTE stamp[512];
    FillStamp(stamp, named, run);
    if (!std::equal(stamp, stamp + sizeof stamp, sector)) return false;
    lba = named;
    return true;
}

std::vector<DWORD> FlushBlocks(DWORD capacity, const std::vector<DWORD>& stamps) {
    std::vector<DWORD> starts;
    const DWORD blocks = kFlushSectors / kFlushBlockSectors;
    // Down from the volume's last whole block: the higher the flush, the more
    // of it lies past the flash a counterfeit card has, where its cache is.
    for (DWORD end = capacity - capacity % kFlushBlockSectors;
         end >= capacity / 2 + kFlushBlockSectors && starts.size() < blocks; end -= kFlushBlockSectors) {
        const DWORD start = end - kFlushBlockSectors;
        const bool stamped = std::any_of(stamps.begin(), stamps.end(),
                                         [&](DWORD lba) { return lba >= start && lba < end; });
        if (!stamped) starts.push_back(start);
    }
    std::reverse(starts.begin(), starts.end());
    return starts;
}

std::vector<DWORD> ScatteredOrder() {
    // 77 shares no factor with 128: every sector once, no two neighbours in a row.
    std::vector<DWORD> order;
    for (DWORD i = 0; i < kFlushBlockSectors; ++i) order.push_back(i * 77 % kFlushBlockSectors);
    return order;
}

std::vector<std::size_t> StampReadOrder(std::size_t count) {
    if (count < 3) {
        std::vector<std::size_t> order(count);
        std::iota(order.rbegin(), order.rend(), std::size_t{0});
        return order;
    }
    // A stride near the golden section of the count that shares no factor
    // with it visits every stamp once, far from both orders.
    std::size_t step = count * 5 / 8;
    while (std::gcd(step, count) != 1) ++step;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < count; ++i) order.push_back((1 + i * step) % count);
    return order;
}

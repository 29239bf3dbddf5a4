#include "repair/sector_stamps.h"

#include <algorithm>
#include <chrono>
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

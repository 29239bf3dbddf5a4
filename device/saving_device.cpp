#include "device/saving_device.h"

#include <cstring>

CSavingDevice::CSavingDevice(CCardDevice& device, HANDLE handle) : m_Device(device), m_hDevice(handle) {}

BOOL CSavingDevice::ReadSectors(BYTE* buffer, DWORD lba, DWORD count) {
    return m_Device.ReadSectors(m_hDevice, buffer, lba, count);
}

bool CSavingDevice::IsKept(DWORD lba) const {
    auto it = m_Intervals.upper_bound(lba);
    if (it == m_Intervals.begin()) return false;
    --it;
    return lba < it->second;
}

BOOL CSavingDevice::KeepRun(DWORD lba, DWORD count) {
    Run run{lba, count, std::vector<BYTE>(std::size_t{count} * kSectorSize)};
    if (!m_Device.ReadSectors(m_hDevice, run.bytes.data(), lba, count)) return FALSE;
    m_Runs.push_back(std::move(run));
    m_Intervals[lba] = lba + count;
    return TRUE;
}

BOOL CSavingDevice::Keep(DWORD lba, DWORD count) {
    // Each sector is kept once: a later read would see what was written since.
    DWORD at = lba;
    const DWORD end = lba + count;
    while (at < end) {
        if (IsKept(at)) {
            ++at;
            continue;
        }
        DWORD missing = at;
        while (missing < end && !IsKept(missing)) ++missing;
        if (!KeepRun(at, missing - at)) return FALSE;
        at = missing;
    }
    return TRUE;
}

BOOL CSavingDevice::WriteSectors(BYTE* buffer, DWORD lba, DWORD count) {
    if (m_bSealed) {
        for (DWORD at = lba; at < lba + count; ++at) {
            if (!IsKept(at)) return FALSE;
        }
    } else if (!Keep(lba, count)) {
        return FALSE;
    }
    return m_Device.WriteSectors(m_hDevice, buffer, lba, count);
}

BOOL CSavingDevice::Restore() {
    BOOL all = TRUE;
    for (auto run = m_Runs.rbegin(); run != m_Runs.rend(); ++run) {
        if (!m_Device.WriteSectors(m_hDevice, run->bytes.data(), run->lba, run->count)) all = FALSE;
    }
    return all;
}

std::vector<BYTE> CSavingDevice::KeptBytes(DWORD lba, DWORD count) const {
    std::vector<BYTE> bytes(std::size_t{count} * kSectorSize);
    for (DWORD at = lba; at < lba + count; ++at) {
        const Run* found = nullptr;
        for (const Run& run : m_Runs) {
            if (at >= run.lba && at < run.lba + run.count) found = &run;
        }
        if (found == nullptr) return {};
        std::memcpy(bytes.data() + std::size_t{at - lba} * kSectorSize,
                    found->bytes.data() + std::size_t{at - found->lba} * kSectorSize, kSectorSize);
    }
    return bytes;
}

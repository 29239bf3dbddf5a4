// Which cards may be repaired, and how large the new volume becomes.
#pragma once

#include "platform/winapi.h"

constexpr DWORD kMinEligibleCapacity = 1400000;
constexpr DWORD kMaxEligibleCapacity = 4200000;
constexpr DWORD kDoublingLimit = 0x200000;  // 1 GB in sectors

inline bool IsCapacityEligible(DWORD capacity) {
    return capacity >= kMinEligibleCapacity && capacity <= kMaxEligibleCapacity;
}

inline DWORD TargetCapacity(DWORD capacity) { return capacity < kDoublingLimit ? capacity * 2 : capacity; }

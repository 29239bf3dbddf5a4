#pragma once

#include "platform/winapi.h"
#include "repair/fat16_geometry.h"

constexpr DWORD kBootCodeTemplateSize = 450;
// Boot code, messages and signature: sector offsets 62 to 511.
extern const BYTE BootCodeTemplate[kBootCodeTemplateSize];

constexpr DWORD kVolumeSerialNumber = 0x12345678;

// Fills the 512-byte boot sector of a volume with this geometry.
void BuildBootSector(BYTE* sector, const Fat16Geometry& geometry);

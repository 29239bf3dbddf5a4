#include "repair/boot_sector.h"

#include <cstring>

#include "device/card_device.h"

namespace {

void Put16(BYTE* p, DWORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
}

void Put32(BYTE* p, DWORD v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

}  // namespace

void BuildBootSector(BYTE* s, const Fat16Geometry& g) {
    std::memset(s, 0, kSectorSize);
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    std::memcpy(s + 3, "MSWIN4.1", 8);
    Put16(s + 11, kSectorSize);
    s[13] = g.sectorsPerCluster;
    Put16(s + 14, kReservedSectors);
    s[16] = 2;
    Put16(s + 17, 512);
    Put16(s + 19, 0);
    s[21] = 0xF8;
    Put16(s + 22, g.fatSectors & 0xFFFF);
    Put16(s + 24, 63);
    Put16(s + 26, 255);
    Put32(s + 28, 0);
    Put32(s + 32, g.totalSectors);
    s[36] = 0x00;  // drive number: the boot code takes the BIOS's DL instead
    s[38] = 0x29;
    Put32(s + 39, kVolumeSerialNumber);
    // The label at 43 stays eleven zero bytes.
    std::memcpy(s + 54, "FAT16   ", 8);
    std::memcpy(s + 62, BootCodeTemplate, kBootCodeTemplateSize);
}

#include "device/cdb_text.h"

#include <cstdio>

std::string CdbHex(const BYTE* cdb, std::size_t length) {
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", cdb[i]);
        text += byte;
    }
    return text;
}

std::string DescribeCdb(const BYTE* cdb, std::size_t length) {
    if (length == 0) return "(empty)";
    char text[96];
    switch (cdb[0]) {
        case 0x12:
            return "INQUIRY";
        case 0x28:
        case 0x2A: {
            if (length < 10) break;
            unsigned lba = unsigned{cdb[2]} << 24 | unsigned{cdb[3]} << 16 | unsigned{cdb[4]} << 8 | cdb[5];
            unsigned count = unsigned{cdb[7]} << 8 | cdb[8];
            std::snprintf(text, sizeof text, "%s LBA %u, %u sector%s", cdb[0] == 0x28 ? "READ(10)" : "WRITE(10)",
                          lba, count, count == 1 ? "" : "s");
            return text;
        }
        case 0x1E:
            if (length < 5) break;
            return (cdb[4] & 1) ? "PREVENT MEDIUM REMOVAL" : "ALLOW MEDIUM REMOVAL";
        case 0x1B:
            if (length < 5) break;
            return (cdb[4] & 2) ? ((cdb[4] & 1) ? "LOAD MEDIUM" : "EJECT MEDIUM") : "START STOP UNIT";
        default:
            break;
    }
    std::snprintf(text, sizeof text, "opcode %02X", cdb[0]);
    return text;
}

#include "device/cdb_text.h"

#include <cstdio>

#include "scsi/cdb.h"

using namespace platform;

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
        case op::kInquiry:
            return "INQUIRY";
        case op::kRead10:
        case op::kWrite10: {
            if (length < 10) break;
            unsigned lba = Lba(cdb);
            unsigned count = Count(cdb);
            std::snprintf(text, sizeof text, "%s LBA %u, %u sector%s", cdb[0] == op::kRead10 ? "READ(10)" : "WRITE(10)",
                          lba, count, count == 1 ? "" : "s");
            return text;
        }
        case op::kPreventAllowMediumRemoval:
            if (length < 5) break;
            return (cdb[4] & 1) ? "PREVENT MEDIUM REMOVAL" : "ALLOW MEDIUM REMOVAL";
        case op::kStartStopUnit:
            if (length < 5) break;
            return (cdb[4] & 2) ? ((cdb[4] & 1) ? "LOAD MEDIUM" : "EJECT MEDIUM") : "START STOP UNIT";
        default:
            break;
    }
    std::snprintf(text, sizeof text, "opcode %02X", cdb[0]);
    return text;
}

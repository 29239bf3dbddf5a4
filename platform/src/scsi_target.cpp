#include "platform/scsi_target.h"

#include <cstring>

namespace platform {

void ScsiExchange::CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    status = kStatusCheckCondition;
    std::memset(sense, 0, sizeof sense);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    senseLength = 18;
}

bool IsWriteCommand(std::uint8_t opcode) {
    switch (opcode) {
        case 0x0A: case 0x2A: case 0x2E: case 0x3B: case 0x41: case 0x8A: case 0x8E: case 0x93:
        case 0xAA: case 0xAE:
            return true;
        default:
            return false;
    }
}

}  // namespace platform

// The answers every back end shares: a CHECK CONDITION with fixed-format
// sense data, and a standard INQUIRY reply.
#include "scsi/target.h"

#include <algorithm>
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

namespace {

void PutText(std::uint8_t* field, std::size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

}  // namespace

void ScsiExchange::AnswerInquiry(bool removable, const std::string& vendor, const std::string& product,
                                 const std::string& revision) {
    if (cdb[1] & 0x01) {  // vital product data is not kept
        CheckCondition(sense::kIllegalRequest, 0x24, 0x00);
        return;
    }
    std::uint8_t reply[36] = {};
    reply[0] = 0x00;  // connected direct-access device
    reply[1] = removable ? 0x80 : 0x00;
    reply[2] = 0x05;
    reply[3] = 0x02;
    reply[4] = sizeof reply - 5;
    PutText(reply + 8, 8, vendor);
    PutText(reply + 16, 16, product);
    PutText(reply + 32, 4, revision);
    std::uint32_t n = std::min<std::uint32_t>(Be16(cdb + 3), sizeof reply);
    if (direction != DataDirection::In || n > dataLength) n = 0;
    if (n > 0) std::memcpy(data, reply, n);
    residual = dataLength - n;
}

}  // namespace platform

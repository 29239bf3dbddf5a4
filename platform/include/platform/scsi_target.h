// What stands behind a volume handle on a build without the Windows storage
// stack: one SCSI target per back end (SG_IO node, card image, test double).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class DataDirection { None, In, Out };

// One command as DeviceIoControl hands it over, and the device's answer.
struct ScsiExchange {
    // The request block exactly as the caller passed it.
    const std::uint8_t* requestBlock = nullptr;
    std::size_t requestBlockSize = 0;

    std::uint8_t cdb[16] = {};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    std::uint8_t* data = nullptr;
    std::uint32_t dataLength = 0;
    std::uint32_t timeoutSeconds = 0;

    std::uint8_t status = 0;     // SCSI status byte
    std::uint32_t residual = 0;  // bytes of dataLength not moved
    std::uint8_t sense[32] = {};
    std::uint8_t senseLength = 0;

    void CheckCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
    // A standard INQUIRY answered as a direct-access device would, with
    // these texts space-padded or cut to their fields; no more than the
    // allocation length asks for.
    void AnswerInquiry(bool removable, const std::string& vendor, const std::string& product,
                       const std::string& revision);
};

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

namespace sense {
constexpr std::uint8_t kNotReady = 0x2;
constexpr std::uint8_t kMediumError = 0x3;
constexpr std::uint8_t kHardwareError = 0x4;
constexpr std::uint8_t kIllegalRequest = 0x5;
constexpr std::uint8_t kDataProtect = 0x7;
}  // namespace sense

// The CDB's multi-byte fields, most significant byte first.
inline std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// Commands that change what the medium holds (WRITE, WRITE AND VERIFY,
// WRITE BUFFER, WRITE SAME, in their sizes).
bool IsWriteCommand(std::uint8_t opcode);

class ScsiTarget {
public:
    virtual ~ScsiTarget() = default;
    // False when the command could not be carried out at all (the transport
    // failed); a device's refusal is a CHECK CONDITION in the exchange.
    virtual bool Execute(ScsiExchange& exchange) = 0;
    // Called when the last handle on this target is closed.
    virtual void Released() {}
};

// A card reader over an image file: the medium is the file.
std::shared_ptr<ScsiTarget> OpenCardImage(const std::string& path, std::string* error = nullptr);

}  // namespace platform

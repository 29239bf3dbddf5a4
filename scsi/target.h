// The SCSI seam: what stands behind a volume handle. One ScsiTarget per back
// end (SG_IO on a reader, block I/O on a slot, a card image, the dry run, the
// test doubles); the volume handles hand each pass-through request to the
// target behind the handle as one ScsiExchange. device/ and repair/ never see
// this side: they speak request blocks to DeviceIoControl. platform/ and the
// tests include scsi/; scsi/ includes nothing of this project above it.
//
// What a back end must do with an exchange:
// - carry out the CDB, moving at most dataLength bytes of data in the given
//   direction;
// - set status (kStatusGood, or kStatusCheckCondition with sense data
//   through CheckCondition), residual (the bytes of dataLength not moved)
//   and senseLength;
// - return false only when the command could not be carried out at all (the
//   transport failed, or a guard refused to let a write reach a disk in
//   use); the caller's DeviceIoControl then fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "scsi/cdb.h"

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

class ScsiTarget {
public:
    virtual ~ScsiTarget() = default;
    // False when the command could not be carried out at all; a device's
    // refusal is a CHECK CONDITION in the exchange.
    virtual bool Execute(ScsiExchange& exchange) = 0;
    // Called when the last handle on this target is closed.
    virtual void Released() {}
};

}  // namespace platform

// The vocabulary of a command descriptor block: the opcodes this program
// sends or must recognise, the sector size, and the big-endian fields of the
// ten-byte READ and WRITE. Every back end, guard and printer reads CDBs here.
#pragma once

#include <cstdint>

namespace platform {

// A card's sector; READ(10) and WRITE(10) count in these.
constexpr std::uint32_t kSectorBytes = 512;

namespace op {
enum : std::uint8_t {
    kTestUnitReady = 0x00,
    kInquiry = 0x12,
    kStartStopUnit = 0x1B,
    kPreventAllowMediumRemoval = 0x1E,
    kReadCapacity10 = 0x25,
    kRead10 = 0x28,
    kWrite10 = 0x2A,
};
}  // namespace op

// Multi-byte CDB fields, most significant byte first.
inline std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// The first sector and the sector count of a READ(10) or WRITE(10).
inline std::uint32_t Lba(const std::uint8_t* cdb) { return Be32(cdb + 2); }
inline std::uint32_t Count(const std::uint8_t* cdb) { return Be16(cdb + 7); }

// Commands that change what the medium holds (WRITE, WRITE AND VERIFY,
// WRITE BUFFER, WRITE SAME, in their sizes). Every guard that keeps writes
// off a disk in use asks this, so none lets a rarer write through.
inline bool IsWriteCommand(std::uint8_t opcode) {
    switch (opcode) {
        case 0x0A: case 0x2A: case 0x2E: case 0x3B: case 0x41: case 0x8A: case 0x8E: case 0x93:
        case 0xAA: case 0xAE:
            return true;
        default:
            return false;
    }
}

}  // namespace platform

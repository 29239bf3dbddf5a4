// SHA-256 from the system's own library: libcrypto on Linux, BCrypt on
// Windows.
#pragma once

#include <array>
#include <cstddef>

#include "platform/winapi.h"

namespace platform {

using Sha256Digest = std::array<BYTE, 32>;

// False when this build has no SHA-256 (a 32-bit test build on a system
// without the library for that architecture).
bool Sha256(const void* data, std::size_t size, Sha256Digest& digest);

}  // namespace platform

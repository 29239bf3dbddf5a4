// Readable forms of the commands the device sends, for plans and logs.
#pragma once

#include <cstddef>
#include <string>

#include "platform/winapi.h"

// "28 00 00 00 00 00 00 00 01 00"
std::string CdbHex(const BYTE* cdb, std::size_t length);
// "READ(10) LBA 0, 1 sector"
std::string DescribeCdb(const BYTE* cdb, std::size_t length);

// A card reader over an image file: the medium is the file, opened for
// writing when the file allows it. Every system builds it.
#pragma once

#include <memory>
#include <string>

#include "scsi/target.h"

namespace platform {

std::shared_ptr<ScsiTarget> OpenCardImage(const std::string& path, std::string* error = nullptr);

}  // namespace platform

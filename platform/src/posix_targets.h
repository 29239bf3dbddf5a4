// Back ends behind volume handles; private to the platform layer.
#pragma once

#include <memory>
#include <string>

#include "platform/scsi_target.h"

namespace platform {

// SG_IO on a block device node; null when the node cannot be opened.
std::shared_ptr<ScsiTarget> OpenBlockDevice(const std::string& path);

// Whether the disk behind this block device, or any partition of it, holds a
// mounted file system or is held by another block device.
bool DiskHasMountedFileSystem(const std::string& devicePath);
// What holds the disk behind this block device, or an empty text.
std::string DiskInUse(const std::string& devicePath);
// What else uses this card image (a lock, a loop device), or an empty text.
std::string ImageInUse(const std::string& path);
// The card image reader, taking no writes unless it holds the image alone.
std::shared_ptr<ScsiTarget> OpenExclusiveCardImage(const std::string& path);

}  // namespace platform

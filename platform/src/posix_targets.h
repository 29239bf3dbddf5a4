// Back ends behind volume handles; private to the platform layer.
#pragma once

#include <memory>
#include <string>

#include "platform/drive_identity.h"
#include "platform/scsi_target.h"

namespace platform {

// The node opened for reading and writing, exclusively when nothing else uses
// the disk, read-only when it refuses writing; -1 with errno set on failure.
int OpenDiskNode(const std::string& path, bool* exclusive);

// SG_IO on a block device node; null when the node cannot be opened or
// refuses SG_IO (errno ENOTTY).
std::shared_ptr<ScsiTarget> OpenBlockDevice(const std::string& path);
// Block I/O on the whole disk behind a device node, for a disk that takes no
// SG_IO; INQUIRY is answered from the identity.
std::shared_ptr<ScsiTarget> OpenBlockIoDevice(const std::string& path);
std::shared_ptr<ScsiTarget> OpenBlockIoDevice(const std::string& path, const DriveIdentity& identity);

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

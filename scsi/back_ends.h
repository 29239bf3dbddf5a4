// How each back end of the seam is opened; the drive map's table of back
// ends and the tests call these, nothing above the seam does.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scsi/card_image.h"
#include "scsi/drive_identity.h"
#include "scsi/target.h"

namespace platform {

// SG_IO on a card reader's block device node; null when the node cannot be
// opened or refuses SG_IO (errno ENOTTY).
std::shared_ptr<ScsiTarget> OpenSgIoDevice(const std::string& path);
// Block I/O on the whole disk behind a device node, for a disk that takes no
// SG_IO (a laptop's SD slot, a loop device); INQUIRY is answered from the
// identity.
std::shared_ptr<ScsiTarget> OpenBlockIoDevice(const std::string& path);
std::shared_ptr<ScsiTarget> OpenBlockIoDevice(const std::string& path, const DriveIdentity& identity);
// The card image reader, taking no writes unless it holds the image alone.
std::shared_ptr<ScsiTarget> OpenExclusiveCardImage(const std::string& path);

// The node opened for reading and writing, exclusively when nothing else uses
// the disk, read-only when it refuses writing; -1 with errno set on failure.
int OpenDiskNode(const std::string& path, bool* exclusive);
// Whether anything uses the disk behind this block device (see DiskUses).
bool DiskHasUsers(const std::string& devicePath);
// What holds the disk behind this block device, or an empty text.
std::string DiskInUse(const std::string& devicePath);
// What else uses this card image (a lock, a loop device), or an empty text.
std::string ImageInUse(const std::string& path);

// What a mapped path names, as the table of back ends sorts it; one file per
// system answers (drive_nodes_linux.cpp, drive_nodes_win32.cpp).
enum class NodeKind { BlockDevice, File, SystemVolume };
// False for a path that names nothing, or nothing a back end takes.
bool KindOf(const std::string& path, NodeKind* kind);
// The paths the letters D: onwards stand for when nothing is mapped.
std::vector<std::string> DefaultDrivePaths();
// Whether a mapped path no longer names anything.
bool NodeGone(const std::string& path);
// What keeps the device or image at path from being written, or "".
std::string NodeInUse(const std::string& path);

namespace volumes {
// Provided by whichever system layer is linked: the volume of a letter that
// the map leaves alone (null and an empty name without one), and whether
// letters may be mapped to card images.
std::shared_ptr<ScsiTarget> OpenSystemVolume(char letter);
std::string SystemVolumeName(char letter);
bool ServesCardImages();
}  // namespace volumes

}  // namespace platform

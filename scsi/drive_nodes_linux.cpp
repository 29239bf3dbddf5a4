// What a mapped path names on Linux: a block device (SG_IO or block I/O) or
// a card image file; the default map gives letters to the whole disks.
#include <sys/stat.h>

#include <cerrno>

#include "scsi/back_ends.h"

namespace platform {

bool KindOf(const std::string& path, NodeKind* kind) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) {
        *kind = NodeKind::BlockDevice;
        return true;
    }
    errno = ENODEV;
    if (!S_ISREG(st.st_mode)) return false;
    *kind = NodeKind::File;
    return true;
}

std::vector<std::string> DefaultDrivePaths() { return WholeDiskDevices(); }

bool NodeGone(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) != 0;
}

std::string NodeInUse(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::string();
    if (S_ISBLK(st.st_mode)) return DiskInUse(path);
    if (S_ISREG(st.st_mode)) return ImageInUse(path);
    return std::string();
}

}  // namespace platform

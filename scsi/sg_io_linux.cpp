// SG_IO on a Linux block device: one request block, one SG_IO request.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "scsi/back_ends.h"
#include "scsi/sg_io_linux.h"

namespace platform {
namespace {

class SgTarget : public ScsiTarget {
public:
    SgTarget(int fd, std::string path, bool exclusive, bool wholeDisk)
        : fd_(fd), path_(std::move(path)), exclusive_(exclusive), wholeDisk_(wholeDisk) {}
    ~SgTarget() override { close(fd_); }

    bool Execute(ScsiExchange& x) override {
        if (IsWriteCommand(x.cdb[0]) && !MayWrite()) return false;

        sg_io_hdr_t io = SgRequest(x);
        int rc;
        do {
            rc = ioctl(fd_, SG_IO, &io);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) return false;
        return TakeSgAnswer(io, x);
    }

private:
    // A file system, swap area or mapped device on the disk would be
    // corrupted under the kernel's feet. While the whole disk is held
    // exclusively the kernel lets nothing mount, swap on or map any part of
    // it, so one look before the first write stands for the later ones: a
    // look scans sysfs and the mount tables, which costs more than the
    // command, and a full-surface test sends tens of thousands. A partition
    // held exclusively does not keep its siblings free: it is looked at
    // before every write.
    bool MayWrite() {
        if (!exclusive_) return false;
        if (free_ && wholeDisk_) return true;
        free_ = !DiskHasUsers(path_);
        return free_;
    }

    int fd_;
    std::string path_;
    bool exclusive_;
    bool wholeDisk_;
    bool free_ = false;
};

}  // namespace

std::shared_ptr<ScsiTarget> OpenSgIoDevice(const std::string& path) {
    bool exclusive = false;
    int fd = OpenDiskNode(path, &exclusive);
    if (fd < 0) return nullptr;
    int version = 0;
    if (ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < 30000) {
        close(fd);
        errno = ENOTTY;
        return nullptr;
    }
    const DriveIdentity identity = IdentifyPath(path);
    return std::make_shared<SgTarget>(fd, path, exclusive, identity.known && !identity.partition);
}

}  // namespace platform

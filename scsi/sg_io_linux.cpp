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
    SgTarget(int fd, std::string path, bool exclusive)
        : fd_(fd), path_(std::move(path)), exclusive_(exclusive) {}
    ~SgTarget() override { close(fd_); }

    bool Execute(ScsiExchange& x) override {
        // A file system, swap area or mapped device on the disk would be
        // corrupted under the kernel's feet.
        if (IsWriteCommand(x.cdb[0]) && (!exclusive_ || DiskHasMountedFileSystem(path_))) return false;

        sg_io_hdr_t io = SgRequest(x);
        int rc;
        do {
            rc = ioctl(fd_, SG_IO, &io);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) return false;
        return TakeSgAnswer(io, x);
    }

private:
    int fd_;
    std::string path_;
    bool exclusive_;
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
    return std::make_shared<SgTarget>(fd, path, exclusive);
}

}  // namespace platform

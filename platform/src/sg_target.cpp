// SG_IO on a Linux block device: one request block, one SG_IO request.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "posix_targets.h"
#include "sg_exchange.h"

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

std::string SysfsPath(dev_t device) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(device), minor(device));
    char resolved[PATH_MAX];
    if (realpath(link, resolved) == nullptr) return std::string();
    return resolved;
}

}  // namespace

std::shared_ptr<ScsiTarget> OpenBlockDevice(const std::string& path) {
    // O_NONBLOCK: a reader without a card still opens, as its volume does on
    // Windows. A write-protected card refuses O_RDWR; it opens read-only and
    // the card itself then refuses the writes.
    // O_EXCL fails while the disk or a partition of it is mounted, swapped on
    // or held by device-mapper, which the mount table alone does not show; such
    // a disk still answers queries but takes no writes.
    int fd = -1;
    bool exclusive = false;
    for (int access : {O_RDWR, O_RDONLY}) {
        int flags = access | O_NONBLOCK | O_CLOEXEC;
        fd = open(path.c_str(), flags | O_EXCL);
        exclusive = fd >= 0;
        if (fd < 0 && errno == EBUSY) fd = open(path.c_str(), flags);
        if (fd >= 0 || (errno != EROFS && errno != EACCES)) break;
    }
    if (fd < 0) return nullptr;
    int version = 0;
    if (ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < 30000) {
        close(fd);
        return nullptr;
    }
    return std::make_shared<SgTarget>(fd, path, exclusive);
}

bool DiskHasMountedFileSystem(const std::string& devicePath) {
    struct stat st {};
    if (stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    std::string disk = SysfsPath(st.st_rdev);
    if (disk.empty()) return false;
    if (access((disk + "/partition").c_str(), F_OK) == 0) disk = disk.substr(0, disk.rfind('/'));

    // A device-mapper or RAID volume on top of the card counts as mounted too.
    namespace fs = std::filesystem;
    std::error_code ec;
    auto held = [&](const fs::path& dir) { return !fs::is_empty(dir / "holders", ec) && !ec; };
    if (held(disk)) return true;
    for (const auto& entry : fs::directory_iterator(disk, ec)) {
        if (fs::exists(entry.path() / "partition", ec) && held(entry.path())) return true;
    }

    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        struct stat ms {};
        if (source.empty() || source[0] != '/' || stat(source.c_str(), &ms) != 0) continue;
        if (!S_ISBLK(ms.st_mode)) continue;
        std::string mounted = SysfsPath(ms.st_rdev);
        if (mounted == disk || mounted.rfind(disk + "/", 0) == 0) return true;
    }
    return false;
}

}  // namespace platform

// A block device that takes no SCSI pass-through (a laptop's SD slot, a loop
// device): the five commands carried out as plain block I/O on the whole disk.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/testing.h"
#include "posix_targets.h"

namespace platform {
namespace {

constexpr std::uint64_t kSector = 512;

class BlockIoTarget : public ScsiTarget {
public:
    BlockIoTarget(int fd, std::string path, bool exclusive, DriveIdentity identity)
        : fd_(fd), path_(std::move(path)), exclusive_(exclusive), identity_(std::move(identity)) {
        std::uint64_t bytes = 0;
        struct stat st {};
        if (ioctl(fd_, BLKGETSIZE64, &bytes) != 0 && fstat(fd_, &st) == 0) bytes = static_cast<std::uint64_t>(st.st_size);
        sectors_ = bytes / kSector;
        int readOnly = 0;
        readOnly_ = (fcntl(fd_, F_GETFL) & O_ACCMODE) == O_RDONLY ||
                    (ioctl(fd_, BLKROGET, &readOnly) == 0 && readOnly != 0);
    }
    ~BlockIoTarget() override { close(fd_); }

    bool Execute(ScsiExchange& x) override {
        x.status = kStatusGood;
        x.residual = x.dataLength;
        x.senseLength = 0;
        switch (x.cdb[0]) {
            case 0x12: x.AnswerInquiry(identity_.removable, identity_.vendor, identity_.model, ""); break;
            case 0x28: return Transfer(x, false);
            case 0x2A: return Transfer(x, true);
            case 0x1E: break;  // a slot has no lock; the card stays where it is
            case 0x1B: StartStop(x); break;
            default: x.CheckCondition(sense::kIllegalRequest, 0x20, 0x00); break;
        }
        return true;
    }

private:
    bool Transfer(ScsiExchange& x, bool write) {
        // A file system, swap area or mapped device on the disk would be
        // corrupted under the kernel's feet.
        if (write && (!exclusive_ || DiskHasMountedFileSystem(path_))) return false;
        if (!mediumPresent_ || sectors_ == 0) {
            x.CheckCondition(sense::kNotReady, 0x3A, 0x00);
            return true;
        }
        std::uint64_t lba = Be32(x.cdb + 2);
        std::uint64_t count = Be16(x.cdb + 7);
        std::uint64_t bytes = count * kSector;
        if (lba + count > sectors_) {
            x.CheckCondition(sense::kIllegalRequest, 0x21, 0x00);
            return true;
        }
        DataDirection expected = write ? DataDirection::Out : DataDirection::In;
        if (count > 0 && (x.direction != expected || bytes > x.dataLength)) {
            x.CheckCondition(sense::kIllegalRequest, 0x24, 0x00);
            return true;
        }
        if (write && readOnly_) {
            x.CheckCondition(sense::kDataProtect, 0x27, 0x00);
            return true;
        }
        off_t offset = static_cast<off_t>(lba * kSector);
        std::uint64_t done = 0;
        while (done < bytes) {
            ssize_t n = write ? pwrite(fd_, x.data + done, bytes - done, offset + static_cast<off_t>(done))
                              : pread(fd_, x.data + done, bytes - done, offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                x.CheckCondition(sense::kMediumError, write ? 0x0C : 0x11, 0x00);
                x.residual = static_cast<std::uint32_t>(x.dataLength - done);
                return true;
            }
            done += static_cast<std::uint64_t>(n);
        }
        // A write counts once it is on the card, not in the page cache.
        if (write && !Flush()) {
            x.CheckCondition(sense::kMediumError, 0x0C, 0x00);
            return true;
        }
        x.residual = static_cast<std::uint32_t>(x.dataLength - bytes);
        return true;
    }

    bool Flush() {
        if (fsync(fd_) != 0) return false;
        ioctl(fd_, BLKFLSBUF, 0);  // drops the cached sectors too; needs root, and a file has none
        return true;
    }

    // Software cannot push a card out of a slot: everything is made to reach
    // the card, the kernel re-reads the new layout, and the operator is told.
    void StartStop(ScsiExchange& x) {
        bool loadEject = (x.cdb[4] & 0x02) != 0;
        bool start = (x.cdb[4] & 0x01) != 0;
        if (!loadEject) return;
        if (start) {
            mediumPresent_ = true;
            return;
        }
        if (!Flush()) {
            x.CheckCondition(sense::kMediumError, 0x0C, 0x00);
            return;
        }
        ioctl(fd_, BLKRRPART, 0);
        std::fprintf(stderr, "%s cannot be ejected by software: take the card out of its slot now.\n",
                     path_.c_str());
        mediumPresent_ = false;
    }

    int fd_;
    std::string path_;
    bool exclusive_;
    DriveIdentity identity_;
    std::uint64_t sectors_ = 0;
    bool readOnly_ = false;
    bool mediumPresent_ = true;
};

}  // namespace

std::shared_ptr<ScsiTarget> OpenBlockIoDevice(const std::string& path, const DriveIdentity& identity) {
    // A partition's path still re-formats the whole card, as SG_IO on a
    // partition reaches the whole disk.
    std::string disk = identity.known && !identity.image ? identity.disk : path;
    bool exclusive = false;
    int fd = OpenDiskNode(disk, &exclusive);
    if (fd < 0) return nullptr;
    return std::make_shared<BlockIoTarget>(fd, disk, exclusive, identity);
}

std::shared_ptr<ScsiTarget> OpenBlockIoDevice(const std::string& path) {
    return OpenBlockIoDevice(path, IdentifyPath(path));
}

}  // namespace platform

std::shared_ptr<platform::ScsiTarget> platform::testing::OpenBlockIoTarget(const std::string& path,
                                                                            const DriveIdentity& identity) {
    return OpenBlockIoDevice(path, identity);
}

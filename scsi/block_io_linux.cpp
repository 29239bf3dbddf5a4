// A block device that takes no SCSI pass-through (a laptop's SD slot, a loop
// device): the five commands carried out as plain block I/O on the whole disk.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scsi/back_ends.h"
#include "scsi/medium_emulation.h"

namespace platform {
namespace {

class BlockIoTarget : public MediumEmulation {
public:
    BlockIoTarget(int fd, std::string path, bool exclusive, DriveIdentity identity)
        : fd_(fd), path_(std::move(path)), exclusive_(exclusive), identity_(std::move(identity)) {
        std::uint64_t bytes = 0;
        struct stat st {};
        if (ioctl(fd_, BLKGETSIZE64, &bytes) != 0 && fstat(fd_, &st) == 0) bytes = static_cast<std::uint64_t>(st.st_size);
        sectors_ = bytes / kSectorBytes;
        int readOnly = 0;
        readOnly_ = (fcntl(fd_, F_GETFL) & O_ACCMODE) == O_RDONLY ||
                    (ioctl(fd_, BLKROGET, &readOnly) == 0 && readOnly != 0);
    }
    ~BlockIoTarget() override { close(fd_); }

private:
    void AnswerInquiry(ScsiExchange& x) override {
        x.AnswerInquiry(identity_.removable, identity_.vendor, identity_.model, "");
    }

    // A file system, swap area or mapped device on the disk would be
    // corrupted under the kernel's feet.
    bool MayWrite() override { return exclusive_ && !DiskHasUsers(path_); }

    bool Ready() override { return mediumPresent_ && sectors_ != 0; }
    std::uint64_t Sectors() override { return sectors_; }
    bool ReadOnly() override { return readOnly_; }

    std::int64_t Move(std::uint8_t* data, std::uint64_t bytes, std::uint64_t offset, bool write) override {
        // A read must reach the card, not what the page cache kept: the
        // checks that read back what they wrote would otherwise prove nothing
        // (dropping the cached sectors after each write needs root). Every
        // write is flushed before it counts, so no sector dropped is dirty.
        // Only whole pages are dropped: the range grows to theirs.
        if (!write) {
            const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
            const std::uint64_t from = offset / page * page;
            const std::uint64_t to = (offset + bytes + page - 1) / page * page;
            posix_fadvise(fd_, static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_DONTNEED);
        }
        ssize_t n;
        do {
            n = write ? pwrite(fd_, data, bytes, static_cast<off_t>(offset))
                      : pread(fd_, data, bytes, static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        return n;
    }

    // A write counts once it is on the card, not in the page cache.
    bool Written() override { return Flush(); }

    // A slot has no lock: PREVENT ALLOW MEDIUM REMOVAL changes nothing.

    // Software cannot push a card out of a slot: everything is made to reach
    // the card, the kernel re-reads the new layout, and the operator is told.
    bool MayEject(ScsiExchange& x) override {
        if (!Flush()) {
            x.CheckCondition(sense::kMediumError, 0x0C, 0x00);
            return false;
        }
        ioctl(fd_, BLKRRPART, 0);
        std::fprintf(stderr, "%s cannot be ejected by software: take the card out of its slot now.\n",
                     path_.c_str());
        return true;
    }

    bool Flush() {
        if (fsync(fd_) != 0) return false;
        ioctl(fd_, BLKFLSBUF, 0);  // drops the cached sectors too; needs root, and a file has none
        return true;
    }

    int fd_;
    std::string path_;
    bool exclusive_;
    DriveIdentity identity_;
    std::uint64_t sectors_ = 0;
    bool readOnly_ = false;
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

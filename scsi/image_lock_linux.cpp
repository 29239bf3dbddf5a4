// Whether another program uses a card image (a loop device over it, a lock on
// it), and a reader that writes an image only while it holds it alone. Linux
// only; a Windows build has its own sharing rules.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "scsi/back_ends.h"

namespace platform {
namespace {

std::string LoopOver(const struct stat& image) {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
        std::ifstream backing(entry.path() / "loop" / "backing_file");
        std::string file;
        if (!std::getline(backing, file)) continue;
        struct stat st {};
        if (stat(file.c_str(), &st) == 0 && st.st_dev == image.st_dev && st.st_ino == image.st_ino) {
            return "attached to /dev/" + entry.path().filename().string();
        }
    }
    return std::string();
}

// /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF".
std::string LockOn(const struct stat& image) {
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(image.st_dev), minor(image.st_dev),
                  static_cast<unsigned long long>(image.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        fields >> id >> kind;
        if (kind == "->") continue;  // a waiter, not a holder
        fields >> mode >> access >> pid >> where;
        if (where == device && pid != std::to_string(getpid())) {
            return "locked by process " + pid + " (" + kind + " " + access + ")";
        }
    }
    return std::string();
}

// Takes an exclusive lock on the image, as another careful program would,
// and lets no write through while it lacks it or something else uses the
// image: two repairs of one image, or one under a loop device, would each
// write tables the other does not know of.
class ExclusiveImage : public ScsiTarget {
public:
    ExclusiveImage(std::shared_ptr<ScsiTarget> reader, std::string path)
        : reader_(std::move(reader)), path_(std::move(path)), fd_(open(path_.c_str(), O_RDONLY | O_CLOEXEC)) {
        Lock();
    }
    ~ExclusiveImage() override {
        if (fd_ >= 0) close(fd_);
    }

    bool Execute(ScsiExchange& x) override {
        if (IsWriteCommand(x.cdb[0]) && !MayWrite()) return false;
        return reader_->Execute(x);
    }
    void Released() override { reader_->Released(); }

private:
    // Decided at the first write: from then on the lock keeps every other
    // careful program out, and reading the lock and loop tables again for
    // each of a repair's writes would cost more than the repair itself.
    bool MayWrite() {
        if (!decided_) {
            decided_ = true;
            mayWrite_ = Lock() && ImageInUse(path_).empty();
        }
        return mayWrite_;
    }

    bool Lock() {
        if (!locked_ && fd_ >= 0) locked_ = flock(fd_, LOCK_EX | LOCK_NB) == 0;
        return locked_;
    }

    std::shared_ptr<ScsiTarget> reader_;
    std::string path_;
    int fd_;
    bool locked_ = false;
    bool decided_ = false;
    bool mayWrite_ = false;
};

}  // namespace

std::shared_ptr<ScsiTarget> OpenExclusiveCardImage(const std::string& path) {
    std::shared_ptr<ScsiTarget> reader = OpenCardImage(path);
    if (!reader) return nullptr;
    return std::make_shared<ExclusiveImage>(std::move(reader), path);
}

std::string ImageInUse(const std::string& path) {
    struct stat image {};
    if (stat(path.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return std::string();
    std::string loop = LoopOver(image);
    return loop.empty() ? LockOn(image) : loop;
}

}  // namespace platform

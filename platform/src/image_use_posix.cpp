// Whether another program uses a card image: a loop device over it, or a
// lock on it. Linux only; a Windows build has its own sharing rules.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "posix_targets.h"

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

}  // namespace

std::string ImageInUse(const std::string& path) {
    struct stat image {};
    if (stat(path.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return std::string();
    std::string loop = LoopOver(image);
    return loop.empty() ? LockOn(image) : loop;
}

}  // namespace platform

// Whether Linux uses a disk: a mounted file system or swap area on it or on a
// partition of it, or a device stacked on it (device-mapper, RAID). The write
// guards of the SG_IO and block I/O back ends and the identity an operator
// reads both ask here, so what is shown is what is enforced.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scsi/back_ends.h"
#include "scsi/drive_identity.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// The sysfs directory of a block device node. On the running system it is
// found by the node's device number, whatever the node is called; under a
// test's system root, by the kernel name the path resolves to.
fs::path SysfsBlock(const std::string& path) {
    std::error_code ec;
    if (!SystemRoot().empty()) {
        fs::path block = fs::canonical(SystemRoot() + "/sys/class/block/" + fs::path(path).filename().string(), ec);
        return ec ? fs::path() : block;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return fs::path();
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    fs::path block = fs::canonical(link, ec);
    return ec ? fs::path() : block;
}

// /proc/self/mounts and /proc/swaps write a space in a path as \040.
std::string Unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '7') {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

void AddHolders(const fs::path& block, std::vector<DiskUse>& uses) {
    std::error_code ec;
    for (const auto& holder : fs::directory_iterator(block / "holders", ec)) {
        uses.push_back({"/dev/" + block.filename().string(), "held by " + holder.path().filename().string()});
    }
}

}  // namespace

std::vector<DiskUse> DiskUses(const std::string& devicePath) {
    std::vector<DiskUse> uses;
    fs::path disk = SysfsBlock(devicePath);
    if (disk.empty()) return uses;
    std::error_code ec;
    if (fs::exists(disk / "partition", ec)) disk = disk.parent_path();

    AddHolders(disk, uses);
    for (const auto& entry : fs::directory_iterator(disk, ec)) {
        if (fs::exists(entry.path() / "partition", ec)) AddHolders(entry.path(), uses);
    }

    // The device a mount or swap source names, when it is this disk or a
    // partition of it.
    auto onDisk = [&](const std::string& source, std::string* device) {
        if (source.empty() || source[0] != '/') return false;
        fs::path used = SysfsBlock(source);
        if (used != disk && used.parent_path() != disk) return false;
        *device = "/dev/" + used.filename().string();
        return true;
    };
    std::ifstream mounts(SystemRoot() + "/proc/self/mounts");
    std::string line, device;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, target;
        fields >> source >> target;
        if (onDisk(Unescape(source), &device)) uses.push_back({device, Unescape(target)});
    }
    std::ifstream swaps(SystemRoot() + "/proc/swaps");
    while (std::getline(swaps, line)) {
        std::istringstream fields(line);
        std::string source;
        fields >> source;
        if (onDisk(Unescape(source), &device)) uses.push_back({device, "swap"});
    }
    return uses;
}

std::string DiskUseText(const DiskUse& use) {
    if (use.use == "swap") return use.device + " is in use as swap";
    if (use.use.rfind("held by ", 0) == 0) return use.device + " is " + use.use;
    return use.device + " is mounted on " + use.use;
}

bool DiskHasUsers(const std::string& devicePath) { return !DiskUses(devicePath).empty(); }

std::string DiskInUse(const std::string& devicePath) {
    std::vector<DiskUse> uses = DiskUses(devicePath);
    if (!uses.empty()) return DiskUseText(uses.front());
    // O_EXCL also fails for a holder that none of the tables shows.
    int fd = open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_EXCL);
    if (fd < 0 && errno == EBUSY) return devicePath + " is open for exclusive use by another program";
    if (fd >= 0) close(fd);
    return std::string();
}

int OpenDiskNode(const std::string& path, bool* exclusive) {
    // O_NONBLOCK: a reader without a card still opens, as its volume does on
    // Windows. A write-protected card refuses O_RDWR; it opens read-only and
    // the card itself then refuses the writes.
    // O_EXCL fails while the disk or a partition of it is mounted, swapped on
    // or held by device-mapper, which the mount table alone does not show; such
    // a disk still answers queries but takes no writes.
    int fd = -1;
    *exclusive = false;
    for (int access : {O_RDWR, O_RDONLY}) {
        int flags = access | O_NONBLOCK | O_CLOEXEC;
        fd = open(path.c_str(), flags | O_EXCL);
        *exclusive = fd >= 0;
        if (fd < 0 && errno == EBUSY) fd = open(path.c_str(), flags);
        if (fd >= 0 || (errno != EROFS && errno != EACCES)) break;
    }
    return fd;
}

}  // namespace platform

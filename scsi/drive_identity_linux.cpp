// Drive identity from sysfs, /proc/self/mounts and /proc/swaps.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scsi/drive_identity.h"
#include "scsi/drive_map.h"
#include "scsi/image_file.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string g_root;

constexpr std::uint64_t kSysfsSector = 512;  // /sys/block/X/size counts these, whatever the device's
constexpr std::uint64_t kMegabyte = 1 << 20;

std::string ReadLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    line.erase(line.begin(), std::find_if(line.begin(), line.end(), notSpace));
    line.erase(std::find_if(line.rbegin(), line.rend(), notSpace).base(), line.end());
    return line;
}

// A device node's kernel name; symlinks such as /dev/disk/by-id/... are
// followed on the running system.
std::string KernelName(const std::string& path) {
    std::string resolved = path;
    if (g_root.empty()) {
        char buffer[PATH_MAX];
        if (realpath(path.c_str(), buffer) != nullptr) resolved = buffer;
    }
    return fs::path(resolved).filename().string();
}

// The first path component that names a transport decides the bus: a USB
// reader's disk also sits below a SCSI host.
std::string BusOf(const fs::path& device) {
    static const std::pair<const char*, const char*> kBuses[] = {
        {"usb", "usb"}, {"mmc_host", "mmc"}, {"nvme", "nvme"}, {"virtio", "virtio"},
        {"ata", "ata"}, {"loop", "loop"}, {"host", "scsi"}, {"virtual", "virtual"}};
    std::vector<std::string> parts;
    bool below = false;
    for (const auto& part : device) {
        if (below) parts.push_back(part.string());
        below = below || part == "devices";
    }
    for (const auto& [prefix, bus] : kBuses) {
        for (const auto& part : parts) {
            if (part.rfind(prefix, 0) == 0) return bus;
        }
    }
    return std::string();
}

bool IsSdOrMmcCard(const fs::path& disk) {
    std::string type = ReadLine(disk / "device" / "type");
    return type == "SD" || type == "MMC";
}

DriveIdentity IdentifyImage(const std::string& path, const struct stat& st) {
    DriveIdentity id;
    id.path = path;
    id.disk = path;
    id.image = true;
    id.known = true;
    id.removable = true;
    id.sizeBytes = static_cast<std::uint64_t>(st.st_size);
    id.readOnly = access(path.c_str(), W_OK) != 0 || NoOneMayWrite(st.st_mode);
    return id;
}

}  // namespace

void SetSystemRoot(const std::string& root) { g_root = root; }
const std::string& SystemRoot() { return g_root; }

DriveIdentity IdentifyPath(const std::string& path) {
    DriveIdentity id;
    id.path = path;
    id.disk = path;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return IdentifyImage(path, st);

    std::error_code ec;
    fs::path block = fs::canonical(g_root + "/sys/class/block/" + KernelName(path), ec);
    if (ec || !fs::exists(block / "dev", ec)) return id;
    id.known = true;
    fs::path disk = block;
    if (fs::exists(block / "partition", ec)) {
        id.partition = true;
        disk = block.parent_path();
    }
    id.disk = "/dev/" + disk.filename().string();

    id.bus = BusOf(disk);
    id.vendor = ReadLine(disk / "device" / "vendor");
    id.model = ReadLine(disk / "device" / "model");
    if (IsSdOrMmcCard(disk)) {
        if (id.vendor.empty()) id.vendor = ReadLine(disk / "device" / "type") + " card";
        if (id.model.empty()) id.model = ReadLine(disk / "device" / "name");
    }
    id.removable = ReadLine(disk / "removable") == "1" || IsSdOrMmcCard(disk);
    id.sizeBytes = std::strtoull(ReadLine(disk / "size").c_str(), nullptr, 10) * kSysfsSector;
    id.readOnly = ReadLine(disk / "ro") == "1" || ReadLine(block / "ro") == "1";

    id.inUse = DiskUses(path);
    return id;
}

DriveIdentity IdentifyDrive(char letter) {
    std::string path = DescribeDrive(letter);
    if (path.empty()) return DriveIdentity{};
    return IdentifyPath(path);
}

std::string IdentityText(const DriveIdentity& id) {
    std::string text = id.path + ":";
    std::string name = id.vendor + (id.vendor.empty() || id.model.empty() ? "" : " ") + id.model;
    if (id.image) {
        text += " card image";
    } else if (!id.known) {
        return text + " not known to the kernel";
    } else {
        if (!name.empty()) text += " " + name + ",";
        if (!id.bus.empty()) text += " " + id.bus + ",";
        text += id.removable ? " removable" : " fixed";
    }
    text += ", " + std::to_string(id.sizeBytes / kMegabyte) + " MB (" + std::to_string(id.sizeBytes) + " bytes)";
    if (id.partition) text += ", a partition of " + id.disk;
    if (id.readOnly) text += ", read-only";
    for (std::size_t i = 0; i < id.inUse.size(); ++i) {
        text += (i == 0 ? ", in use: " : "; ") + id.inUse[i].device;
        const std::string& use = id.inUse[i].use;
        text += (use == "swap" || use.rfind("held by ", 0) == 0 ? " " : " on ") + use;
    }
    return text;
}

std::vector<std::string> WholeDiskDevices() {
    std::vector<std::string> sd, mmc;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(g_root + "/sys/block", ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 2 && name.rfind("sd", 0) == 0 &&
            std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
            sd.push_back(name);
        } else if (name.size() > 6 && name.rfind("mmcblk", 0) == 0 &&
                   std::all_of(name.begin() + 6, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            mmc.push_back(name);  // not mmcblk0boot0 or mmcblk0rpmb: those are eMMC areas
        }
    }
    // sdz comes before sdaa, mmcblk9 before mmcblk10.
    auto byLength = [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    };
    std::sort(sd.begin(), sd.end(), byLength);
    std::sort(mmc.begin(), mmc.end(), byLength);
    std::vector<std::string> devices;
    for (const auto* list : {&sd, &mmc}) {
        for (const std::string& name : *list) devices.push_back("/dev/" + name);
    }
    return devices;
}

}  // namespace platform

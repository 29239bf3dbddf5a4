// The drive map: which device or card image stands behind each letter, and
// the one table of back ends that decides which target serves it.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "scsi/drive_identity.h"
#include "scsi/drive_map.h"
#include "scsi/back_ends.h"

namespace platform {
namespace {

struct DriveEntry {
    std::string description;
    std::string path;                      // empty for a target given by a test
    std::shared_ptr<ScsiTarget> resident;  // a card image's reader, kept between opens
    int openError = -1;                    // of the last open: 0 opened, -1 never tried, else errno
};

// Letters go to disks that exist, as Windows gives them only to volumes.
std::map<char, DriveEntry> DefaultDrives() {
    std::map<char, DriveEntry> drives;
    char letter = 'D';
    for (const std::string& path : DefaultDrivePaths()) {
        if (letter > 'Z') break;
        drives[letter++] = DriveEntry{path, path, nullptr};
    }
    return drives;
}

std::shared_ptr<ScsiTarget> OpenSystemVolumeAt(const std::string& path) {
    return volumes::OpenSystemVolume(path.size() > 4 ? path[4] : '\0');
}

// Every back end that can stand behind a letter, tried in this order; the
// first that takes the kind of node serves it. The next is tried only when
// one refuses the kind of device (ENOTTY), never after a refused open. A
// letter the map leaves alone goes to the last row. Test doubles are mapped
// straight in with MapDrive.
struct BackEnd {
    const char* what;
    NodeKind takes;
    std::shared_ptr<ScsiTarget> (*open)(const std::string& path);
    bool resident;  // one target kept for every open, so its state lasts
};
const BackEnd kBackEnds[] = {
#ifndef _WIN32
    {"SCSI pass-through (SG_IO) on a card reader: sg_io_linux.cpp", NodeKind::BlockDevice, OpenSgIoDevice, false},
    {"block I/O on a disk without SG_IO (SD slot, loop device): block_io_linux.cpp", NodeKind::BlockDevice,
     [](const std::string& path) { return OpenBlockIoDevice(path); }, false},
    {"a card image file in an emulated reader, written only under its lock: card_image.cpp, image_lock_linux.cpp",
     NodeKind::File, [](const std::string& path) { return OpenExclusiveCardImage(path); }, true},
#else
    {"a card image file in an emulated reader: card_image.cpp", NodeKind::File,
     [](const std::string& path) { return OpenCardImage(path); }, true},
#endif
    // Provided by the system layer: on Windows the real volume, by
    // IOCTL_SCSI_PASS_THROUGH_DIRECT (platform/sys_win32.cpp); nothing
    // elsewhere.
    {"the system's own volume \\\\.\\X: of a letter the map leaves alone", NodeKind::SystemVolume,
     OpenSystemVolumeAt, false},
};

std::map<char, DriveEntry>& Drives() {
    static std::map<char, DriveEntry> drives = DefaultDrives();
    return drives;
}

std::shared_ptr<ScsiTarget> OpenWithBackEnds(DriveEntry& entry, NodeKind kind) {
    for (const BackEnd& backEnd : kBackEnds) {
        if (backEnd.takes != kind) continue;
        if (backEnd.resident && entry.resident) return entry.resident;
        std::shared_ptr<ScsiTarget> target = backEnd.open(entry.path);
        if (target) {
            if (backEnd.resident) entry.resident = target;
            return target;
        }
        if (errno != ENOTTY) break;
    }
    return nullptr;
}

std::shared_ptr<ScsiTarget> OpenEntry(DriveEntry& entry) {
    if (entry.path.empty()) return entry.resident;
    NodeKind kind;
    std::shared_ptr<ScsiTarget> target = KindOf(entry.path, &kind) ? OpenWithBackEnds(entry, kind) : nullptr;
    entry.openError = target ? 0 : errno;
    return target;
}

}  // namespace

bool ValidLetter(char letter) { return letter >= 'D' && letter <= 'Z'; }

std::string LetterOutOfRange(const std::string& given) {
    return "drive letter must be D to Z, got '" + given + "'";
}

void ResetDriveMap() { Drives() = DefaultDrives(); }

void ClearDriveMap() { Drives().clear(); }

bool MapDrive(char letter, const std::string& path) {
    if (!ValidLetter(letter) || path.empty() || !volumes::ServesCardImages()) return false;
    Drives()[letter] = DriveEntry{path, path, nullptr};
    return true;
}

void MapDrive(char letter, std::shared_ptr<ScsiTarget> target, const std::string& description) {
    if (!ValidLetter(letter)) return;
    Drives()[letter] = DriveEntry{description, std::string(), std::move(target)};
}

void UnmapDrive(char letter) { Drives().erase(letter); }

bool IsMappedDrive(char letter) { return Drives().count(letter) != 0; }

std::shared_ptr<ScsiTarget> OpenDriveTarget(char letter) {
    auto it = Drives().find(letter);
    if (it != Drives().end()) return OpenEntry(it->second);
    DriveEntry system{std::string(), std::string("\\\\.\\") + letter + ":", nullptr};
    return OpenWithBackEnds(system, NodeKind::SystemVolume);
}

std::string DescribeDrive(char letter) {
    auto it = Drives().find(letter);
    return it == Drives().end() ? volumes::SystemVolumeName(letter) : it->second.description;
}

char LetterForPath(const std::string& path) {
    for (auto& [letter, entry] : Drives()) {
        if (!entry.path.empty() && entry.path == path) return letter;
    }
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        auto it = Drives().find(letter);
        if (it == Drives().end()) return letter;
        if (!it->second.path.empty() && NodeGone(it->second.path)) return letter;
    }
    return 0;
}

bool ParseDriveOption(const std::string& option, std::string* error) {
    if (option.size() < 3 || option[1] != '=') {
        if (error) *error = "expected X=PATH, got '" + option + "'";
        return false;
    }
    char letter = option[0];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (!volumes::ServesCardImages()) {
        if (error) *error = "this build reaches real volumes only; --drive is for test builds";
        return false;
    }
    if (!MapDrive(letter, option.substr(2))) {
        if (error) *error = LetterOutOfRange(option.substr(0, 1));
        return false;
    }
    return true;
}

bool DriveOptions::Take(int argc, char** argv, int& i, std::string* error) {
    const std::string arg = argv[i];
    std::string option;
    if (arg == "--drive") {
        if (i + 1 >= argc) {
            *error = "--drive needs X=PATH";
            return true;
        }
        option = argv[++i];
    } else if (arg.rfind("--drive=", 0) == 0) {
        option = arg.substr(8);
    } else {
        return false;
    }
    if (option.size() >= 2 && option[1] == '=') {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(option[0])));
        for (const std::string& taken : taken_) {
            if (std::toupper(static_cast<unsigned char>(taken[0])) == letter) {
                *error = "--drive " + std::string(1, letter) + "= is given twice";
                return true;
            }
        }
    }
    if (ParseDriveOption(option, error)) taken_.push_back(option);
    return true;
}

std::string DriveInUse(char letter) {
    auto it = Drives().find(letter);
    if (it == Drives().end() || it->second.path.empty()) return std::string();
    return NodeInUse(it->second.path);
}

std::string OpenFailureReason() {
    std::vector<std::string> refused;
    for (const auto& [letter, entry] : Drives()) {
        if (entry.openError == 0) return std::string();
        if (entry.openError == EACCES || entry.openError == EPERM) refused.push_back(entry.path);
    }
    if (refused.empty()) return std::string();
    std::string paths = refused.front();
    if (refused.size() > 1) {
        std::string last = refused.back();
        std::string folder = paths.substr(0, paths.rfind('/') + 1);
        if (last.rfind(folder, 0) == 0) last = last.substr(folder.size());
        paths += ".." + last;
    }
    return "cannot open " + paths + ": permission denied; run as root";
}

}  // namespace platform

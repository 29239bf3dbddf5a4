// Volume handles and pass-through requests over the drive map.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/drive_map.h"
#include "platform/winapi.h"
#include "posix_targets.h"
#include "volume_table.h"

namespace platform {
namespace {

struct DriveEntry {
    std::string description;
    std::string path;                      // empty for a target given by a test
    std::shared_ptr<ScsiTarget> resident;  // a card image's reader, kept between opens
};

struct Volume {
    std::shared_ptr<ScsiTarget> target;
};

std::map<char, DriveEntry> DefaultDrives() {
    std::map<char, DriveEntry> drives;
#ifndef _WIN32
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        std::string path = std::string("/dev/sd") + static_cast<char>('a' + (letter - 'D'));
        drives[letter] = DriveEntry{path, path, nullptr};
    }
#endif
    return drives;
}

std::map<char, DriveEntry>& Drives() {
    static std::map<char, DriveEntry> drives = DefaultDrives();
    return drives;
}

// Handle values are never reused, so a stale handle cannot reach another
// volume; they are odd, so they never equal a kernel handle (a multiple of 4).
std::map<std::uintptr_t, Volume>& Volumes() {
    static std::map<std::uintptr_t, Volume> volumes;
    return volumes;
}
std::uintptr_t g_nextHandle = 0x1001;

bool ValidLetter(char letter) { return letter >= 'D' && letter <= 'Z'; }

// "\\.\X:" and nothing else names a volume.
char LetterOfVolumePath(const char* path) {
    if (path == nullptr || std::strlen(path) != 6) return 0;
    if (std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':') return 0;
    char letter = path[4];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    return ValidLetter(letter) ? letter : 0;
}

std::shared_ptr<ScsiTarget> OpenEntry(DriveEntry& entry) {
    if (entry.path.empty()) return entry.resident;
#ifndef _WIN32
    struct stat st {};
    if (stat(entry.path.c_str(), &st) != 0) return nullptr;
    if (S_ISBLK(st.st_mode)) return OpenBlockDevice(entry.path);
    if (!S_ISREG(st.st_mode)) return nullptr;
#endif
    if (!entry.resident) entry.resident = OpenCardImage(entry.path);
    return entry.resident;
}

}  // namespace

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

std::shared_ptr<ScsiTarget> OpenDriveTarget(char letter) {
    auto it = Drives().find(letter);
    return it == Drives().end() ? volumes::OpenSystemVolume(letter) : OpenEntry(it->second);
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
#ifndef _WIN32
        struct stat st {};
        if (!it->second.path.empty() && stat(it->second.path.c_str(), &st) != 0) return letter;
#endif
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
        if (error) *error = "drive letter must be D to Z, got '" + option.substr(0, 1) + "'";
        return false;
    }
    return true;
}

int OpenVolumeCount() { return static_cast<int>(Volumes().size()); }

namespace volumes {

char LetterOfPath(LPCSTR path) { return LetterOfVolumePath(path); }

bool IsMapped(char letter) { return Drives().count(letter) != 0; }

HANDLE Open(LPCSTR path, DWORD access, DWORD disposition) {
    char letter = LetterOfVolumePath(path);
    if (letter == 0 || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
        return INVALID_HANDLE_VALUE;
    }
    auto it = Drives().find(letter);
    if (it == Drives().end()) return INVALID_HANDLE_VALUE;
    std::shared_ptr<ScsiTarget> target = OpenEntry(it->second);
    if (!target) return INVALID_HANDLE_VALUE;
    std::uintptr_t value = g_nextHandle;
    g_nextHandle += 2;
    Volumes()[value] = Volume{std::move(target)};
    return reinterpret_cast<HANDLE>(value);
}

bool Owns(HANDLE handle) { return Volumes().count(reinterpret_cast<std::uintptr_t>(handle)) != 0; }

BOOL Close(HANDLE handle) {
    auto it = Volumes().find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == Volumes().end()) return FALSE;
    std::shared_ptr<ScsiTarget> target = std::move(it->second.target);
    Volumes().erase(it);
    bool stillOpen = std::any_of(Volumes().begin(), Volumes().end(),
                                 [&](const auto& v) { return v.second.target == target; });
    if (!stillOpen) target->Released();
    return TRUE;
}

BOOL PassThrough(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                 LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    auto it = Volumes().find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == Volumes().end() || overlapped != nullptr) return FALSE;
    if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT) return FALSE;
    if (inBuffer == nullptr || outBuffer == nullptr) return FALSE;
    if (inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) || outSize < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return FALSE;
    }
    SCSI_PASS_THROUGH_DIRECT request;
    std::memcpy(&request, inBuffer, sizeof request);
    if (request.Length != sizeof(SCSI_PASS_THROUGH_DIRECT)) return FALSE;
    if (request.CdbLength == 0 || request.CdbLength > sizeof request.Cdb) return FALSE;
    if (request.SenseInfoLength > 0 &&
        (request.SenseInfoOffset < sizeof request ||
         std::uint64_t{request.SenseInfoOffset} + request.SenseInfoLength > outSize)) {
        return FALSE;
    }
    if (request.DataTransferLength > 0 && request.DataBuffer == nullptr) return FALSE;

    ScsiExchange exchange;
    exchange.requestBlock = static_cast<const std::uint8_t*>(inBuffer);
    exchange.requestBlockSize = inSize;
    std::memcpy(exchange.cdb, request.Cdb, request.CdbLength);
    exchange.cdbLength = request.CdbLength;
    exchange.data = static_cast<std::uint8_t*>(request.DataBuffer);
    exchange.dataLength = request.DataTransferLength;
    exchange.timeoutSeconds = request.TimeOutValue;
    if (request.DataTransferLength == 0) {
        exchange.direction = DataDirection::None;
    } else if (request.DataIn == SCSI_IOCTL_DATA_IN) {
        exchange.direction = DataDirection::In;
    } else if (request.DataIn == SCSI_IOCTL_DATA_OUT) {
        exchange.direction = DataDirection::Out;
    } else {
        return FALSE;
    }

    std::shared_ptr<ScsiTarget> target = it->second.target;
    if (!target->Execute(exchange)) return FALSE;

    request.ScsiStatus = exchange.status;
    request.DataTransferLength -= std::min<ULONG>(exchange.residual, request.DataTransferLength);
    std::uint8_t senseLength = std::min(request.SenseInfoLength, exchange.senseLength);
    request.SenseInfoLength = senseLength;
    auto* out = static_cast<std::uint8_t*>(outBuffer);
    std::memcpy(out, &request, sizeof request);
    if (senseLength > 0) std::memcpy(out + request.SenseInfoOffset, exchange.sense, senseLength);
    if (bytesReturned != nullptr) {
        *bytesReturned = senseLength > 0 ? request.SenseInfoOffset + senseLength
                                         : static_cast<DWORD>(sizeof request);
    }
    return TRUE;
}

}  // namespace volumes
}  // namespace platform


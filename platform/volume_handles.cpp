// Volume handles over the drive map, and the one place where a pass-through
// request block becomes an exchange for the target behind the handle: every
// handle on a build without Windows, mapped letters on Windows.
#include "platform/volume_handles.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "scsi/drive_map.h"

namespace platform {
namespace {

struct Volume {
    std::shared_ptr<ScsiTarget> target;
};

// Handle values are never reused, so a stale handle cannot reach another
// volume; they are odd, so they never equal a kernel handle (a multiple of 4).
std::map<std::uintptr_t, Volume>& Volumes() {
    static std::map<std::uintptr_t, Volume> volumes;
    return volumes;
}
std::uintptr_t g_nextHandle = 0x1001;

// "\\.\X:" and nothing else names a volume.
char LetterOfVolumePath(const char* path) {
    if (path == nullptr || std::strlen(path) != 6) return 0;
    if (std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':') return 0;
    char letter = path[4];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    return platform::ValidLetter(letter) ? letter : 0;
}

}  // namespace

namespace volumes {

char LetterOfPath(LPCSTR path) { return LetterOfVolumePath(path); }

bool IsMapped(char letter) { return IsMappedDrive(letter); }

HANDLE Open(LPCSTR path, DWORD access, DWORD disposition) {
    char letter = LetterOfVolumePath(path);
    if (letter == 0 || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE)) {
        return INVALID_HANDLE_VALUE;
    }
    if (!IsMappedDrive(letter)) return INVALID_HANDLE_VALUE;
    std::shared_ptr<ScsiTarget> target = OpenDriveTarget(letter);
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

int OpenVolumeCount() { return static_cast<int>(Volumes().size()); }

}  // namespace platform


// The real Windows API behind the sys:: names, for the Windows programs. A
// letter that the drive map names is still served by the map (a dry run wraps
// the real volume that way).
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstring>
#include <map>

#include "platform/winapi.h"
#include "platform/volume_handles.h"
#include "scsi/back_ends.h"

namespace {

// Handles on real volumes, and whether each holds the volume's lock.
std::map<HANDLE, bool>& RealVolumes() {
    static std::map<HANDLE, bool> volumes;
    return volumes;
}

bool CarriesWrite(DWORD code, LPVOID inBuffer, DWORD inSize) {
    if (code != IOCTL_SCSI_PASS_THROUGH_DIRECT || inBuffer == nullptr || inSize < sizeof(SCSI_PASS_THROUGH_DIRECT)) {
        return false;
    }
    const auto* request = static_cast<const SCSI_PASS_THROUGH_DIRECT*>(inBuffer);
    return platform::IsWriteCommand(request->Cdb[0]);
}

// Writing under a mounted file system would corrupt the card and whatever
// is open on it: the volume is locked and dismounted first, and a volume
// whose lock is refused (files open on it) is not written at all.
bool LockForWriting(HANDLE volume) {
    DWORD returned = 0;
    if (!::DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) return false;
    if (!::DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
        ::DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
        return false;
    }
    return true;
}

// A real volume as a target, for wrappers such as the dry run.
class SystemVolumeTarget : public platform::ScsiTarget {
public:
    explicit SystemVolumeTarget(HANDLE volume) : volume_(volume) {}
    ~SystemVolumeTarget() override { sys::CloseHandle(volume_); }

    bool Execute(platform::ScsiExchange& x) override {
        struct {
            SCSI_PASS_THROUGH_DIRECT header;
            ULONG filler;
            UCHAR sense[32];
        } block{};
        block.header.Length = sizeof block.header;
        block.header.TargetId = 1;
        block.header.CdbLength = x.cdbLength;
        block.header.SenseInfoLength = sizeof block.sense;
        block.header.SenseInfoOffset = offsetof(decltype(block), sense);
        block.header.DataIn = x.direction == platform::DataDirection::In ? SCSI_IOCTL_DATA_IN
                              : x.direction == platform::DataDirection::Out ? SCSI_IOCTL_DATA_OUT
                                                                             : SCSI_IOCTL_DATA_UNSPECIFIED;
        block.header.DataTransferLength = x.dataLength;
        block.header.DataBuffer = x.data;
        block.header.TimeOutValue = x.timeoutSeconds;
        std::memcpy(block.header.Cdb, x.cdb, x.cdbLength);
        DWORD returned = 0;
        if (!sys::DeviceIoControl(volume_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                  sizeof block, &returned, nullptr)) {
            return false;
        }
        x.status = block.header.ScsiStatus;
        x.residual = x.dataLength - std::min<ULONG>(block.header.DataTransferLength, x.dataLength);
        x.senseLength = std::min<UCHAR>(block.header.SenseInfoLength, sizeof x.sense);
        std::memcpy(x.sense, block.sense, x.senseLength);
        return true;
    }

private:
    HANDLE volume_;
};

}  // namespace

namespace platform::volumes {

std::shared_ptr<ScsiTarget> OpenSystemVolume(char letter) {
    char path[8] = {'\\', '\\', '.', '\\', letter, ':', '\0'};
    HANDLE volume = sys::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_shared<SystemVolumeTarget>(volume);
}

std::string SystemVolumeName(char letter) { return std::string("\\\\.\\") + letter + ":"; }

bool ServesCardImages() { return false; }

}  // namespace platform::volumes

using platform::volumes::Owns;

HANDLE sys::CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                        DWORD disposition, DWORD flags, HANDLE templateFile) {
    char letter = platform::volumes::LetterOfPath(path);
    if (letter != 0 && platform::volumes::IsMapped(letter)) {
        return platform::volumes::Open(path, access, disposition);
    }
    HANDLE handle = ::CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE && letter != 0) RealVolumes()[handle] = false;
    return handle;
}

BOOL sys::CloseHandle(HANDLE handle) {
    if (Owns(handle)) return platform::volumes::Close(handle);
    RealVolumes().erase(handle);
    return ::CloseHandle(handle);
}

BOOL sys::DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                          DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (Owns(handle)) {
        return platform::volumes::PassThrough(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                                              overlapped);
    }
    auto volume = RealVolumes().find(handle);
    if (volume != RealVolumes().end() && !volume->second && CarriesWrite(code, inBuffer, inSize)) {
        if (!LockForWriting(handle)) return FALSE;
        volume->second = true;
    }
    return ::DeviceIoControl(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned, overlapped);
}

HGLOBAL sys::GlobalAlloc(UINT flags, SIZE_T bytes) { return ::GlobalAlloc(flags, bytes); }
LPVOID sys::GlobalLock(HGLOBAL memory) { return ::GlobalLock(memory); }
BOOL sys::GlobalUnlock(HGLOBAL memory) { return ::GlobalUnlock(memory); }
HGLOBAL sys::GlobalFree(HGLOBAL memory) { return ::GlobalFree(memory); }

void sys::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

BOOL sys::SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) { return ::SetConsoleCtrlHandler(handler, add); }

BOOL sys::EnumWindows(WNDENUMPROC callback, LPARAM param) { return ::EnumWindows(callback, param); }
int sys::GetClassNameA(HWND window, LPSTR className, int maxCount) {
    return ::GetClassNameA(window, className, maxCount);
}
int sys::lstrcmpiA(LPCSTR a, LPCSTR b) { return ::lstrcmpiA(a, b); }
BOOL sys::PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageA(window, message, wParam, lParam);
}

// The services behind the sys:: names without the Windows kernel: volumes
// over the drive map, global memory that counts its blocks and can be made to
// fail, sleeping, and a desktop with no windows but those a test installs.
#ifdef _WIN32
#include <windows.h>
#else
#include <strings.h>
#include <time.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/desktop.h"
#include "platform/winapi.h"
#include "platform/volume_handles.h"
#include "scsi/back_ends.h"

namespace {

struct GlobalBlock {
    std::size_t size;
    int locks;
    alignas(std::max_align_t) unsigned char data[1];
};

int g_liveBlocks = 0;
int g_allocCount = 0;
int g_failAllocAt = 0;
std::size_t g_liveBytes = 0;
std::size_t g_peakBytes = 0;
bool g_skipSleeps = false;

platform::Desktop* g_desktop = nullptr;

}  // namespace

namespace platform::volumes {

std::shared_ptr<ScsiTarget> OpenSystemVolume(char) { return nullptr; }
std::string SystemVolumeName(char) { return std::string(); }
bool ServesCardImages() { return true; }

}  // namespace platform::volumes

HANDLE sys::CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                        HANDLE) {
    return platform::volumes::Open(path, access, disposition);
}

BOOL sys::CloseHandle(HANDLE handle) { return platform::volumes::Close(handle); }

BOOL sys::DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                          DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    return platform::volumes::PassThrough(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                                          overlapped);
}

HGLOBAL sys::GlobalAlloc(UINT flags, SIZE_T bytes) {
    ++g_allocCount;
    if (g_failAllocAt != 0 && g_allocCount == g_failAllocAt) return nullptr;
    if (bytes > (SIZE_MAX - sizeof(GlobalBlock))) return nullptr;
    void* raw = (flags & GMEM_ZEROINIT) ? std::calloc(1, sizeof(GlobalBlock) + bytes)
                                        : std::malloc(sizeof(GlobalBlock) + bytes);
    if (raw == nullptr) return nullptr;
    auto* block = static_cast<GlobalBlock*>(raw);
    block->size = bytes;
    block->locks = 0;
    ++g_liveBlocks;
    g_liveBytes += bytes;
    if (g_liveBytes > g_peakBytes) g_peakBytes = g_liveBytes;
    return block;
}

LPVOID sys::GlobalLock(HGLOBAL memory) {
    if (memory == nullptr) return nullptr;
    auto* block = static_cast<GlobalBlock*>(memory);
    ++block->locks;
    return block->data;
}

BOOL sys::GlobalUnlock(HGLOBAL memory) {
    if (memory == nullptr) return FALSE;
    auto* block = static_cast<GlobalBlock*>(memory);
    if (block->locks > 0) --block->locks;
    return block->locks > 0 ? TRUE : FALSE;
}

HGLOBAL sys::GlobalFree(HGLOBAL memory) {
    if (memory == nullptr) return nullptr;
    g_liveBytes -= static_cast<GlobalBlock*>(memory)->size;
    std::free(memory);
    --g_liveBlocks;
    return nullptr;
}

void sys::Sleep(DWORD milliseconds) {
    if (g_skipSleeps) return;
#ifdef _WIN32
    ::Sleep(milliseconds);
#else
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
#endif
}

// No console sends events here; on Linux the program holds signals instead.
BOOL sys::SetConsoleCtrlHandler(PHANDLER_ROUTINE, BOOL) { return TRUE; }

// No desktop of its own: only a test's windows, when one installs them, are
// ever enumerated or posted to.
BOOL sys::EnumWindows(WNDENUMPROC callback, LPARAM param) {
    return g_desktop == nullptr ? TRUE : g_desktop->EnumWindows(callback, param);
}

int sys::GetClassNameA(HWND window, LPSTR className, int maxCount) {
    return g_desktop == nullptr ? 0 : g_desktop->GetClassNameA(window, className, maxCount);
}

int sys::lstrcmpiA(LPCSTR a, LPCSTR b) {
#ifdef _WIN32
    return ::lstrcmpiA(a, b);
#else
    return strcasecmp(a, b);
#endif
}

BOOL sys::PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return g_desktop == nullptr ? FALSE : g_desktop->PostMessageA(window, message, wParam, lParam);
}

void platform::InstallDesktop(Desktop* desktop) { g_desktop = desktop; }

namespace platform::testing {

int LiveGlobalAllocations() { return g_liveBlocks; }

std::size_t PeakGlobalBytes() { return g_peakBytes; }

void ResetPeakGlobalBytes() { g_peakBytes = g_liveBytes; }

void SkipSleeps(bool skip) { g_skipSleeps = skip; }

void FailGlobalAllocAt(int n) {
    g_failAllocAt = n == 0 ? 0 : g_allocCount + n;
}

}  // namespace platform::testing

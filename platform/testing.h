// What tests see of and change in the system layer: global memory that can
// be made to fail, sleeps that return at once, a desktop of fake windows,
// and the volume handles left open.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/volume_handles.h"
#include "platform/winapi.h"

namespace platform::testing {

// Global memory: how many blocks are live, and refusing the n-th allocation.
int LiveGlobalAllocations();
void FailGlobalAllocAt(int n);  // 0 turns it off
// The most global memory held at once since the last reset, in bytes.
std::size_t PeakGlobalBytes();
void ResetPeakGlobalBytes();

// Sleep returns at once, for runs that must not wait out the progress pauses.
void SkipSleeps(bool skip);

// Top-level windows for EnumWindows while the object lives.
struct FakeWindow {
    std::string className;
    bool classReadable = true;
};
struct PostedMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
class FakeDesktop : public Desktop {
public:
    explicit FakeDesktop(std::vector<FakeWindow> windows);
    ~FakeDesktop() override;
    FakeDesktop(const FakeDesktop&) = delete;
    FakeDesktop& operator=(const FakeDesktop&) = delete;

    BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) override;
    int GetClassNameA(HWND window, LPSTR className, int maxCount) override;
    BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

    HWND Window(std::size_t index) const;
    std::vector<FakeWindow> windows;
    std::vector<PostedMessage> posted;
    std::vector<BOOL> callbackResults;
};

}  // namespace platform::testing

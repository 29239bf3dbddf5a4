// The fake desktop of platform/testing.h.
#include "platform/testing.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace platform::testing {

FakeDesktop::FakeDesktop(std::vector<FakeWindow> w) : windows(std::move(w)) { InstallDesktop(this); }
FakeDesktop::~FakeDesktop() { InstallDesktop(nullptr); }

HWND FakeDesktop::Window(std::size_t index) const {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(index + 1));
}

BOOL FakeDesktop::EnumWindows(WNDENUMPROC callback, LPARAM param) {
    for (std::size_t i = 0; i < windows.size(); ++i) {
        BOOL more = callback(Window(i), param);
        callbackResults.push_back(more);
        if (!more) return FALSE;
    }
    return TRUE;
}

int FakeDesktop::GetClassNameA(HWND window, LPSTR className, int maxCount) {
    if (className == nullptr || maxCount <= 0) return 0;
    auto index = reinterpret_cast<std::uintptr_t>(window) - 1;
    if (index >= windows.size() || !windows[index].classReadable) return 0;
    const std::string& name = windows[index].className;
    std::size_t n = std::min(name.size(), static_cast<std::size_t>(maxCount - 1));
    std::memcpy(className, name.data(), n);
    className[n] = '\0';
    return static_cast<int>(n);
}

BOOL FakeDesktop::PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    posted.push_back({window, message, wParam, lParam});
    return TRUE;
}

}  // namespace platform::testing

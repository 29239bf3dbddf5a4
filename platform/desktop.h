// The top-level windows the system names reach on a build without Windows.
// There are none unless a test installs its own.
#pragma once

#include "platform/winapi.h"

namespace platform {

class Desktop {
public:
    virtual ~Desktop() = default;
    virtual BOOL EnumWindows(WNDENUMPROC callback, LPARAM param) = 0;
    virtual int GetClassNameA(HWND window, LPSTR className, int maxCount) = 0;
    virtual BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// Null removes it.
void InstallDesktop(Desktop* desktop);

}  // namespace platform

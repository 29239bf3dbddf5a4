#include "repair/explorer_notify.h"

BOOL CALLBACK ExplorerNotifyProc(HWND window, LPARAM) {
    char className[260];
    if (sys::GetClassNameA(window, className, sizeof className) == 0) return TRUE;
    if (sys::lstrcmpiA(className, "ExploreWClass") == 0 || sys::lstrcmpiA(className, "CabinetWClass") == 0) {
        // Posted, not sent: a hung Explorer must not hang the repair.
        sys::PostMessageA(window, WM_COMMAND, kExplorerRefreshCommand, 0);
    }
    return TRUE;
}

void NotifyExplorerWindows() { sys::EnumWindows(ExplorerNotifyProc, 0); }

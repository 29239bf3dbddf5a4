#include "repair/explorer_notify.h"

BOOL CALLBACK ExplorerNotifyProc(HWND window, LPARAM) {
    char className[260];
    if (GetClassNameA(window, className, sizeof className) == 0) return TRUE;
    if (lstrcmpiA(className, "ExploreWClass") == 0 || lstrcmpiA(className, "CabinetWClass") == 0) {
        // Posted, not sent: a hung Explorer must not hang the repair.
        PostMessageA(window, WM_COMMAND, kExplorerRefreshCommand, 0);
    }
    return TRUE;
}

void NotifyExplorerWindows() { EnumWindows(ExplorerNotifyProc, 0); }

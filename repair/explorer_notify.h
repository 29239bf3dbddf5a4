#pragma once

#include "platform/winapi.h"

constexpr WPARAM kExplorerRefreshCommand = 41061;

// Posts the refresh command to every top-level Explorer window.
BOOL CALLBACK ExplorerNotifyProc(HWND window, LPARAM);
void NotifyExplorerWindows();

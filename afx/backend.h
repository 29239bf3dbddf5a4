// The seam between the framework subset (afx/afx.h) and whatever shows
// its windows: a headless model for tests, wxWidgets, Win32. It speaks
// in window handles and messages so that a Win32 back end maps onto it
// directly.
#pragma once

#include "afx/afx.h"

namespace res {
struct DialogTemplate;
struct IconGroup;
}  // namespace res

namespace afx {

class Backend {
public:
    virtual ~Backend() = default;

    // The dialog window and its controls, built from the template and not yet
    // shown; null when they cannot be made.
    virtual HWND CreateDialogWindow(const res::DialogTemplate& dialogTemplate, HWND owner) = 0;
    // Shows the dialog and returns once EndModalLoop has been called for it.
    virtual void RunModalLoop(HWND dialog) = 0;
    virtual void EndModalLoop(HWND dialog) = 0;
    // Sends WM_NCDESTROY to each control, then to the dialog, and frees them.
    virtual void DestroyDialogWindow(HWND dialog) = 0;

    virtual HWND GetDlgItem(HWND dialog, int id) = 0;
    // Delivers a message to a window and returns its answer.
    virtual LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // What the window itself does with a message its framework object passes on.
    virtual LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // Returns nonzero when the window was disabled before.
    virtual BOOL EnableWindow(HWND window, BOOL enable) = 0;
    virtual BOOL IsIconic(HWND window) = 0;
    virtual RECT GetClientRect(HWND window) = 0;
    virtual int GetSystemMetrics(int index) = 0;
    // A paint context for the window's invalid part, which EndPaint validates.
    virtual HDC BeginPaint(HWND window) = 0;
    virtual void EndPaint(HWND window) = 0;
    // Draws into the window's open paint context.
    virtual BOOL DrawIcon(HWND window, int x, int y, HICON icon) = 0;
    // A numbered icon resource of the program; null when there is none.
    virtual HICON LoadIcon(HINSTANCE instance, int id) = 0;

    // Modal; returns IDOK or IDCANCEL.
    virtual int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    // The text a control shows while the pointer rests on it; none by default.
    virtual void SetToolTip(HWND /*window*/, LPCSTR /*text*/) {}
};

// The back end the framework uses; null for none.
void SetBackend(Backend* backend);
Backend* GetBackend();

// A message from the back end (a click, a close box) to the window's
// framework object, or to the back end's default handling when it has none.
LRESULT DeliverMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Icons from the resource tables, for back ends without a resource loader of
// their own, and the resource behind such a handle.
HICON TableIcon(int id);
const res::IconGroup* IconGroupOf(HICON icon);

}  // namespace afx

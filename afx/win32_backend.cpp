// The Win32 back end: dialogs from the executable's own template, through the
// wide API so the captions survive any code page, with the framework's
// objects subclassing the dialog and its controls.
#include "afx/win32_backend.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "afx/afx.h"
#include "afx/backend.h"
#include "res/resources.h"

namespace afx::win32 {
namespace {

std::wstring Wide(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0') return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring text(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), n);
    text.resize(static_cast<std::size_t>(n - 1));
    return text;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(std::max(n, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

std::wstring WindowText(HWND window) {
    auto length = static_cast<std::size_t>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
    std::wstring text(length + 1, L'\0');
    length = static_cast<std::size_t>(SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
    text.resize(std::min(length, text.size() - 1));
    return text;
}

// CB_ERR for an index without an entry.
LRESULT ComboText(HWND combo, WPARAM index, std::wstring& text) {
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return CB_ERR;
    text.assign(static_cast<std::size_t>(length) + 1, L'\0');
    length = SendMessageW(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    if (length == CB_ERR) return CB_ERR;
    text.resize(static_cast<std::size_t>(length));
    return length;
}

LRESULT CopyOut(const std::string& text, std::size_t capacity, LPARAM buffer) {
    if (capacity == 0 || buffer == 0) return 0;
    std::size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(reinterpret_cast<char*>(buffer), text.data(), n);
    reinterpret_cast<char*>(buffer)[n] = '\0';
    return static_cast<LRESULT>(n);
}

LRESULT CALLBACK FrameworkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Every message reaches the framework through the subclassing procedure; the
// dialog manager asks this one only whether the dialog handled it.
INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

class Win32Backend : public Backend {
public:
    HWND CreateDialogWindow(const res::DialogTemplate& dialogTemplate, HWND owner) override;
    void RunModalLoop(HWND dialog) override;
    void EndModalLoop(HWND dialog) override;
    void DestroyDialogWindow(HWND dialog) override;

    HWND GetDlgItem(HWND dialog, int id) override { return ::GetDlgItem(dialog, id); }
    LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL EnableWindow(HWND window, BOOL enable) override { return ::EnableWindow(window, enable); }
    BOOL IsIconic(HWND window) override { return ::IsIconic(window); }
    RECT GetClientRect(HWND window) override {
        RECT rect{0, 0, 0, 0};
        ::GetClientRect(window, &rect);
        return rect;
    }
    int GetSystemMetrics(int index) override { return ::GetSystemMetrics(index); }
    HDC BeginPaint(HWND window) override { return ::BeginPaint(window, &painting_[window]); }
    void EndPaint(HWND window) override;
    BOOL DrawIcon(HWND window, int x, int y, HICON icon) override;
    HICON LoadIcon(HINSTANCE instance, int id) override {
        return ::LoadIconA(instance != nullptr ? instance : GetModuleHandleW(nullptr), MAKEINTRESOURCEA(id));
    }
    int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override {
        return ::MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(), type);
    }
    void Sleep(DWORD milliseconds) override;

    // Called from the subclassing procedure.
    LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    void Subclass(HWND window);

    std::map<HWND, WNDPROC> procs_;  // each subclassed window's own procedure
    std::map<HWND, PAINTSTRUCT> painting_;
    std::set<HWND> ended_;
};

Win32Backend* g_backend = nullptr;

LRESULT CALLBACK FrameworkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return g_backend->Dispatch(window, message, wParam, lParam);
}

void Win32Backend::Subclass(HWND window) {
    procs_[window] = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FrameworkProc)));
}

LRESULT Win32Backend::Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = DeliverMessage(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) procs_.erase(window);
    return result;
}

LRESULT Win32Backend::DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = procs_.find(window);
    if (it == procs_.end()) return ::DefWindowProcW(window, message, wParam, lParam);
    return CallWindowProcW(it->second, window, message, wParam, lParam);
}

// The template is copied so that the dialog starts hidden: RunModalLoop shows
// it once the framework's OnInitDialog has filled it.
HWND Win32Backend::CreateDialogWindow(const res::DialogTemplate& dialogTemplate, HWND owner) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(dialogTemplate.id), MAKEINTRESOURCEW(5));  // RT_DIALOG
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    DWORD size = found != nullptr ? SizeofResource(module, found) : 0;
    if (bytes == nullptr || size < 16 || size > 0x10000) return nullptr;
    std::vector<DWORD> copy((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    std::memcpy(copy.data(), bytes, size);
    WORD head[2];
    std::memcpy(head, copy.data(), sizeof head);
    DWORD& style = head[1] == 0xFFFF ? copy[3] : copy[0];  // DLGTEMPLATEEX, else DLGTEMPLATE
    style &= ~DWORD{WS_VISIBLE};

    HWND dialog = CreateDialogIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), owner,
                                             &DialogProc, 0);
    if (dialog == nullptr) return nullptr;
    Subclass(dialog);
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        Subclass(child);
    }
    return dialog;
}

// The dialog manager's own loop: keyboard navigation, Enter for the default
// button and Escape for Cancel come from IsDialogMessage.
void Win32Backend::RunModalLoop(HWND dialog) {
    HWND owner = GetWindow(dialog, GW_OWNER);
    bool ownerWasEnabled = owner != nullptr && !::EnableWindow(owner, FALSE);
    ShowWindow(dialog, SW_SHOW);
    SetForegroundWindow(dialog);
    if (HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE)) {
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    }
    while (ended_.count(dialog) == 0) {
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for whoever runs the next loop
            break;
        }
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (ownerWasEnabled) ::EnableWindow(owner, TRUE);
    ShowWindow(dialog, SW_HIDE);
}

void Win32Backend::EndModalLoop(HWND dialog) {
    ended_.insert(dialog);
    PostMessageW(dialog, WM_NULL, 0, 0);  // wakes the loop
}

void Win32Backend::DestroyDialogWindow(HWND dialog) {
    DestroyWindow(dialog);
    ended_.erase(dialog);
}

// The framework speaks UTF-8; the controls get and give wide text.
LRESULT Win32Backend::SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETTEXT:
        case CB_ADDSTRING: {
            std::wstring text = Wide(reinterpret_cast<const char*>(lParam));
            return SendMessageW(window, message, wParam, reinterpret_cast<LPARAM>(text.c_str()));
        }
        case WM_GETTEXTLENGTH: return static_cast<LRESULT>(Utf8(WindowText(window)).size());
        case WM_GETTEXT: return CopyOut(Utf8(WindowText(window)), wParam, lParam);
        case CB_GETLBTEXTLEN:
        case CB_GETLBTEXT: {
            std::wstring text;
            if (ComboText(window, wParam, text) == CB_ERR) return CB_ERR;
            std::string utf8 = Utf8(text);
            if (message == CB_GETLBTEXTLEN) return static_cast<LRESULT>(utf8.size());
            return CopyOut(utf8, utf8.size() + 1, lParam);  // the caller sized it by CB_GETLBTEXTLEN
        }
        default: return ::SendMessageA(window, message, wParam, lParam);
    }
}

void Win32Backend::EndPaint(HWND window) {
    auto it = painting_.find(window);
    if (it == painting_.end()) return;
    ::EndPaint(window, &it->second);
    painting_.erase(it);
}

BOOL Win32Backend::DrawIcon(HWND window, int x, int y, HICON icon) {
    auto it = painting_.find(window);
    return it != painting_.end() ? ::DrawIcon(it->second.hdc, x, y, icon) : FALSE;
}

// Keeps the window painted (the progress bar shows each step) but leaves
// input queued, since the dialog is busy.
void Win32Backend::Sleep(DWORD milliseconds) {
    const ULONGLONG until = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT)) DispatchMessageW(&msg);
        while (PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) DispatchMessageW(&msg);
        const ULONGLONG now = GetTickCount64();
        if (now >= until) break;
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(until - now, 20)));
    }
}

}  // namespace

int RunApplication() {
    // The progress bar's class comes from the common controls.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    Win32Backend backend;
    g_backend = &backend;
    SetBackend(&backend);
    if (CWinApp* app = AfxGetApp()) app->m_hInstance = GetModuleHandleW(nullptr);
    int code = AfxWinMain();
    SetBackend(nullptr);
    g_backend = nullptr;
    return code;
}

}  // namespace afx::win32

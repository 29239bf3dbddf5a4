// The framework subset: application object, message maps, dialogs, data
// exchange and message boxes, over whichever back end is installed.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <vector>

#include "afx/afx.h"
#include "afx/backend.h"
#include "res/resources.h"

namespace {

afx::Backend* g_backend = nullptr;
CWinApp* g_app = nullptr;
std::vector<HWND> g_modalDialogs;  // innermost last

std::map<HWND, CWnd*>& PermanentMap() {
    static std::map<HWND, CWnd*> map;
    return map;
}

// The framework names an unnamed application after its executable file.
std::string ExecutableStem() {
#ifdef _WIN32
    wchar_t path[32768];
    DWORD n = GetModuleFileNameW(nullptr, path, std::size(path));
    if (n == 0 || n >= std::size(path)) return "Application";
    std::u8string stem = std::filesystem::path(path).stem().u8string();
    return std::string(stem.begin(), stem.end());
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "Application";
    path[n] = '\0';
    return std::filesystem::path(path).stem().string();
#endif
}

std::string TextOf(HWND window) {
    auto length = static_cast<std::size_t>(sys::SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
    std::string text(length + 1, '\0');
    sys::SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return text;
}

}  // namespace

namespace afx {

void SetBackend(Backend* backend) { g_backend = backend; }
Backend* GetBackend() { return g_backend; }

LRESULT DeliverMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == nullptr) return 0;
    if (CWnd* wnd = CWnd::FromHandlePermanent(window)) return wnd->WindowProc(message, wParam, lParam);
    return g_backend != nullptr ? g_backend->DefWindowProc(window, message, wParam, lParam) : 0;
}

HICON TableIcon(int id) {
    const res::IconGroup* group = res::FindIcon(id);
    return reinterpret_cast<HICON>(const_cast<res::IconGroup*>(group));
}

const res::IconGroup* IconGroupOf(HICON icon) { return reinterpret_cast<const res::IconGroup*>(icon); }

}  // namespace afx

LRESULT sys::SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_backend != nullptr) return g_backend->SendMessage(window, message, wParam, lParam);
    return afx::DeliverMessage(window, message, wParam, lParam);
}

HICON sys::LoadIconA(HINSTANCE instance, LPCSTR name) {
    auto id = reinterpret_cast<std::uintptr_t>(name);
    if (id > 0xFFFF) return nullptr;  // only numbered resources exist here
    if (g_backend != nullptr) return g_backend->LoadIcon(instance, static_cast<int>(id));
    return afx::TableIcon(static_cast<int>(id));
}

int sys::GetSystemMetrics(int index) { return g_backend != nullptr ? g_backend->GetSystemMetrics(index) : 0; }

void CString::Format(LPCTSTR format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) {
        m_str.clear();
    } else {
        m_str.assign(static_cast<std::size_t>(length) + 1, '\0');
        std::vsnprintf(m_str.data(), m_str.size(), format, again);
        m_str.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
}

// ---- message maps

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, AfxSig_vv, nullptr, nullptr}};
    static const AFX_MSGMAP messageMap = {nullptr, entries};
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageEntry(const AFX_MSGMAP* map, UINT message, UINT code, UINT id) {
    for (; map != nullptr; map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nMessage != 0; ++entry) {
            if (entry->nMessage == message && entry->nCode == code && entry->nID == id) return entry;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode) {
    const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(GetMessageMap(), WM_COMMAND, static_cast<UINT>(nCode), nID);
    if (entry == nullptr || entry->pfn == nullptr) return FALSE;
    (this->*entry->pfn)();
    return TRUE;
}

// ---- application

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCTSTR pszAppName) {
    if (pszAppName != nullptr) {
        m_strAppName = pszAppName;
        m_pszAppName = m_strAppName.c_str();
    }
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    return sys::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(nIDResource));
}

// The window system draws its own control borders.
BOOL CWinApp::Enable3dControlsStatic() { return TRUE; }

// There is no help file to open.
void CWinApp::OnHelp() {}

CWinApp* AfxGetApp() { return g_app; }

LPCTSTR AfxGetAppName() {
    static std::string orphanName;
    if (g_app == nullptr) {
        if (orphanName.empty()) orphanName = ExecutableStem();
        return orphanName.c_str();
    }
    if (g_app->m_pszAppName == nullptr) {
        g_app->m_strAppName = ExecutableStem();
        g_app->m_pszAppName = g_app->m_strAppName.c_str();
    }
    return g_app->m_pszAppName;
}

HINSTANCE AfxGetResourceHandle() { return g_app != nullptr ? g_app->m_hInstance : nullptr; }

// Controls here are never ActiveX containers.
void AfxEnableControlContainer() {}

int AfxMessageBox(LPCTSTR lpszText, UINT nType, UINT) {
    if ((nType & MB_ICONMASK) == 0) {
        switch (nType & MB_TYPEMASK) {
            case MB_OK:
            case MB_OKCANCEL: nType |= MB_ICONEXCLAMATION; break;
            case MB_YESNO:
            case MB_YESNOCANCEL: nType |= MB_ICONQUESTION; break;
            default: break;
        }
    }
    if (g_backend == nullptr) return 0;
    // Owned by the last active popup: the innermost modal dialog, else the main window.
    HWND owner = !g_modalDialogs.empty() ? g_modalDialogs.back()
                 : g_app != nullptr && g_app->m_pMainWnd != nullptr ? g_app->m_pMainWnd->m_hWnd
                                                                    : nullptr;
    return g_backend->MessageBox(owner, lpszText, AfxGetAppName(), nType);
}

void AfxSleep(DWORD milliseconds) {
    if (g_backend != nullptr) {
        g_backend->Sleep(milliseconds);
    } else {
        sys::Sleep(milliseconds);
    }
}

// Only modal dialogs run messages here, so an application whose InitInstance
// succeeds has no loop to run either.
int AfxWinMain() {
    CWinApp* app = AfxGetApp();
    if (app == nullptr) return -1;
    AfxGetAppName();
    app->InitInstance();
    return app->ExitInstance();
}

// ---- windows

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::~CWnd() {
    if (g_app != nullptr && g_app->m_pMainWnd == this) g_app->m_pMainWnd = nullptr;
    if (m_hWnd != nullptr) Detach();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
    auto it = PermanentMap().find(hWnd);
    return it == PermanentMap().end() ? nullptr : it->second;
}

BOOL CWnd::Attach(HWND hWnd) {
    if (hWnd == nullptr || m_hWnd != nullptr || FromHandlePermanent(hWnd) != nullptr) return FALSE;
    m_hWnd = hWnd;
    PermanentMap()[hWnd] = this;
    return TRUE;
}

HWND CWnd::Detach() {
    HWND hWnd = m_hWnd;
    if (hWnd != nullptr) PermanentMap().erase(hWnd);
    m_hWnd = nullptr;
    return hWnd;
}

void CWnd::GetDlgItem(int nID, HWND* phWnd) const {
    *phWnd = g_backend != nullptr && m_hWnd != nullptr ? g_backend->GetDlgItem(m_hWnd, nID) : nullptr;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent) {
    HWND hWnd = nullptr;
    pParent->GetDlgItem(static_cast<int>(nID), &hWnd);
    return Attach(hWnd);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return sys::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.m_bFailed ? FALSE : TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

BOOL CWnd::EnableWindow(BOOL bEnable) {
    return g_backend != nullptr && m_hWnd != nullptr ? g_backend->EnableWindow(m_hWnd, bEnable) : FALSE;
}

BOOL CWnd::IsIconic() const {
    return g_backend != nullptr && m_hWnd != nullptr ? g_backend->IsIconic(m_hWnd) : FALSE;
}

void CWnd::GetClientRect(LPRECT lpRect) const {
    *lpRect = g_backend != nullptr && m_hWnd != nullptr ? g_backend->GetClientRect(m_hWnd) : RECT{0, 0, 0, 0};
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    UINT savedMessage = m_nCurrentMessage;
    WPARAM savedW = m_wCurrentParam;
    LPARAM savedL = m_lCurrentParam;
    m_nCurrentMessage = message;
    m_wCurrentParam = wParam;
    m_lCurrentParam = lParam;
    if (!OnWndMsg(message, wParam, lParam, &result)) result = DefWindowProc(message, wParam, lParam);
    m_nCurrentMessage = savedMessage;
    m_wCurrentParam = savedW;
    m_lCurrentParam = savedL;
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message == WM_COMMAND) return OnCommand(wParam, lParam);
    if (message == WM_NCDESTROY) {
        *result = DefWindowProc(message, wParam, lParam);
        OnNcDestroy();
        return TRUE;
    }
    const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(GetMessageMap(), message, 0, 0);
    if (entry == nullptr) return FALSE;
    switch (entry->nSig) {
        case AfxSig_vv: (this->*entry->pfn)(); break;
        case AfxSig_hv: *result = reinterpret_cast<LRESULT>((this->*entry->pfnIcon)()); break;
    }
    return TRUE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) { return OnCmdMsg(LOWORD(wParam), HIWORD(wParam)); }

void CWnd::OnNcDestroy() {
    if (g_app != nullptr && g_app->m_pMainWnd == this) g_app->m_pMainWnd = nullptr;
    Detach();
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return g_backend != nullptr && m_hWnd != nullptr ? g_backend->DefWindowProc(m_hWnd, message, wParam, lParam)
                                                     : 0;
}

LRESULT CWnd::Default() { return DefWindowProc(m_nCurrentMessage, m_wCurrentParam, m_lCurrentParam); }

void CWnd::OnPaint() { Default(); }

HICON CWnd::OnQueryDragIcon() { return reinterpret_cast<HICON>(Default()); }

CPaintDC::CPaintDC(CWnd* pWnd)
    : m_pWnd(pWnd), m_hDC(g_backend != nullptr ? g_backend->BeginPaint(pWnd->m_hWnd) : nullptr) {}

CPaintDC::~CPaintDC() {
    if (g_backend != nullptr) g_backend->EndPaint(m_pWnd->m_hWnd);
}

BOOL CPaintDC::DrawIcon(int x, int y, HICON hIcon) {
    return g_backend != nullptr ? g_backend->DrawIcon(m_pWnd->m_hWnd, x, y, hIcon) : FALSE;
}

// ---- dialogs

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDHelp(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    const res::DialogTemplate* dialogTemplate = res::FindDialog(static_cast<int>(m_nIDHelp));
    if (g_backend == nullptr || dialogTemplate == nullptr) return -1;
    HWND owner = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
    HWND hWnd = g_backend->CreateDialogWindow(*dialogTemplate, owner);
    if (hWnd == nullptr) return -1;
    if (!Attach(hWnd)) {
        g_backend->DestroyDialogWindow(hWnd);
        return -1;
    }

    m_nModalResult = -1;
    m_bEnded = false;
    g_modalDialogs.push_back(hWnd);
    SendMessage(WM_INITDIALOG);
    if (!m_bEnded) g_backend->RunModalLoop(hWnd);
    g_modalDialogs.pop_back();
    INT_PTR result = m_nModalResult;
    g_backend->DestroyDialogWindow(hWnd);
    if (m_hWnd != nullptr) Detach();
    return result;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) return OnInitDialog();
    return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::EndDialog(int nResult) {
    m_nModalResult = nResult;
    m_bEnded = true;
    if (g_backend != nullptr && m_hWnd != nullptr) g_backend->EndModalLoop(m_hWnd);
}

BOOL CDialog::OnCmdMsg(UINT nID, int nCode) {
    if (CWnd::OnCmdMsg(nID, nCode)) return TRUE;
    if (nCode != 0 || g_app == nullptr) return FALSE;
    return g_app->OnCmdMsg(nID, nCode);
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

// ---- data exchange

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd != nullptr) return;
    if (!rControl.SubclassDlgItem(static_cast<UINT>(nIDC), pDX->m_pDlgWnd)) pDX->Fail();
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
    HWND hWnd = nullptr;
    pDX->m_pDlgWnd->GetDlgItem(nIDC, &hWnd);
    if (hWnd == nullptr) {
        pDX->Fail();
        return;
    }
    if (pDX->m_bSaveAndValidate) {
        value = CString(TextOf(hWnd));
    } else {
        sys::SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(static_cast<LPCTSTR>(value)));
    }
}

// The subset of the application framework that the dialog program is written
// against: the application object, dialogs with data exchange, the three
// control wrappers, message maps and message boxes. Windows, controls and
// message boxes are provided by a back end (afx/backend.h): headless for
// tests, wxWidgets on Linux, Win32 on Windows, one file each. Only ui/ and
// its tests include afx/; afx/ includes platform/ and res/.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/winapi.h"

#ifdef _WIN32
#include <commctrl.h>
#else
using HINSTANCE = struct HINSTANCE__*;
using HDC = struct HDC__*;
using HCURSOR = HICON;
using INT_PTR = std::intptr_t;
using UINT_PTR = std::uintptr_t;
using LPCTSTR = const char*;
using LPTSTR = char*;

struct RECT {
    LONG left, top, right, bottom;
};
using LPRECT = RECT*;

#define WM_SETTEXT 0x000Cu
#define WM_GETTEXT 0x000Du
#define WM_GETTEXTLENGTH 0x000Eu
#define WM_PAINT 0x000Fu
#define WM_ICONERASEBKGND 0x0027u
#define WM_QUERYDRAGICON 0x0037u
#define WM_SETICON 0x0080u
#define WM_NCDESTROY 0x0082u
#define WM_INITDIALOG 0x0110u
#define WM_USER 0x0400u

#define ICON_SMALL 0
#define ICON_BIG 1

#define BN_CLICKED 0
#define CBN_SELCHANGE 1
#define CBN_SELENDOK 9

#define CB_ERR (-1)
#define CB_ADDSTRING 0x0143u
#define CB_GETCOUNT 0x0146u
#define CB_GETCURSEL 0x0147u
#define CB_GETLBTEXT 0x0148u
#define CB_GETLBTEXTLEN 0x0149u
#define CB_RESETCONTENT 0x014Bu
#define CB_SETCURSEL 0x014Eu

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_SETSTEP (WM_USER + 4)

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONHAND 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONMASK 0x000000F0u

#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_MAXIMIZEBOX 0x00010000u
#define BS_DEFPUSHBUTTON 0x00000001u
#define CBS_DROPDOWN 0x00000002u
#define CBS_DROPDOWNLIST 0x00000003u
#define CBS_SORT 0x00000100u
#define SS_TYPEMASK 0x0000001Fu
#define SS_CENTER 0x00000001u
#define SS_RIGHT 0x00000002u
#define SS_SUNKEN 0x00001000u
#define PBS_SMOOTH 0x00000001u

#define SM_CXICON 11
#define SM_CYICON 12

#define LOWORD(l) (static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<std::uintptr_t>(l) >> 16) & 0xFFFF))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(static_cast<WORD>(l)) | static_cast<DWORD>(static_cast<WORD>(h)) << 16))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(l)) | static_cast<DWORD>(static_cast<WORD>(h)) << 16))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<std::uintptr_t>(static_cast<WORD>(i))))
#endif

// The window services the dialog calls, under names of our own: whichever
// back end is installed answers them (the real API in the Windows program).
// Texts in messages are UTF-8.
namespace sys {

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
int GetSystemMetrics(int index);

}  // namespace sys

#define ID_HELP 0xE146u
#define afx_msg

// Text with the formatting the program uses.
class CString {
public:
    CString() = default;
    CString(LPCTSTR text) : m_str(text != nullptr ? text : "") {}  // NOLINT: implicit like the framework's
    CString(const std::string& text) : m_str(text) {}             // NOLINT

    void Format(LPCTSTR format, ...) __attribute__((format(printf, 2, 3)));
    operator LPCTSTR() const { return m_str.c_str(); }  // NOLINT
    const std::string& str() const { return m_str; }

private:
    std::string m_str;
};

class CCmdTarget;
class CWnd;

// Message maps: a table per class, chained to its base's.
using AFX_PMSG = void (CCmdTarget::*)();
using AFX_PMSG_ICON = HICON (CCmdTarget::*)();

enum AfxSig : int { AfxSig_vv, AfxSig_hv };

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // 0 ends the table
    UINT nCode;     // notification code, for WM_COMMAND
    UINT nID;       // control or command id, for WM_COMMAND
    AfxSig nSig;
    AFX_PMSG pfn;
    AFX_PMSG_ICON pfnIcon;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                        \
protected:                                           \
    static const AFX_MSGMAP* GetThisMessageMap();    \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                  \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }           \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                           \
        using ThisClass [[maybe_unused]] = theClass;                                            \
        using TheBaseClass = baseClass;                                                         \
        static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                          \
    {0, 0, 0, AfxSig_vv, nullptr, nullptr}};                                       \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, entries}; \
        return &messageMap;                                                        \
    }

#define AFX_VOID_HANDLER(fn) static_cast<AFX_PMSG>(static_cast<void (ThisClass::*)()>(fn))
#define ON_COMMAND(id, fn) {WM_COMMAND, 0, static_cast<UINT>(id), AfxSig_vv, AFX_VOID_HANDLER(fn), nullptr},
#define ON_CONTROL(code, id, fn) {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), AfxSig_vv, AFX_VOID_HANDLER(fn), nullptr},
#define ON_BN_CLICKED(id, fn) ON_CONTROL(BN_CLICKED, id, fn)
#define ON_CBN_SELENDOK(id, fn) ON_CONTROL(CBN_SELENDOK, id, fn)
#define ON_WM_PAINT() {WM_PAINT, 0, 0, AfxSig_vv, AFX_VOID_HANDLER(&ThisClass::OnPaint), nullptr},
#define ON_WM_QUERYDRAGICON() \
    {WM_QUERYDRAGICON, 0, 0, AfxSig_hv, nullptr, static_cast<AFX_PMSG_ICON>(static_cast<HICON (ThisClass::*)()>(&ThisClass::OnQueryDragIcon))},

class CCmdTarget {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    // Runs the handler for a command or notification; false when none is mapped.
    virtual BOOL OnCmdMsg(UINT nID, int nCode);

    static const AFX_MSGMAP* GetThisMessageMap();

protected:
    virtual const AFX_MSGMAP* GetMessageMap() const;
    static const AFX_MSGMAP_ENTRY* FindMessageEntry(const AFX_MSGMAP* map, UINT message, UINT code, UINT id);
};

class CWinApp : public CCmdTarget {
public:
    // The framework runs the one application object that exists.
    explicit CWinApp(LPCTSTR pszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();

    HICON LoadIcon(UINT nIDResource) const;
    BOOL Enable3dControlsStatic();
    afx_msg void OnHelp();

    CWnd* m_pMainWnd = nullptr;
    LPCTSTR m_pszAppName = nullptr;  // the executable's name when constructed with none
    HINSTANCE m_hInstance = nullptr;

    DECLARE_MESSAGE_MAP()

private:
    std::string m_strAppName;
    friend LPCTSTR AfxGetAppName();
};

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    // Marks the exchange as failed; UpdateData then returns FALSE.
    void Fail() { m_bFailed = TRUE; }

    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
    BOOL m_bFailed = FALSE;
};

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;

    HWND GetSafeHwnd() const { return m_hWnd; }
    static CWnd* FromHandlePermanent(HWND hWnd);
    BOOL Attach(HWND hWnd);
    HWND Detach();
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    void GetDlgItem(int nID, HWND* phWnd) const;

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsIconic() const;
    void GetClientRect(LPRECT lpRect) const;

    // Message dispatch through the message map, then the window's own behaviour.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    static const AFX_MSGMAP* GetThisMessageMap();

    HWND m_hWnd = nullptr;

protected:
    const AFX_MSGMAP* GetMessageMap() const override;
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual void OnNcDestroy();
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Default();

    afx_msg void OnPaint();
    afx_msg HICON OnQueryDragIcon();

private:
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    UINT m_nCurrentMessage = 0;
    WPARAM m_wCurrentParam = 0;
    LPARAM m_lCurrentParam = 0;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    void EndDialog(int nResult);

    // Commands the dialog's own map does not handle go to the application.
    BOOL OnCmdMsg(UINT nID, int nCode) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    static const AFX_MSGMAP* GetThisMessageMap();

protected:
    const AFX_MSGMAP* GetMessageMap() const override;
    virtual void OnOK();
    virtual void OnCancel();

    UINT m_nIDHelp;
    CWnd* m_pParentWnd;

private:
    INT_PTR m_nModalResult = -1;
    bool m_bEnded = false;
};

class CButton : public CWnd {};

// The program talks to its controls in messages only.
class CComboBox : public CWnd {};
class CProgressCtrl : public CWnd {};

// Painting while the dialog is minimised.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon);

private:
    CWnd* m_pWnd;
    HDC m_hDC;
};

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);

CWinApp* AfxGetApp();
LPCTSTR AfxGetAppName();
HINSTANCE AfxGetResourceHandle();
void AfxEnableControlContainer();
// Captioned with the application's name; a box that asks for no icon gets
// the exclamation icon (OK and OK/Cancel) or the question icon (Yes/No).
int AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
// Pauses through the back end's clock, which a test back end records.
void AfxSleep(DWORD milliseconds);
// Runs the application object: its InitInstance, then ExitInstance. Returns
// the process's exit code.
int AfxWinMain();

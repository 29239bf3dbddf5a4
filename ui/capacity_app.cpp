#include "ui/capacity_app.h"

#include "ui/capacity_dlg.h"

BEGIN_MESSAGE_MAP(CCapacityApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

// No name: the framework names the application after its executable.
CCapacityApp::CCapacityApp() : CWinApp(nullptr) {}

CCapacityApp::~CCapacityApp() = default;

CCapacityApp theApp;

BOOL CCapacityApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControlsStatic();
    {
        CCapacityDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
    }
    // The dialog has ended: no message loop follows.
    return FALSE;
}

#include "ui/capacity_dlg.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "afx/backend.h"
#include "repair/explorer_notify.h"
#if !defined(_WIN32)
#include <unistd.h>

#include <cerrno>

#include "scsi/drive_identity.h"
#include "scsi/drive_map.h"
#endif

BEGIN_MESSAGE_MAP(CCapacityDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_CBN_SELENDOK(IDC_DRIVE_COMBO, &CCapacityDlg::RefreshCapacity)
    ON_BN_CLICKED(IDC_REFRESH, &CCapacityDlg::FillDriveList)
END_MESSAGE_MAP()

CCapacityDlg::CCapacityDlg(CWnd* pParent) : CDialog(IDD, pParent), m_strCapacity("") {
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

// Handles the repair opened are closed by the repair itself.
CCapacityDlg::~CCapacityDlg() = default;

void CCapacityDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDOK, m_RepairButton);
    DDX_Control(pDX, IDC_PROGRESS, m_Progress);
    DDX_Control(pDX, IDC_DRIVE_COMBO, m_DriveCombo);
    DDX_Text(pDX, IDC_CAPACITY, m_strCapacity);
}

BOOL CCapacityDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    FillDriveList();
    m_nProgressPos = 0;
    m_Progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(1, 32));
    m_Progress.SendMessage(PBM_SETSTEP, 1, 0);
    m_Progress.SendMessage(PBM_SETPOS, m_nProgressPos, 0);
    return TRUE;
}

// Setting the selection from code sends no notification, so the dialog
// probes the card itself.
void CCapacityDlg::FillDriveList() {
    m_DriveCombo.SendMessage(CB_RESETCONTENT);
    m_nDriveCount = m_Device.EnumDrives(m_DriveLetters);
    for (BYTE index = 0; index < m_nDriveCount; ++index) {
        CString entry;
        entry.Format("%c:\\", m_DriveLetters[index]);
        m_DriveCombo.SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(static_cast<LPCTSTR>(entry)));
    }
    if (m_DriveCombo.SendMessage(CB_GETCOUNT) != 0) m_DriveCombo.SendMessage(CB_SETCURSEL, 0);
    m_Repair.RefreshCapacity();
    ShowSelectedDriveIdentity();
    if (m_nDriveCount == 0) ExplainEmptySweep();
}

void CCapacityDlg::RefreshCapacity() {
    m_Repair.RefreshCapacity();
    ShowSelectedDriveIdentity();
}

// The entries show only letters; the tooltip says which card a letter is.
void CCapacityDlg::ShowSelectedDriveIdentity() {
#if !defined(_WIN32)
    afx::Backend* backend = afx::GetBackend();
    if (backend == nullptr) return;
    std::string entry;
    std::string text = GetSelectedDriveText(entry) && !entry.empty()
                           ? platform::IdentityText(platform::IdentifyDrive(entry[0]))
                           : std::string();
    backend->SetToolTip(m_DriveCombo.GetSafeHwnd(), text.c_str());
    HWND capacity = nullptr;
    GetDlgItem(IDC_CAPACITY, &capacity);
    backend->SetToolTip(capacity, text.c_str());
#endif
}

// A list left empty because the devices refused this user says why, once.
void CCapacityDlg::ExplainEmptySweep() {
#if !defined(_WIN32)
    std::string reason = platform::OpenFailureReason();
    if (reason.empty() || m_bSweepReasonShown) return;
    m_bSweepReasonShown = true;
    AfxMessageBox(reason.c_str(), MB_OK, 0);
#endif
}

void CCapacityDlg::OnPaint() {
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
        int cxIcon = sys::GetSystemMetrics(SM_CXICON);
        int cyIcon = sys::GetSystemMetrics(SM_CYICON);
        RECT rect;
        GetClientRect(&rect);
        int x = (rect.right - rect.left - cxIcon + 1) / 2;
        int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

HICON CCapacityDlg::OnQueryDragIcon() { return m_hIcon; }

void CCapacityDlg::OnOK() {
    m_bFailureShown = false;
    // The undo file is saved without a word; only brisant-cli puts it back.
    m_Repair.m_bKeepUndo = true;
    std::string drive;
    m_Repair.m_strCard = GetSelectedDriveText(drive) ? drive : std::string();
#if !defined(_WIN32)
    if (!drive.empty()) m_Repair.m_strCard = platform::IdentityText(platform::IdentifyDrive(drive[0]));
#endif
    m_Repair.RunRepair();
    if (m_bFailureShown) ReportFailure();
}

// The failure message names no reason; stderr gets one line of it, asked once
// the repair has let go of the drive, so that its own use is not taken for
// another program's.
void CCapacityDlg::ReportFailure() {
    std::string reason = RefusalReason(m_Repair);
    if (reason.empty()) reason = "a command to the card failed";
    std::string drive;
    const bool selected = GetSelectedDriveText(drive) && !drive.empty();
    if (!selected) drive = "no drive";
#if !defined(_WIN32)
    const std::string path = selected ? platform::DescribeDrive(drive[0]) : std::string();
    if (selected && m_Repair.m_Refusal != CCapacityRepair::Refusal::LastSector &&
        m_Repair.m_Refusal != CCapacityRepair::Refusal::Stamps && m_Repair.m_Refusal != CCapacityRepair::Refusal::UndoFile) {
        const std::string use = platform::DriveInUse(drive[0]);
        if (!use.empty()) {
            reason = "in use: " + use;
        } else if (m_Repair.m_Refusal == CCapacityRepair::Refusal::None && access(path.c_str(), R_OK | W_OK) != 0) {
            reason = "cannot open " + path + ": " + std::strerror(errno);
        }
    }
    if (selected) drive += " (" + path + ")";
#endif
    std::fprintf(stderr, "Brisant: %s: %s\n", drive.c_str(), reason.c_str());
}

// The close box and Escape come here; during the writes and the pauses
// between them, ending the dialog would leave a card half-written.
void CCapacityDlg::OnCancel() {
    if (!m_bWriting) CDialog::OnCancel();
}

bool CCapacityDlg::GetSelectedDriveText(std::string& text) {
    LRESULT index = m_DriveCombo.SendMessage(CB_GETCURSEL);
    if (index == CB_ERR) return false;
    char buffer[512] = {};
    m_DriveCombo.SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
    text = buffer;
    return true;
}

void CCapacityDlg::ShowCapacity(const std::string& text) {
    m_strCapacity = CString(text);
    UpdateData(FALSE);
}

void CCapacityDlg::EnableRepairButton(bool enable) { m_RepairButton.EnableWindow(enable ? TRUE : FALSE); }

void CCapacityDlg::DisableRepairButton() { m_RepairButton.EnableWindow(FALSE); }

bool CCapacityDlg::AskConfirmation(const char* text) { return AfxMessageBox(text, MB_OKCANCEL, 0) == IDOK; }

void CCapacityDlg::ShowMessage(const char* text) {
    if (std::strcmp(text, kMsgFail) == 0) m_bFailureShown = true;
    AfxMessageBox(text, MB_OK, 0);
}

void CCapacityDlg::SetProgressPos(int position) { m_Progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(position), 0); }

void CCapacityDlg::Pause(DWORD milliseconds) { AfxSleep(milliseconds); }

void CCapacityDlg::NotifyExplorerWindows() { ::NotifyExplorerWindows(); }

void CCapacityDlg::CloseDialog() { CDialog::OnOK(); }

void CCapacityDlg::BeginWrites() { m_bWriting = true; }

void CCapacityDlg::EndWrites() { m_bWriting = false; }

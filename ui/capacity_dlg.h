// The main dialog: the drive list, the capacity of the selected card, the
// repair button and progress bar, and the operator side of the repair.
#pragma once

#include <string>

#include "device/card_device.h"
#include "afx/afx.h"
#include "repair/capacity_operator.h"
#include "repair/capacity_repair.h"
#include "res/resource.h"

class CCapacityDlg : public CDialog, public ICapacityOperator {
public:
    explicit CCapacityDlg(CWnd* pParent = nullptr);
    ~CCapacityDlg() override;

    enum { IDD = IDD_BRISANT_DIALOG };

    // ICapacityOperator
    bool GetSelectedDriveText(std::string& text) override;
    void ShowCapacity(const std::string& text) override;
    void EnableRepairButton(bool enable) override;
    bool AskConfirmation(const char* text) override;
    void ShowMessage(const char* text) override;
    void SetProgressPos(int position) override;
    void Pause(DWORD milliseconds) override;
    void NotifyExplorerWindows() override;
    void DisableRepairButton() override;
    void CloseDialog() override;
    void BeginWrites() override;
    void EndWrites() override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

    afx_msg void OnPaint();
    afx_msg HICON OnQueryDragIcon();
    afx_msg void RefreshCapacity();
    afx_msg void FillDriveList();

    DECLARE_MESSAGE_MAP()

    CButton m_RepairButton;
    CProgressCtrl m_Progress;
    CComboBox m_DriveCombo;
    CString m_strCapacity;
    HICON m_hIcon;
    BYTE m_DriveLetters[kDriveTableSize] = {};
    BYTE m_nDriveCount = 0;
    BYTE m_nProgressPos = 0;
    bool m_bWriting = false;
    CCardDevice m_Device;
    CCapacityRepair m_Repair{m_Device, *this};

private:
    void ShowSelectedDriveIdentity();
    void ExplainEmptySweep();
    void ReportFailure();

    bool m_bSweepReasonShown = false;
    bool m_bFailureShown = false;
};

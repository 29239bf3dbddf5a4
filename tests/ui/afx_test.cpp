// The framework subset: control messages as Windows answers them, command
// routing through message maps, data exchange and message boxes. Runs the
// real dialog template with a small dialog class of its own.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "afx/afx.h"
#include "afx/headless_backend.h"
#include "res/resource.h"
#include "res/resources.h"

namespace {

class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(IDD_BRISANT_DIALOG) {}

    std::vector<std::string> calls;
    CComboBox combo;
    CProgressCtrl progress;
    CString capacity;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, IDC_DRIVE_COMBO, combo);
        DDX_Control(pDX, IDC_PROGRESS, progress);
        DDX_Text(pDX, IDC_CAPACITY, capacity);
    }
    void OnOK() override {
        calls.push_back("OnOK");
        CDialog::OnOK();
    }
    void OnCancel() override {
        calls.push_back("OnCancel");
        CDialog::OnCancel();
    }
    void OnRefresh() { calls.push_back("refresh"); }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDialog, CDialog)
    ON_BN_CLICKED(IDC_REFRESH, &ProbeDialog::OnRefresh)
END_MESSAGE_MAP()

class FrameworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend.onFailure = [](const std::string& what) { ADD_FAILURE() << what; };
    }
    INT_PTR Run(std::function<void()> script) {
        backend.script = std::move(script);
        return dialog.DoModal();
    }

    afx::HeadlessBackend backend;
    ProbeDialog dialog;
};

struct ComboStep {
    UINT message;
    WPARAM wParam;
    const char* text;  // CB_ADDSTRING's string
    LRESULT expected;
};

TEST_F(FrameworkTest, ComboBoxAnswersAsWindowsDoes) {
    // The template's list is sorted, case-insensitively; the selection stays
    // on its entry when one is inserted before it.
    const ComboStep steps[] = {
        {CB_GETCURSEL, 0, nullptr, CB_ERR},   {CB_SETCURSEL, 0, nullptr, CB_ERR},
        {CB_ADDSTRING, 0, "G:\\", 0},         {CB_ADDSTRING, 0, "E:\\", 0},
        {CB_ADDSTRING, 0, "f:\\", 1},         {CB_GETCOUNT, 0, nullptr, 3},
        {CB_SETCURSEL, 2, nullptr, 2},        {CB_ADDSTRING, 0, "D:\\", 0},
        {CB_GETCURSEL, 0, nullptr, 3},        {CB_GETLBTEXT, 9, nullptr, CB_ERR},
        {CB_SETCURSEL, 7, nullptr, CB_ERR},   {CB_GETCURSEL, 0, nullptr, CB_ERR},
        {CB_RESETCONTENT, 0, nullptr, 0},     {CB_GETCOUNT, 0, nullptr, 0},
    };
    Run([&] {
        char buffer[512];
        for (const ComboStep& step : steps) {
            LPARAM lParam = step.text != nullptr ? reinterpret_cast<LPARAM>(step.text) : reinterpret_cast<LPARAM>(buffer);
            EXPECT_EQ(dialog.combo.SendMessage(step.message, step.wParam, lParam), step.expected)
                << "message 0x" << std::hex << step.message << " wParam " << std::dec << step.wParam;
            if (step.message == CB_SETCURSEL && step.wParam == 2) {
                EXPECT_EQ(backend.Control(IDC_DRIVE_COMBO)->items,
                          (std::vector<std::string>{"E:\\", "f:\\", "G:\\"}));
                EXPECT_EQ(backend.Control(IDC_DRIVE_COMBO)->text, "G:\\");
            }
        }
        backend.Press(IDCANCEL);
    });
}

TEST_F(FrameworkTest, ProgressBarKeepsItsPositionInRange) {
    struct Case {
        short lower, upper;
        int sent, shown;
    };
    const Case cases[] = {{1, 32, 0, 1}, {1, 32, 16, 16}, {1, 32, 40, 32}, {0, 100, 0, 0}};
    Run([&] {
        for (const Case& c : cases) {
            dialog.progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(c.lower, c.upper));
            dialog.progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(c.sent));
            const afx::WindowModel* bar = backend.Control(IDC_PROGRESS);
            EXPECT_EQ(bar->pos, c.shown) << c.sent << " in " << c.lower << ".." << c.upper;
        }
        EXPECT_EQ(dialog.progress.SendMessage(PBM_SETSTEP, 1), 10) << "the default step";
        backend.Press(IDCANCEL);
    });
}

TEST_F(FrameworkTest, CommandsReachTheirHandlers) {
    struct Case {
        const char* name;
        std::function<void(afx::HeadlessBackend&)> act;
        std::vector<std::string> calls;
        INT_PTR result;
    };
    const Case cases[] = {
        {"repair button", [](afx::HeadlessBackend& b) { b.Press(IDOK); }, {"OnOK"}, IDOK},
        {"cancel button", [](afx::HeadlessBackend& b) { b.Press(IDCANCEL); }, {"OnCancel"}, IDCANCEL},
        {"close box", [](afx::HeadlessBackend& b) { b.Close(); }, {"OnCancel"}, IDCANCEL},
        {"refresh, then cancel",
         [](afx::HeadlessBackend& b) {
             b.Press(IDC_REFRESH);
             b.Press(IDCANCEL);
         },
         {"refresh", "OnCancel"},
         IDCANCEL},
    };
    for (const Case& c : cases) {
        ProbeDialog probe;
        AfxGetApp()->m_pMainWnd = &probe;
        backend.script = [&] { c.act(backend); };
        EXPECT_EQ(probe.DoModal(), c.result) << c.name;
        EXPECT_EQ(probe.calls, c.calls) << c.name;
        EXPECT_EQ(probe.combo.m_hWnd, nullptr) << c.name << ": controls are detached with the window";
        EXPECT_EQ(AfxGetApp()->m_pMainWnd, nullptr) << c.name << ": the main window is gone";
    }
}

TEST_F(FrameworkTest, UnmappedCommandsGoToTheApplication) {
    Run([&] {
        EXPECT_TRUE(dialog.OnCmdMsg(ID_HELP, 0)) << "the application maps help";
        EXPECT_FALSE(dialog.OnCmdMsg(0x1234, 0));
        EXPECT_FALSE(dialog.OnCmdMsg(IDC_DRIVE_COMBO, CBN_SELCHANGE)) << "notifications stay with the dialog";
        backend.Press(IDCANCEL);
    });
}

TEST_F(FrameworkTest, DataExchangeCopiesTextBothWays) {
    Run([&] {
        dialog.capacity = "968 MB";
        EXPECT_TRUE(dialog.UpdateData(FALSE));
        EXPECT_EQ(backend.Control(IDC_CAPACITY)->text, "968 MB");
        backend.Control(IDC_CAPACITY)->text = "1936 MB";
        backend.Press(IDOK);  // the base OnOK saves before it ends
    });
    EXPECT_EQ(dialog.capacity.str(), "1936 MB");
}

TEST_F(FrameworkTest, MessageBoxesAreCaptionedAndGetAnIcon) {
    struct Case {
        UINT asked, shown;
    };
    const Case cases[] = {
        {MB_OK, MB_OK | MB_ICONEXCLAMATION},
        {MB_OKCANCEL, MB_OKCANCEL | MB_ICONEXCLAMATION},
        {MB_YESNO, MB_YESNO | MB_ICONQUESTION},
        {MB_OK | MB_ICONHAND, MB_OK | MB_ICONHAND},
    };
    const std::string program = "brisant_ui_tests";  // the executable's name, without ".exe"
    for (const Case& c : cases) {
        backend.answers.push_back(IDOK);
        EXPECT_EQ(AfxMessageBox("text", c.asked, 0), IDOK);
        ASSERT_FALSE(backend.boxes.empty());
        EXPECT_EQ(backend.boxes.back().type, c.shown);
        EXPECT_EQ(backend.boxes.back().caption, program);
    }
}

TEST(FrameworkResources, IconsLoadByNumber) {
    HICON icon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
    ASSERT_NE(icon, nullptr);
    const res::IconGroup* group = afx::IconGroupOf(icon);
    ASSERT_EQ(group->imageCount, 2u);
    EXPECT_EQ(group->images[0].width + group->images[1].width, 48);
    EXPECT_EQ(AfxGetApp()->LoadIcon(999), nullptr);
}

TEST(FrameworkResources, DialogWithoutBackEndDoesNotOpen) {
    ProbeDialog probe;
    EXPECT_EQ(probe.DoModal(), -1);
}

}  // namespace

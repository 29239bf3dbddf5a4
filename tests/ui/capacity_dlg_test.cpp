// The dialog program on the headless back end, against card images behind
// the drive letters: drive list, probe, buttons, icons and a whole repair.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "afx/headless_backend.h"
#include "scsi/drive_map.h"
#include "platform/testing.h"
#include "scsi/testing.h"
#include "support/card_fixture.h"
#include "ui/capacity_app.h"
#include "ui/capacity_dlg.h"

namespace {

using fixture::CardImage;
using fixture::FatBootSector;
using platform::testing::CachingTarget;
using platform::testing::Fault;
using platform::testing::FaultyTarget;
using platform::testing::RecordingTarget;

constexpr DWORD kEligible = 1984000;    // 968 MB
constexpr DWORD kIneligible = 1000000;  // 488 MB
constexpr std::uint64_t kSmallCard = 4096;

// Message boxes are captioned with the executable's name, without ".exe".
constexpr const char* kProgramName = "brisant_ui_tests";

std::vector<std::string> Commands(const RecordingTarget& target) {
    std::vector<std::string> out;
    for (const auto& c : target.commands) {
        unsigned lba = unsigned{c.cdb[2]} << 24 | unsigned{c.cdb[3]} << 16 | unsigned{c.cdb[4]} << 8 | c.cdb[5];
        switch (c.cdb[0]) {
            case 0x12: out.push_back("inquiry"); break;
            case 0x28: out.push_back("read " + std::to_string(lba)); break;
            case 0x2A: out.push_back("write " + std::to_string(lba)); break;
            default: out.push_back("op " + std::to_string(c.cdb[0])); break;
        }
    }
    return out;
}

std::vector<WPARAM> Sent(const afx::WindowModel& window, UINT message) {
    std::vector<WPARAM> params;
    for (const afx::SentMessage& m : window.messages) {
        if (m.message == message) params.push_back(m.wParam);
    }
    return params;
}

// The dialog's repair keeps an undo file: here in a folder of the test's own,
// never in the user's.
class OwnUndoFolder {
public:
#ifdef _WIN32
    static constexpr const char* kVariable = "LOCALAPPDATA";
#else
    static constexpr const char* kVariable = "XDG_STATE_HOME";
#endif
    OwnUndoFolder()
        : m_Folder(std::filesystem::temp_directory_path() /
                   ("brisant-ui-state-" + std::to_string(std::random_device()()))) {
        std::filesystem::create_directories(m_Folder);
        if (const char* old = std::getenv(kVariable)) m_strOld = old;
        Set(m_Folder.string());
    }
    ~OwnUndoFolder() {
        Set(m_strOld);
        std::error_code error;
        std::filesystem::remove_all(m_Folder, error);
    }
    OwnUndoFolder(const OwnUndoFolder&) = delete;
    OwnUndoFolder& operator=(const OwnUndoFolder&) = delete;
    std::size_t Files() const {
        std::size_t n = 0;
        std::error_code error;
        for (std::filesystem::recursive_directory_iterator it(m_Folder, error), end; !error && it != end;
             it.increment(error)) {
            n += it->is_regular_file() ? 1 : 0;
        }
        return n;
    }

private:
    static void Set(const std::string& value) {
#ifdef _WIN32
        _putenv_s(kVariable, value.c_str());
#else
        if (value.empty()) {
            unsetenv(kVariable);
        } else {
            setenv(kVariable, value.c_str(), 1);
        }
#endif
    }
    std::filesystem::path m_Folder;
    std::string m_strOld;
};

class CapacityDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ClearDriveMap();
        backend.onFailure = [](const std::string& what) { ADD_FAILURE() << what; };
    }
    void TearDown() override {
        EXPECT_EQ(platform::OpenVolumeCount(), 0) << "a volume was left open";
        platform::ResetDriveMap();
    }

    std::shared_ptr<RecordingTarget> Insert(char letter, const CardImage& card) {
        auto recorder = std::make_shared<RecordingTarget>(platform::OpenCardImage(card.path()));
        platform::MapDrive(letter, recorder, card.path());
        return recorder;
    }

    INT_PTR Run(std::function<void()> script) {
        CCapacityDlg dialog;
        backend.script = std::move(script);
        return dialog.DoModal();
    }

    afx::WindowModel& Combo() { return *backend.Control(IDC_DRIVE_COMBO); }
    // A user's choice of a drive, with only the notification that asks the
    // dialog to act on it.
    void Choose(int index) {
        sys::SendMessageA(Combo().Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        sys::SendMessageA(backend.Dialog()->Handle(), WM_COMMAND, MAKEWPARAM(IDC_DRIVE_COMBO, CBN_SELENDOK),
                       reinterpret_cast<LPARAM>(Combo().Handle()));
    }
    std::string Capacity() { return backend.Control(IDC_CAPACITY)->text; }
    std::string ToolTip(int id) {
        auto it = backend.toolTips.find(backend.Control(id)->Handle());
        return it == backend.toolTips.end() ? std::string() : it->second;
    }
    bool RepairEnabled() { return backend.Control(IDOK)->enabled; }

    afx::HeadlessBackend backend;
    const OwnUndoFolder undo;
};

TEST_F(CapacityDialogTest, SweepListsDrivesInOrderAndProbesTheFirst) {
    CardImage e(kSmallCard, FatBootSector(kEligible)), g(kSmallCard, FatBootSector(kIneligible));
    auto driveE = Insert('E', e), driveG = Insert('G', g);
    Run([&] {
        EXPECT_EQ(Combo().items, (std::vector<std::string>{"E:\\", "G:\\"}));
        EXPECT_EQ(Combo().selection, 0);
        EXPECT_EQ(Capacity(), "968 MB");
        EXPECT_TRUE(RepairEnabled());
        EXPECT_EQ(Commands(*driveE), (std::vector<std::string>{"inquiry", "read 0"}));
        EXPECT_EQ(Commands(*driveG), (std::vector<std::string>{"inquiry"}));
        backend.Press(IDCANCEL);
    });
}

TEST_F(CapacityDialogTest, RefreshRebuildsTheListAndSelectsTheFirstAgain) {
    CardImage e(kSmallCard, FatBootSector(kEligible)), g(kSmallCard, FatBootSector(kIneligible));
    Insert('E', e);
    auto driveG = Insert('G', g);
    Run([&] {
#ifndef _WIN32
        // The tooltips follow the selection and name the card's image.
        EXPECT_NE(ToolTip(IDC_DRIVE_COMBO).find(e.path() + ":"), std::string::npos) << ToolTip(IDC_DRIVE_COMBO);
        Choose(1);
        EXPECT_NE(ToolTip(IDC_DRIVE_COMBO).find(g.path() + ":"), std::string::npos) << ToolTip(IDC_DRIVE_COMBO);
        EXPECT_EQ(ToolTip(IDC_CAPACITY), ToolTip(IDC_DRIVE_COMBO));
#else
        Choose(1);
#endif
        EXPECT_EQ(Capacity(), "488 MB");
        EXPECT_FALSE(RepairEnabled());
        EXPECT_EQ(Commands(*driveG), (std::vector<std::string>{"inquiry", "read 0"}));

        Combo().messages.clear();
        backend.Press(IDC_REFRESH);
        EXPECT_EQ(Combo().items, (std::vector<std::string>{"E:\\", "G:\\"}));
        EXPECT_EQ(Combo().selection, 0);
        EXPECT_EQ(Capacity(), "968 MB");
        EXPECT_TRUE(RepairEnabled());
        std::vector<UINT> expected = {CB_RESETCONTENT, CB_ADDSTRING, CB_ADDSTRING, CB_GETCOUNT, CB_SETCURSEL};
        std::vector<UINT> sent = Combo().MessageIds();
        sent.resize(std::min(sent.size(), expected.size()));
        EXPECT_EQ(sent, expected);
        backend.Press(IDCANCEL);
    });
}

TEST_F(CapacityDialogTest, EmptySweepLeavesNothingSelected) {
    Run([&] {
        EXPECT_TRUE(Combo().items.empty());
        EXPECT_EQ(Combo().selection, CB_ERR);
        EXPECT_TRUE(Sent(Combo(), CB_SETCURSEL).empty()) << "an empty list is never given a selection";
        EXPECT_EQ(Capacity(), "") << "with no drive the field keeps the template's text";
        EXPECT_FALSE(RepairEnabled());
        EXPECT_FALSE(backend.Press(IDOK)) << "the disabled button cannot be pressed";
        backend.Press(IDC_REFRESH);
        EXPECT_TRUE(Sent(Combo(), CB_SETCURSEL).empty());
        backend.Press(IDCANCEL);
    });
    EXPECT_TRUE(backend.boxes.empty());
}

#ifndef _WIN32
// Devices that refuse the user leave the list empty for a reason the
// operator is told once, not at every refresh.
TEST_F(CapacityDialogTest, EmptySweepForLackOfPermissionSaysWhyOnce) {
    CardImage card(kSmallCard, FatBootSector(kEligible));
    platform::MapDrive('E', card.path());
    card.OpenAsUser(0, [&](const std::string&) {
        backend.answers = {IDOK};
        return Run([&] {
            EXPECT_TRUE(Combo().items.empty());
            backend.Press(IDC_REFRESH);
            backend.Press(IDCANCEL);
        });
    });
    ASSERT_EQ(backend.boxes.size(), 1u);
    EXPECT_EQ(backend.boxes[0].text, "cannot open " + card.path() + ": permission denied; run as root");
}
#endif

TEST_F(CapacityDialogTest, ProgressBarOpensAtRangeOneToThirtyTwo) {
    Run([&] {
        const afx::WindowModel& bar = *backend.Control(IDC_PROGRESS);
        ASSERT_EQ(bar.messages.size(), 3u);
        EXPECT_EQ(bar.messages[0].message, PBM_SETRANGE);
        EXPECT_EQ(bar.messages[0].lParam, 0x00200001);
        EXPECT_EQ(bar.messages[1].message, PBM_SETSTEP);
        EXPECT_EQ(bar.messages[1].wParam, 1u);
        EXPECT_EQ(bar.messages[2].message, PBM_SETPOS);
        EXPECT_EQ(bar.messages[2].wParam, 0u);
        EXPECT_EQ(bar.lower, 1);
        EXPECT_EQ(bar.upper, 32);
        EXPECT_EQ(bar.step, 1);
        backend.Press(IDCANCEL);
    });
}

TEST_F(CapacityDialogTest, CancelAndCloseBoxTouchNoCardBeyondTheSweepAndProbe) {
    const std::pair<const char*, std::function<void(afx::HeadlessBackend&)>> ways[] = {
        {"cancel button", [](afx::HeadlessBackend& b) { b.Press(IDCANCEL); }},
        {"close box", [](afx::HeadlessBackend& b) { b.Close(); }},
    };
    for (const auto& [name, close] : ways) {
        CardImage card(kSmallCard, FatBootSector(kEligible));
        auto drive = Insert('E', card);
        EXPECT_EQ(Run([&] { close(backend); }), IDCANCEL) << name;
        EXPECT_EQ(Commands(*drive), (std::vector<std::string>{"inquiry", "read 0"})) << name;
        EXPECT_TRUE(backend.boxes.empty()) << name;
    }
}

TEST_F(CapacityDialogTest, RefusedRepairStaysOpenUntilAnEligibleCardIsProbed) {
    const std::pair<const char*, std::function<void()>> probes[] = {
        {"choosing the drive", [&] { Choose(0); }},
        {"refresh", [&] { backend.Press(IDC_REFRESH); }},
    };
    for (const auto& [name, probe] : probes) {
        CardImage card(kSmallCard, FatBootSector(kEligible));
        auto drive = Insert('E', card);
        backend.boxes.clear();
        backend.answers = {IDOK};
        INT_PTR result = Run([&] {
            card.Write(0, FatBootSector(kIneligible));  // another card went in after the probe
            EXPECT_TRUE(backend.Press(IDOK));
            ASSERT_NE(backend.Dialog(), nullptr) << name << ": the dialog stays open";
            EXPECT_FALSE(RepairEnabled()) << name;
            EXPECT_EQ(Capacity(), "488 MB") << name;

            card.Write(0, FatBootSector(kEligible));
            probe();
            EXPECT_TRUE(RepairEnabled()) << name;
            EXPECT_EQ(Capacity(), "968 MB") << name;
            backend.Press(IDCANCEL);
        });
        EXPECT_EQ(result, IDCANCEL) << name;
        ASSERT_EQ(backend.boxes.size(), 1u) << name;
        EXPECT_EQ(backend.boxes[0].text, kMsgNotNeeded) << name;
        for (const std::string& command : Commands(*drive)) EXPECT_NE(command.rfind("write", 0), 0u) << name;
    }
}

TEST_F(CapacityDialogTest, IconIsSetBigAndSmallAndPaintedWhenMinimised) {
    HICON icon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
    ASSERT_NE(icon, nullptr);
    Run([&] {
        afx::WindowModel& dialog = *backend.Dialog();
        EXPECT_EQ(dialog.bigIcon, icon);
        EXPECT_EQ(dialog.smallIcon, icon);
        EXPECT_EQ(sys::SendMessageA(dialog.Handle(), WM_QUERYDRAGICON, 0, 0), reinterpret_cast<LRESULT>(icon));

        sys::SendMessageA(dialog.Handle(), WM_PAINT, 0, 0);
        EXPECT_TRUE(backend.drawings.empty()) << "an open dialog paints itself as usual";
        backend.SetIconic(true);
        sys::SendMessageA(dialog.Handle(), WM_PAINT, 0, 0);
        ASSERT_EQ(backend.drawings.size(), 1u);
        EXPECT_EQ(backend.drawings[0].x, (dialog.clientWidth - 32 + 1) / 2);
        EXPECT_EQ(backend.drawings[0].y, (dialog.clientHeight - 32 + 1) / 2);
        EXPECT_EQ(backend.drawings[0].icon, icon);
        backend.Press(IDCANCEL);
    });
}

#ifndef _WIN32
// fsck.fat's report, less what a freshly made volume with an all-zero label
// gives; empty when the volume is sound.
std::string FsckComplaints(const std::string& image) {
    std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\" fsck.fat -n '" + image + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "fsck.fat did not run";
    std::string report;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) report += line;
    int status = pclose(pipe);
    if (WEXITSTATUS(status) > 1) return "fsck.fat failed:\n" + report;
    std::istringstream lines(report);
    std::string complaints;
    for (std::string l; std::getline(lines, l);) {
        const bool expected = l.empty() || l.rfind("fsck.fat ", 0) == 0 ||
                              l == "Label '' stored in boot sector is not valid." ||
                              l == "  Auto-removing label from boot sector." || l == "Leaving filesystem unchanged." ||
                              l.find(" files, ") != std::string::npos;
        if (!expected) complaints += l + "\n";
    }
    return complaints;
}
#endif

TEST_F(CapacityDialogTest, RepairsACardThroughTheDialog) {
    CardImage card(3968000, FatBootSector(kEligible));
    Insert('E', card);
    backend.answers = {IDOK, IDOK, IDOK};
    // The close box and Escape (the Cancel command) in every pause change nothing.
    backend.duringPause = [&] {
        backend.Close();
        backend.Press(IDCANCEL);
    };
    EXPECT_EQ(Run([&] { backend.Press(IDOK); }), IDOK);

    const UINT box = MB_ICONEXCLAMATION;
    ASSERT_EQ(backend.boxes.size(), 3u);
    const std::pair<const char*, UINT> expected[] = {
        {kMsgConfirm, MB_OKCANCEL | box}, {kMsgChanged, MB_OK | box}, {kMsgReplug, MB_OK | box}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(backend.boxes[i].text, expected[i].first);
        EXPECT_EQ(backend.boxes[i].type, expected[i].second) << expected[i].first;
        EXPECT_EQ(backend.boxes[i].caption, kProgramName);
        EXPECT_NE(backend.boxes[i].owner, nullptr) << "owned by the dialog";
    }
    EXPECT_EQ(backend.pauses, std::vector<DWORD>(6, 1000));
    EXPECT_EQ(undo.Files(), 1u) << "the repair's undo file";
    EXPECT_EQ(Sent(*backend.LastDialog()->Child(IDC_PROGRESS), PBM_SETPOS),
              (std::vector<WPARAM>{0, 5, 8, 11, 16, 21, 24, 27, 32}));
#ifndef _WIN32
    // A Windows process cannot run the host's fsck.fat; the window test under
    // Wine judges its image from the host instead.
    EXPECT_EQ(FsckComplaints(card.path()), "");
#endif
}

TEST_F(CapacityDialogTest, DeclinedRepairEndsTheDialogWithoutWriting) {
    CardImage card(kSmallCard, FatBootSector(kEligible));
    auto drive = Insert('E', card);
    backend.answers = {IDCANCEL};
    EXPECT_EQ(Run([&] { backend.Press(IDOK); }), IDOK);
    EXPECT_EQ(Commands(*drive), (std::vector<std::string>{"inquiry", "read 0", "read 0"}));
}

// A failed repair shows the one failure message, and says why on stderr.
TEST_F(CapacityDialogTest, FailedRepairSaysWhyOnStderr) {
    struct Row {
        std::uint64_t sectors;
        int failAt;  // the command that fails, and every one after it
        const char* reason;
        std::size_t cache = 0;  // sectors past 2^21 a cache keeps in front of nothing
    };
    const Row rows[] = {
        {kSmallCard, 0, "cannot read sector 3967999, the last of the new volume: the card does not hold 3968000 sectors"},
        // The first command after the last-sector read: the undo file's first read.
        {3968000, 5, "cannot save the undo file, so nothing was written: cannot read the sectors the repair overwrites"},
        // The dialog has only the quick check: it must see past the cache.
        {3968000, 0,
         "stamps written across the new volume did not read back as written: the card does not really hold 3968000 "
         "sectors (a counterfeit card folds its upper sectors onto lower ones); its bytes were restored",
         4096},
    };
    for (const Row& row : rows) {
        CardImage card(row.sectors, FatBootSector(kEligible));
        std::shared_ptr<platform::ScsiTarget> target = platform::OpenCardImage(card.path());
        if (row.failAt > 0) target = std::make_shared<FaultyTarget>(target, row.failAt, Fault::CheckCondition, true);
        if (row.cache > 0) target = std::make_shared<CachingTarget>(target, 1u << 21, row.cache);
        platform::MapDrive('E', target, card.path());
        backend.boxes.clear();
        backend.answers = {IDOK, IDOK};
        ::testing::internal::CaptureStderr();
        Run([&] { backend.Press(IDOK); });
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(backend.boxes.size(), 2u) << row.reason;
        EXPECT_EQ(backend.boxes[1].text, kMsgFail);
#ifdef _WIN32
        EXPECT_EQ(err, std::string("Brisant: E:\\: ") + row.reason + "\n");
#else
        EXPECT_EQ(err, "Brisant: E:\\ (" + card.path() + "): " + row.reason + "\n");
#endif
    }
}

TEST_F(CapacityDialogTest, ApplicationRunsOneDialogAndExitsWithZero) {
    backend.script = [&] {
        ASSERT_NE(AfxGetApp()->m_pMainWnd, nullptr);
        EXPECT_EQ(AfxGetApp()->m_pMainWnd->m_hWnd, backend.Dialog()->Handle());
        EXPECT_EQ(backend.Dialog()->text, "Korvela Fix 2GB Capacity");
        backend.Press(IDCANCEL);
    };
    EXPECT_EQ(AfxWinMain(), 0);
    EXPECT_EQ(AfxGetApp()->m_pMainWnd, nullptr);
    EXPECT_STREQ(AfxGetAppName(), kProgramName);
}

}  // namespace

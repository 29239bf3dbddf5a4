// A back end without a window system, for tests: the dialog runs a script
// instead of a modal loop, message boxes take queued answers, and pauses are
// recorded instead of slept.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "afx/model.h"

namespace afx {

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type;
    HWND owner;
};

struct IconDrawing {
    HWND window;
    int x, y;
    HICON icon;
};

class HeadlessBackend : public ModelBackend {
public:
    // Becomes the framework's back end for its lifetime.
    HeadlessBackend();
    ~HeadlessBackend() override;

    // Runs once a dialog is open, in place of its modal loop; it should end it.
    std::function<void()> script;
    std::deque<int> answers;  // for the message boxes to come, in order
    std::vector<MessageBoxRecord> boxes;
    std::vector<DWORD> pauses;
    // Runs in each pause, as the toolkit's events do in a real one.
    std::function<void()> duringPause;
    std::vector<IconDrawing> drawings;
    std::map<HWND, std::string> toolTips;
    // An unexpected box, an action on a closed dialog, a dialog left open.
    std::function<void(const std::string&)> onFailure;

    // The open dialog (null when none) and its controls.
    WindowModel* Dialog();
    WindowModel* Control(int id);
    // The last dialog destroyed, as it was then.
    WindowModel* LastDialog() { return last_.get(); }

    // False when the button is disabled.
    bool Press(int id);
    void Close();
    void SetIconic(bool iconic);

    void RunModalLoop(HWND dialog) override;
    int GetSystemMetrics(int index) override;
    BOOL DrawIcon(HWND window, int x, int y, HICON icon) override;
    int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override;
    void Sleep(DWORD milliseconds) override;
    void SetToolTip(HWND window, LPCSTR text) override { toolTips[window] = text != nullptr ? text : ""; }

private:
    void Retire(std::unique_ptr<WindowModel> dialog) override;
    void Fail(const std::string& what);
    WindowModel* OpenDialog(const char* action);

    std::unique_ptr<WindowModel> last_;
};

}  // namespace afx

// Windows and controls kept as plain state, with the message semantics of the
// Windows controls the dialog uses. The headless and wxWidgets back ends share
// it, so tests exercise the same behaviour the real window shows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "afx/backend.h"

namespace afx {

struct SentMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::string text;  // the string a CB_ADDSTRING or WM_SETTEXT carried
};

struct WindowModel {
    WindowModel* parent = nullptr;
    int id = 0;
    std::string className;  // "#32770" for a dialog
    DWORD style = 0;
    std::string text;
    bool enabled = true;

    std::vector<std::string> items;  // combo box
    int selection = CB_ERR;

    int lower = 0, upper = 100, step = 10, pos = 0;  // progress bar

    HICON bigIcon = nullptr, smallIcon = nullptr;  // dialog
    bool iconic = false;
    int clientWidth = 0, clientHeight = 0;
    bool modalEnded = false;
    std::vector<std::unique_ptr<WindowModel>> children;

    std::vector<SentMessage> messages;  // what reached the window itself
    void* view = nullptr;               // the back end's widget

    HWND Handle() { return reinterpret_cast<HWND>(this); }
    WindowModel* Child(int childId);
    std::vector<UINT> MessageIds() const;
};

enum class Change { Text, Enabled, Items, Selection, Progress, Icons };

class ModelBackend : public Backend {
public:
    ~ModelBackend() override;

    static WindowModel* FromHandle(HWND window) { return reinterpret_cast<WindowModel*>(window); }

    HWND CreateDialogWindow(const res::DialogTemplate& dialogTemplate, HWND owner) override;
    void EndModalLoop(HWND dialog) override;
    void DestroyDialogWindow(HWND dialog) override;
    HWND GetDlgItem(HWND dialog, int id) override;
    LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL EnableWindow(HWND window, BOOL enable) override;
    BOOL IsIconic(HWND window) override;
    RECT GetClientRect(HWND window) override;
    HICON LoadIcon(HINSTANCE instance, int id) override;
    HDC BeginPaint(HWND window) override { return reinterpret_cast<HDC>(window); }
    void EndPaint(HWND) override {}

    // What an operator does, with the notifications Windows would send.
    bool Click(WindowModel& button);
    void Choose(WindowModel& combo, int index);
    void CloseBox(WindowModel& dialog);

protected:
    virtual bool CreateView(WindowModel& dialog, const res::DialogTemplate& dialogTemplate, HWND owner);
    virtual void DestroyView(WindowModel& dialog);
    virtual void Changed(WindowModel& window, Change what);
    virtual void EndView(WindowModel& dialog);
    // Receives each dialog once it is destroyed.
    virtual void Retire(std::unique_ptr<WindowModel> dialog);

    std::vector<std::unique_ptr<WindowModel>> dialogs_;
};

}  // namespace afx

// The test back end: scripted operator, queued answers, recorded pauses.
#include "afx/headless_backend.h"

#include <cstdio>
#include <cstdlib>

namespace afx {

HeadlessBackend::HeadlessBackend() { SetBackend(this); }

HeadlessBackend::~HeadlessBackend() {
    if (GetBackend() == this) SetBackend(nullptr);
}

void HeadlessBackend::Fail(const std::string& what) {
    if (onFailure) {
        onFailure(what);
        return;
    }
    std::fprintf(stderr, "headless back end: %s\n", what.c_str());
    std::abort();
}

WindowModel* HeadlessBackend::Dialog() {
    for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it) {
        if (!(*it)->modalEnded) return it->get();
    }
    return nullptr;
}

WindowModel* HeadlessBackend::Control(int id) {
    WindowModel* dialog = Dialog();
    return dialog != nullptr ? dialog->Child(id) : nullptr;
}

WindowModel* HeadlessBackend::OpenDialog(const char* action) {
    WindowModel* dialog = Dialog();
    if (dialog == nullptr) Fail(std::string(action) + " with no dialog open");
    return dialog;
}

bool HeadlessBackend::Press(int id) {
    WindowModel* dialog = OpenDialog("a button pressed");
    if (dialog == nullptr) return false;
    WindowModel* button = dialog->Child(id);
    if (button == nullptr) {
        Fail("no button " + std::to_string(id));
        return false;
    }
    return Click(*button);
}

void HeadlessBackend::Close() {
    if (WindowModel* dialog = OpenDialog("the close box used")) CloseBox(*dialog);
}

void HeadlessBackend::SetIconic(bool iconic) {
    if (WindowModel* dialog = OpenDialog("the dialog minimised")) dialog->iconic = iconic;
}

void HeadlessBackend::RunModalLoop(HWND dialog) {
    if (script) {
        auto run = script;
        run();
    }
    if (!FromHandle(dialog)->modalEnded) {
        Fail("the dialog is still open after the script");
        EndModalLoop(dialog);
    }
}

int HeadlessBackend::GetSystemMetrics(int index) { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }

BOOL HeadlessBackend::DrawIcon(HWND window, int x, int y, HICON icon) {
    drawings.push_back({window, x, y, icon});
    return TRUE;
}

int HeadlessBackend::MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    boxes.push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", type, owner});
    if (answers.empty()) {
        Fail(std::string("unexpected message box: ") + boxes.back().text);
        return IDCANCEL;
    }
    int answer = answers.front();
    answers.pop_front();
    return answer;
}

void HeadlessBackend::Sleep(DWORD milliseconds) {
    pauses.push_back(milliseconds);
    if (duringPause) duringPause();
}

void HeadlessBackend::Retire(std::unique_ptr<WindowModel> dialog) { last_ = std::move(dialog); }

}  // namespace afx

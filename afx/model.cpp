// The Windows control semantics the dialog relies on, kept as plain state.
#include "afx/model.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "res/resources.h"

namespace afx {
namespace {

// Dialog units of the template's 9-point font, as measured on the real window.
constexpr int kBaseUnitX = 7;
constexpr int kBaseUnitY = 15;

const char* StringParam(LPARAM lParam) {
    const char* text = reinterpret_cast<const char*>(lParam);
    return text != nullptr ? text : "";
}

LRESULT CopyText(const std::string& text, WPARAM capacity, LPARAM buffer) {
    if (capacity == 0 || buffer == 0) return 0;
    std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
    auto* out = reinterpret_cast<char*>(buffer);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

bool IsCombo(const WindowModel& w) { return strcasecmp(w.className.c_str(), "ComboBox") == 0; }
bool IsProgress(const WindowModel& w) { return strcasecmp(w.className.c_str(), "msctls_progress32") == 0; }
bool IsDialog(const WindowModel& w) { return w.parent == nullptr; }

LRESULT ComboProc(WindowModel& combo, UINT message, WPARAM wParam, LPARAM lParam, bool& changed, Change& what) {
    const int count = static_cast<int>(combo.items.size());
    switch (message) {
        case CB_ADDSTRING: {
            std::string item = StringParam(lParam);
            auto at = combo.items.end();
            if (combo.style & CBS_SORT) {
                at = std::upper_bound(combo.items.begin(), combo.items.end(), item,
                                      [](const std::string& a, const std::string& b) {
                                          return strcasecmp(a.c_str(), b.c_str()) < 0;
                                      });
            }
            int index = static_cast<int>(at - combo.items.begin());
            combo.items.insert(at, item);
            if (combo.selection >= index) ++combo.selection;
            changed = true;
            what = Change::Items;
            return index;
        }
        case CB_GETCOUNT: return count;
        case CB_GETCURSEL: return combo.selection;
        case CB_GETLBTEXTLEN:
            return wParam < combo.items.size() ? static_cast<LRESULT>(combo.items[wParam].size()) : CB_ERR;
        case CB_GETLBTEXT: {
            if (wParam >= combo.items.size() || lParam == 0) return CB_ERR;
            const std::string& item = combo.items[wParam];
            std::memcpy(reinterpret_cast<char*>(lParam), item.c_str(), item.size() + 1);
            return static_cast<LRESULT>(item.size());
        }
        case CB_RESETCONTENT:
            combo.items.clear();
            combo.selection = CB_ERR;
            combo.text.clear();
            changed = true;
            what = Change::Items;
            return 0;
        case CB_SETCURSEL: {
            auto index = static_cast<int>(static_cast<std::intptr_t>(wParam));
            changed = true;
            what = Change::Selection;
            if (index < 0 || index >= count) {
                combo.selection = CB_ERR;
                combo.text.clear();
                return CB_ERR;
            }
            combo.selection = index;
            combo.text = combo.items[static_cast<std::size_t>(index)];
            return index;
        }
        default: return 0;
    }
}

LRESULT ProgressProc(WindowModel& bar, UINT message, WPARAM wParam, LPARAM lParam, bool& changed) {
    auto clamp = [&bar](int pos) { return std::clamp(pos, bar.lower, std::max(bar.lower, bar.upper)); };
    switch (message) {
        case PBM_SETRANGE: {
            LRESULT previous = MAKELPARAM(bar.lower, bar.upper);
            bar.lower = static_cast<short>(LOWORD(lParam));
            bar.upper = static_cast<short>(HIWORD(lParam));
            bar.pos = clamp(bar.pos);
            changed = true;
            return previous;
        }
        case PBM_SETPOS: {
            int previous = bar.pos;
            bar.pos = clamp(static_cast<int>(static_cast<std::intptr_t>(wParam)));
            changed = true;
            return previous;
        }
        case PBM_SETSTEP: {
            int previous = bar.step;
            bar.step = static_cast<int>(static_cast<std::intptr_t>(wParam));
            return previous;
        }
        default: return 0;
    }
}

}  // namespace

WindowModel* WindowModel::Child(int childId) {
    for (auto& child : children) {
        if (child->id == childId) return child.get();
    }
    return nullptr;
}

std::vector<UINT> WindowModel::MessageIds() const {
    std::vector<UINT> ids;
    for (const SentMessage& m : messages) ids.push_back(m.message);
    return ids;
}

ModelBackend::~ModelBackend() = default;

HWND ModelBackend::CreateDialogWindow(const res::DialogTemplate& dialogTemplate, HWND owner) {
    auto dialog = std::make_unique<WindowModel>();
    dialog->className = "#32770";
    dialog->style = dialogTemplate.style;
    dialog->text = dialogTemplate.caption != nullptr ? dialogTemplate.caption : "";
    dialog->enabled = (dialogTemplate.style & WS_DISABLED) == 0;
    dialog->clientWidth = dialogTemplate.cx * kBaseUnitX / 4;
    dialog->clientHeight = dialogTemplate.cy * kBaseUnitY / 8;
    for (std::size_t i = 0; i < dialogTemplate.itemCount; ++i) {
        const res::DialogItem& item = dialogTemplate.items[i];
        auto control = std::make_unique<WindowModel>();
        control->parent = dialog.get();
        control->id = item.id;
        control->className = item.className != nullptr ? item.className : "";
        control->style = item.style;
        control->text = item.text != nullptr ? item.text : "";
        control->enabled = (item.style & WS_DISABLED) == 0;
        if (IsCombo(*control)) control->text.clear();
        dialog->children.push_back(std::move(control));
    }
    if (!CreateView(*dialog, dialogTemplate, owner)) return nullptr;
    dialogs_.push_back(std::move(dialog));
    return dialogs_.back()->Handle();
}

void ModelBackend::EndModalLoop(HWND dialog) {
    WindowModel* model = FromHandle(dialog);
    model->modalEnded = true;
    EndView(*model);
}

void ModelBackend::DestroyDialogWindow(HWND dialog) {
    auto it = std::find_if(dialogs_.begin(), dialogs_.end(), [dialog](const auto& d) { return d->Handle() == dialog; });
    if (it == dialogs_.end()) return;
    DestroyView(**it);
    for (auto& child : (*it)->children) DeliverMessage(child->Handle(), WM_NCDESTROY, 0, 0);
    DeliverMessage(dialog, WM_NCDESTROY, 0, 0);
    std::unique_ptr<WindowModel> model = std::move(*it);
    dialogs_.erase(it);
    Retire(std::move(model));
}

HWND ModelBackend::GetDlgItem(HWND dialog, int id) {
    WindowModel* child = FromHandle(dialog)->Child(id);
    return child != nullptr ? child->Handle() : nullptr;
}

LRESULT ModelBackend::SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DeliverMessage(window, message, wParam, lParam);
}

LRESULT ModelBackend::DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowModel& w = *FromHandle(window);
    SentMessage record{message, wParam, lParam, {}};
    if (message == CB_ADDSTRING || message == WM_SETTEXT) record.text = StringParam(lParam);
    w.messages.push_back(std::move(record));

    bool changed = false;
    Change what = Change::Text;
    LRESULT result = 0;
    switch (message) {
        case WM_SETTEXT:
            w.text = StringParam(lParam);
            changed = true;
            result = TRUE;
            break;
        case WM_GETTEXT: result = CopyText(w.text, wParam, lParam); break;
        case WM_GETTEXTLENGTH: result = static_cast<LRESULT>(w.text.size()); break;
        case WM_SETICON:
            if (IsDialog(w)) {
                HICON& slot = wParam == ICON_BIG ? w.bigIcon : w.smallIcon;
                result = reinterpret_cast<LRESULT>(slot);
                slot = reinterpret_cast<HICON>(lParam);
                changed = true;
                what = Change::Icons;
            }
            break;
        default:
            if (IsCombo(w)) {
                result = ComboProc(w, message, wParam, lParam, changed, what);
            } else if (IsProgress(w)) {
                result = ProgressProc(w, message, wParam, lParam, changed);
                what = Change::Progress;
            }
            break;
    }
    if (changed) Changed(w, what);
    return result;
}

BOOL ModelBackend::EnableWindow(HWND window, BOOL enable) {
    WindowModel& w = *FromHandle(window);
    BOOL wasDisabled = w.enabled ? FALSE : TRUE;
    w.enabled = enable != FALSE;
    Changed(w, Change::Enabled);
    return wasDisabled;
}

BOOL ModelBackend::IsIconic(HWND window) { return FromHandle(window)->iconic ? TRUE : FALSE; }

RECT ModelBackend::GetClientRect(HWND window) {
    const WindowModel& w = *FromHandle(window);
    return RECT{0, 0, w.clientWidth, w.clientHeight};
}

HICON ModelBackend::LoadIcon(HINSTANCE, int id) { return TableIcon(id); }

bool ModelBackend::Click(WindowModel& button) {
    if (!button.enabled || button.parent == nullptr) return false;
    DeliverMessage(button.parent->Handle(), WM_COMMAND, MAKEWPARAM(button.id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(button.Handle()));
    return true;
}

void ModelBackend::Choose(WindowModel& combo, int index) {
    if (index < 0 || index >= static_cast<int>(combo.items.size()) || combo.parent == nullptr) return;
    combo.selection = index;
    combo.text = combo.items[static_cast<std::size_t>(index)];
    Changed(combo, Change::Selection);
    for (UINT code : {UINT{CBN_SELCHANGE}, UINT{CBN_SELENDOK}}) {
        DeliverMessage(combo.parent->Handle(), WM_COMMAND, MAKEWPARAM(combo.id, code),
                       reinterpret_cast<LPARAM>(combo.Handle()));
    }
}

// The close box is Cancel, as the dialog manager makes it.
void ModelBackend::CloseBox(WindowModel& dialog) {
    WindowModel* cancel = dialog.Child(IDCANCEL);
    DeliverMessage(dialog.Handle(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(cancel != nullptr ? cancel->Handle() : nullptr));
}

bool ModelBackend::CreateView(WindowModel&, const res::DialogTemplate&, HWND) { return true; }
void ModelBackend::DestroyView(WindowModel&) {}
void ModelBackend::Changed(WindowModel&, Change) {}
void ModelBackend::EndView(WindowModel&) {}
void ModelBackend::Retire(std::unique_ptr<WindowModel>) {}

}  // namespace afx

// The wxWidgets back end: the dialog template as real GTK widgets, the model
// of afx/model.h mirrored into them, and Windows-like message boxes.
#include "afx/wx_backend.h"

#include <strings.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/fontenum.h>
#include <wx/gauge.h>
#include <wx/iconbndl.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "afx/model.h"
#include "res/resources.h"

namespace afx::wx {
namespace {

wxString Text(const std::string& utf8) { return wxString::FromUTF8(utf8.c_str()); }

bool ClassIs(const WindowModel& w, const char* name) { return strcasecmp(w.className.c_str(), name) == 0; }

// The template's face is a Windows font; a CJK face keeps its captions legible.
wxFont DialogFont(const res::DialogTemplate& dialogTemplate) {
    int points = dialogTemplate.pointSize != 0 ? dialogTemplate.pointSize : 9;
    for (const wxString& face : {Text(dialogTemplate.typeface != nullptr ? dialogTemplate.typeface : ""),
                                 wxString("WenQuanYi Micro Hei"), wxString("Noto Sans CJK SC")}) {
        if (!face.empty() && wxFontEnumerator::IsValidFacename(face)) return wxFont(wxFontInfo(points).FaceName(face));
    }
    return wxFont(wxFontInfo(points));
}

wxImage IconImage(const res::IconImage& source) {
    wxImage image(source.width, source.height, false);
    image.InitAlpha();
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < source.width; ++x) {
            std::uint32_t argb = source.pixels[y * source.width + x];
            image.SetRGB(x, y, (argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF);
            image.SetAlpha(x, y, static_cast<unsigned char>(argb >> 24));
        }
    }
    return image;
}

// A Windows-style exclamation sign: GTK's boxes show no icon and the icon
// theme's warning sign is a grey symbol. Drawn here, with 4x4 supersampling.
wxBitmap ExclamationBitmap(int size) {
    wxImage image(size, size, true);
    image.InitAlpha();
    const double s = size / 32.0;
    auto insideTriangle = [s](double px, double py, double inset) {
        const double top = 2.5 * s + inset * 2.0, bottom = 29.5 * s - inset;
        const double half = 15.0 * s;
        if (py < top || py > bottom) return false;
        double spread = (py - 2.5 * s) / (27.0 * s) * half - inset * 1.8;
        return std::fabs(px - 16.0 * s) <= spread;
    };
    auto insideMark = [s](double px, double py) {
        bool bar = std::fabs(px - 16.0 * s) <= 1.7 * s && py >= 10.0 * s && py <= 21.5 * s;
        double dx = px - 16.0 * s, dy = py - 25.2 * s;
        return bar || dx * dx + dy * dy <= (2.0 * s) * (2.0 * s);
    };
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) {
                    double px = x + (i + 0.5) / 4, py = y + (j + 0.5) / 4;
                    if (!insideTriangle(px, py, 0)) continue;
                    a += 1;
                    if (insideMark(px, py)) continue;  // black
                    if (!insideTriangle(px, py, 1.3 * s)) {
                        r += 190, g += 140, b += 0;
                    } else {
                        double t = py / size;
                        r += 255, g += 224 - 50 * t, b += 90 - 90 * t;
                    }
                }
            }
            if (a == 0) {
                image.SetAlpha(x, y, 0);
                continue;
            }
            image.SetRGB(x, y, static_cast<unsigned char>(r / a), static_cast<unsigned char>(g / a),
                         static_cast<unsigned char>(b / a));
            image.SetAlpha(x, y, static_cast<unsigned char>(std::lround(255 * a / 16)));
        }
    }
    return wxBitmap(image);
}

class WxBackend;

class TemplateDialog : public wxDialog {
public:
    TemplateDialog(WxBackend& backend, WindowModel& model, const res::DialogTemplate& dialogTemplate, wxWindow* owner);

    WindowModel* ModelOf(wxObject* object) {
        auto it = models_.find(object);
        return it == models_.end() ? nullptr : it->second;
    }
    int updating = 0;  // the view is being set from the model

private:
    void Build(const res::DialogItem& item, WindowModel& control);
    void OnButton(wxCommandEvent& event);
    void OnCombo(wxCommandEvent& event);
    void OnComboText(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnIconize(wxIconizeEvent& event);
    void OnSize(wxSizeEvent& event);

    WxBackend& backend_;
    WindowModel& model_;
    std::map<wxObject*, WindowModel*> models_;
};

class WxBackend : public ModelBackend {
public:
    void RunModalLoop(HWND dialog) override;
    int GetSystemMetrics(int index) override {
        return index == SM_CXICON || index == SM_CYICON ? 32 : 0;
    }
    // GTK draws a minimised window's icon itself.
    BOOL DrawIcon(HWND, int, int, HICON) override { return TRUE; }
    int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) override;
    void Sleep(DWORD milliseconds) override;
    void SetToolTip(HWND window, LPCSTR text) override;

private:
    static TemplateDialog* ViewOf(WindowModel& dialog) { return static_cast<TemplateDialog*>(dialog.view); }
    bool CreateView(WindowModel& dialog, const res::DialogTemplate& dialogTemplate, HWND owner) override;
    void DestroyView(WindowModel& dialog) override;
    void EndView(WindowModel& dialog) override;
    void Changed(WindowModel& window, Change what) override;
    void ShowIcons(WindowModel& dialog);
    static void MoveFocusFrom(wxWindow* window);
};

TemplateDialog::TemplateDialog(WxBackend& backend, WindowModel& model, const res::DialogTemplate& dialogTemplate,
                               wxWindow* owner)
    : backend_(backend), model_(model) {
    long style = 0;
    if ((dialogTemplate.style & WS_CAPTION) == WS_CAPTION) style |= wxCAPTION;
    if (dialogTemplate.style & WS_SYSMENU) style |= wxSYSTEM_MENU | wxCLOSE_BOX;
    if (dialogTemplate.style & WS_MINIMIZEBOX) style |= wxMINIMIZE_BOX;
    if (dialogTemplate.style & WS_MAXIMIZEBOX) style |= wxMAXIMIZE_BOX;
    if (dialogTemplate.style & WS_THICKFRAME) style |= wxRESIZE_BORDER;
    Create(owner, wxID_ANY, Text(model.text), wxDefaultPosition, wxDefaultSize, style);
    // Dialog units follow the template's font, so it is set before measuring.
    SetFont(DialogFont(dialogTemplate));
    SetClientSize(ConvertDialogToPixels(wxSize(dialogTemplate.cx, dialogTemplate.cy)));
    Move(ConvertDialogToPixels(wxPoint(dialogTemplate.x, dialogTemplate.y)));
    for (std::size_t i = 0; i < dialogTemplate.itemCount && i < model.children.size(); ++i) {
        Build(dialogTemplate.items[i], *model.children[i]);
    }
    wxSize client = GetClientSize();
    model.clientWidth = client.x;
    model.clientHeight = client.y;

    Bind(wxEVT_BUTTON, &TemplateDialog::OnButton, this);
    Bind(wxEVT_COMBOBOX, &TemplateDialog::OnCombo, this);
    Bind(wxEVT_TEXT, &TemplateDialog::OnComboText, this);
    Bind(wxEVT_CLOSE_WINDOW, &TemplateDialog::OnClose, this);
    Bind(wxEVT_ICONIZE, &TemplateDialog::OnIconize, this);
    Bind(wxEVT_SIZE, &TemplateDialog::OnSize, this);
}

void TemplateDialog::Build(const res::DialogItem& item, WindowModel& control) {
    const wxPoint pos = ConvertDialogToPixels(wxPoint(item.x, item.y));
    const wxSize size = ConvertDialogToPixels(wxSize(item.cx, item.cy));
    // Escape and the close box find Cancel by the toolkit's own id.
    const wxWindowID id = item.id == IDOK ? wxID_OK : item.id == IDCANCEL ? wxID_CANCEL : wxID_ANY;
    wxWindow* view = nullptr;
    if (ClassIs(control, "Button")) {
        auto* button = new wxButton(this, id, Text(control.text), pos, size);
        if ((item.style & 0x0F) == BS_DEFPUSHBUTTON) button->SetDefault();
        view = button;
    } else if (ClassIs(control, "ComboBox")) {
        long style = (item.style & 0x03) == CBS_DROPDOWNLIST ? wxCB_READONLY : wxCB_DROPDOWN;
        if (item.style & CBS_SORT) style |= wxCB_SORT;
        // The template's height is the dropped-down list's; the box keeps its own.
        view = new wxComboBox(this, id, wxEmptyString, pos, wxSize(size.x, wxDefaultCoord), 0, nullptr, style);
    } else if (ClassIs(control, "msctls_progress32")) {
        auto* gauge = new wxGauge(this, id, 100, pos, size, wxGA_HORIZONTAL | wxGA_SMOOTH);
        gauge->SetValue(0);
        view = gauge;
    } else if (ClassIs(control, "Static")) {
        long align = (item.style & SS_TYPEMASK) == SS_CENTER  ? wxALIGN_CENTRE_HORIZONTAL
                     : (item.style & SS_TYPEMASK) == SS_RIGHT ? wxALIGN_RIGHT
                                                              : wxALIGN_LEFT;
        if (item.style & SS_SUNKEN) {
            // GTK ignores a sunken border on a label; a sunken panel carries it.
            auto* panel = new wxPanel(this, wxID_ANY, pos, size, wxBORDER_SUNKEN);
            wxSize inner = panel->GetClientSize();
            view = new wxStaticText(panel, id, Text(control.text), wxPoint(2, 0), wxSize(inner.x - 4, inner.y),
                                    align | wxST_NO_AUTORESIZE);
            models_[panel] = &control;
        } else {
            view = new wxStaticText(this, id, Text(control.text), pos, size, align | wxST_NO_AUTORESIZE);
        }
    } else {
        return;  // no other class appears in the program's templates
    }
    if (!(item.style & WS_VISIBLE)) view->Hide();
    if (!control.enabled) view->Disable();
    control.view = view;
    models_[view] = &control;
}

void TemplateDialog::OnButton(wxCommandEvent& event) {
    if (WindowModel* button = ModelOf(event.GetEventObject())) backend_.Click(*button);
}

void TemplateDialog::OnCombo(wxCommandEvent& event) {
    WindowModel* combo = ModelOf(event.GetEventObject());
    auto* view = dynamic_cast<wxComboBox*>(event.GetEventObject());
    if (combo == nullptr || view == nullptr || updating > 0 || event.GetSelection() < 0) return;
    // The toolkit may order the entries its own way; the text names the entry.
    const wxString chosen = view->GetString(static_cast<unsigned>(event.GetSelection()));
    for (std::size_t i = 0; i < combo->items.size(); ++i) {
        if (Text(combo->items[i]) == chosen) {
            backend_.Choose(*combo, static_cast<int>(i));
            return;
        }
    }
}

void TemplateDialog::OnComboText(wxCommandEvent& event) {
    WindowModel* combo = ModelOf(event.GetEventObject());
    if (combo == nullptr || updating > 0) return;
    combo->text = event.GetString().utf8_string();
}

void TemplateDialog::OnClose(wxCloseEvent& event) {
    // The framework decides whether the dialog ends.
    if (event.CanVeto()) event.Veto();
    backend_.CloseBox(model_);
}

void TemplateDialog::OnIconize(wxIconizeEvent& event) {
    model_.iconic = event.IsIconized();
    event.Skip();
}

void TemplateDialog::OnSize(wxSizeEvent& event) {
    wxSize client = GetClientSize();
    model_.clientWidth = client.x;
    model_.clientHeight = client.y;
    event.Skip();
}

bool WxBackend::CreateView(WindowModel& dialog, const res::DialogTemplate& dialogTemplate, HWND owner) {
    wxWindow* parent = nullptr;
    if (owner != nullptr) parent = static_cast<wxWindow*>(FromHandle(owner)->view);
    dialog.view = new TemplateDialog(*this, dialog, dialogTemplate, parent);
    return true;
}

void WxBackend::DestroyView(WindowModel& dialog) {
    for (auto& child : dialog.children) child->view = nullptr;
    delete ViewOf(dialog);
    dialog.view = nullptr;
}

// The dialog manager focuses the first tab stop that can take the focus; on
// GTK without a window manager nothing would be focused at all.
void WxBackend::RunModalLoop(HWND dialog) {
    WindowModel& model = *FromHandle(dialog);
    TemplateDialog* view = ViewOf(model);
    view->CallAfter([&model] {
        for (auto& child : model.children) {
            auto* window = static_cast<wxWindow*>(child->view);
            if (window != nullptr && (child->style & WS_TABSTOP) && window->IsShown() && window->IsEnabled()) {
                window->SetFocus();
                return;
            }
        }
    });
    view->ShowModal();
}

void WxBackend::EndView(WindowModel& dialog) {
    TemplateDialog* view = ViewOf(dialog);
    if (view != nullptr && view->IsModal()) view->EndModal(0);
}

// GTK leaves nothing focused when the focused control is disabled, and the
// dialog then takes no keys: the focus moves on first.
void WxBackend::MoveFocusFrom(wxWindow* window) {
    if (wxWindow::FindFocus() != window) return;
    const wxWindowList& siblings = window->GetParent()->GetChildren();
    const std::vector<wxWindow*> order(siblings.begin(), siblings.end());
    const auto self = static_cast<std::size_t>(std::find(order.begin(), order.end(), window) - order.begin());
    for (std::size_t step = 1; step < order.size(); ++step) {
        wxWindow* next = order[(self + step) % order.size()];
        if (next->IsShown() && next->IsEnabled() && next->CanAcceptFocus()) {
            next->SetFocus();
            return;
        }
    }
}

void WxBackend::ShowIcons(WindowModel& dialog) {
    wxIconBundle bundle;
    for (HICON icon : {dialog.bigIcon, dialog.smallIcon}) {
        const res::IconGroup* group = IconGroupOf(icon);
        if (group == nullptr) continue;
        for (std::size_t i = 0; i < group->imageCount; ++i) {
            wxIcon image;
            image.CopyFromBitmap(wxBitmap(IconImage(group->images[i])));
            bundle.AddIcon(image);
        }
    }
    ViewOf(dialog)->SetIcons(bundle);
}

void WxBackend::Changed(WindowModel& window, Change what) {
    if (window.view == nullptr) return;
    if (window.parent == nullptr) {
        if (what == Change::Icons) ShowIcons(window);
        if (what == Change::Text) ViewOf(window)->SetTitle(Text(window.text));
        return;
    }
    TemplateDialog* dialog = ViewOf(*window.parent);
    auto* view = static_cast<wxWindow*>(window.view);
    ++dialog->updating;
    if (what == Change::Enabled) {
        if (!window.enabled) MoveFocusFrom(view);
        view->Enable(window.enabled);
    } else if (auto* combo = dynamic_cast<wxComboBox*>(view)) {
        if (what == Change::Items) {
            combo->Clear();
            for (const std::string& item : window.items) combo->Append(Text(item));
        }
        int shown = window.selection == CB_ERR ? wxNOT_FOUND : combo->FindString(Text(window.text), true);
        combo->SetSelection(shown);
        if (shown == wxNOT_FOUND) combo->ChangeValue(Text(window.text));
    } else if (auto* gauge = dynamic_cast<wxGauge*>(view)) {
        gauge->SetRange(std::max(1, window.upper - window.lower));
        gauge->SetValue(window.pos - window.lower);
    } else if (auto* label = dynamic_cast<wxStaticText*>(view)) {
        label->SetLabel(Text(window.text));
    } else if (auto* button = dynamic_cast<wxButton*>(view)) {
        button->SetLabel(Text(window.text));
    }
    --dialog->updating;
}

// Keeps the window painted (a progress bar redraws at once on Windows) but
// leaves input queued, since the dialog is busy.
void WxBackend::Sleep(DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
    wxEventLoopBase* loop = wxEventLoopBase::GetActive();
    for (;;) {
        if (loop != nullptr) loop->YieldFor(wxEVT_CATEGORY_UI);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) break;
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
    }
}

class MessageBoxDialog : public wxDialog {
public:
    MessageBoxDialog(wxWindow* owner, const wxString& text, const wxString& caption, UINT type)
        : wxDialog(owner, wxID_ANY, caption, wxDefaultPosition, wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
          okOnly_((type & MB_TYPEMASK) != MB_OKCANCEL) {
        // A white message area over a grey strip of buttons, as on Windows.
        auto* body = new wxPanel(this);
        body->SetBackgroundColour(*wxWHITE);
        auto* bodySizer = new wxBoxSizer(wxHORIZONTAL);
        if ((type & MB_ICONMASK) == MB_ICONEXCLAMATION) {
            bodySizer->Add(new wxStaticBitmap(body, wxID_ANY, ExclamationBitmap(FromDIP(32))), 0, wxALL, FromDIP(16));
        }
        auto* label = new wxStaticText(body, wxID_ANY, text);
        label->SetForegroundColour(*wxBLACK);
        label->Wrap(FromDIP(420));
        bodySizer->Add(label, 1, wxALIGN_CENTRE_VERTICAL | wxTOP | wxBOTTOM | wxRIGHT, FromDIP(20));
        body->SetSizer(bodySizer);

        auto* strip = new wxPanel(this);
        strip->SetBackgroundColour(wxColour(0xF0, 0xF0, 0xF0));
        auto* stripSizer = new wxBoxSizer(wxHORIZONTAL);
        stripSizer->AddStretchSpacer();
        const wxSize buttonSize = FromDIP(wxSize(88, 28));
        auto* ok = new wxButton(strip, wxID_OK, "OK", wxDefaultPosition, buttonSize);
        stripSizer->Add(ok, 0, wxALL, FromDIP(8));
        if (!okOnly_) {
            stripSizer->Add(new wxButton(strip, wxID_CANCEL, "Cancel", wxDefaultPosition, buttonSize), 0,
                            wxTOP | wxBOTTOM | wxRIGHT, FromDIP(8));
        }
        strip->SetSizer(stripSizer);

        auto* sizer = new wxBoxSizer(wxVERTICAL);
        sizer->Add(body, 1, wxEXPAND);
        sizer->Add(strip, 0, wxEXPAND);
        SetSizerAndFit(sizer);
        SetMinClientSize(wxSize(FromDIP(240), GetClientSize().y));
        Fit();

        ok->SetDefault();
        CallAfter([ok] { ok->SetFocus(); });
        SetAffirmativeId(wxID_OK);
        SetEscapeId(okOnly_ ? wxID_OK : wxID_CANCEL);
        CentreOnParent();
    }

    // The close box answers as Escape does: OK alone, else Cancel.
    int Answer(int modalResult) const { return modalResult == wxID_OK || okOnly_ ? IDOK : IDCANCEL; }

private:
    bool okOnly_;
};

int WxBackend::MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    wxWindow* parent = owner != nullptr ? static_cast<wxWindow*>(FromHandle(owner)->view) : nullptr;
    MessageBoxDialog box(parent, Text(text != nullptr ? text : ""), Text(caption != nullptr ? caption : ""), type);
    return box.Answer(box.ShowModal());
}

void WxBackend::SetToolTip(HWND window, LPCSTR text) {
    auto* view = window != nullptr ? static_cast<wxWindow*>(FromHandle(window)->view) : nullptr;
    if (view == nullptr) return;
    view->SetToolTip(Text(text != nullptr ? text : ""));
    // A sunken label sits in a panel that takes the pointer at its edges.
    if (wxWindow* parent = view->GetParent(); parent != nullptr && !parent->IsTopLevel()) {
        parent->SetToolTip(Text(text != nullptr ? text : ""));
    }
}

void (*g_beforeRun)() = nullptr;
bool g_noDisplay = false;

class BrisantApp : public wxApp {
public:
    // The toolkit opens the display here, and only here: a second connection
    // opened and closed before it would let an X server with no other client
    // reset under the toolkit's own. Its failure is reported on stderr, since
    // the toolkit would flush its log as a message box, which itself needs the
    // display, and abort.
    bool Initialize(int& argc, wxChar** argv) override {
        wxLogNull quiet;
        if (wxApp::Initialize(argc, argv)) return true;
        g_noDisplay = true;
        return false;
    }

    // The program's own options were taken before the toolkit started.
    bool OnInit() override { return true; }

    // The application object runs from here, not from OnInit, so that its
    // exit code is the process's.
    int OnRun() override {
        WxBackend backend;
        SetBackend(&backend);
        if (g_beforeRun != nullptr) g_beforeRun();
        int code = AfxWinMain();
        SetBackend(nullptr);
        return code;
    }
};

}  // namespace

int RunApplication(int argc, char** argv, void (*beforeRun)()) {
    // The accessibility bridge would leave helper processes behind.
    setenv("NO_AT_BRIDGE", "1", 0);
    // Lets the toolkit drop the GTK messages it knows to be spurious.
    wxApp::GTKAllowDiagnosticsControl();
    g_beforeRun = beforeRun;
    wxApp::SetInstance(new BrisantApp);
    int code = wxEntry(argc, argv);
    if (g_noDisplay) {
        std::fprintf(stderr, "Brisant: cannot open the display (is DISPLAY set?)\n");
        return 1;
    }
    return code;
}

}  // namespace afx::wx

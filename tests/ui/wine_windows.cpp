// Looks at the windows of a Wine desktop for the window test, which cannot
// see them from X: they are drawn inside Wine's virtual desktop.
//   wine_windows wait CAPTION [SKIP...]  waits for a visible top-level window
//       captioned CAPTION other than those given, makes it the foreground
//       window, prints its handle and shows it
//   wine_windows show HANDLE  prints the window's caption, owner, screen
//       rectangle (as WxH+X+Y) and controls: one line each,
//       "id class enabled text"
// Texts are printed as UTF-8.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Utf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Asked of the window itself: across processes GetWindowText reads only a
// stored caption, which a combo box does not keep.
std::string TextOf(HWND window) {
    wchar_t text[512] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length);
    return Utf8(text);
}

std::string ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return Utf8(name);
}

HWND Parse(const char* text) { return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(std::strtoull(text, nullptr, 16))); }

struct Search {
    std::string caption;
    std::vector<HWND> skip;
    HWND found = nullptr;
};

BOOL CALLBACK Visit(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(window) || TextOf(window) != search->caption) return TRUE;
    for (HWND skipped : search->skip) {
        if (skipped == window) return TRUE;
    }
    search->found = window;
    return FALSE;
}

int Show(HWND window);

int Wait(int argc, char** argv) {
    Search search;
    search.caption = argv[2];
    for (int i = 3; i < argc; ++i) search.skip.push_back(Parse(argv[i]));
    for (int tries = 0; tries < 400; ++tries) {
        EnumWindows(&Visit, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            SetForegroundWindow(search.found);
            std::printf("%llx\n", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(search.found)));
            return Show(search.found);
        }
        Sleep(100);
    }
    std::fprintf(stderr, "no window \"%s\"\n", argv[2]);
    return 1;
}

int Show(HWND window) {
    if (!IsWindow(window)) return 1;
    std::printf("caption %s\n", TextOf(window).c_str());
    std::printf("owner %llx\n", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetWindow(window, GW_OWNER))));
    RECT rect;
    GetWindowRect(window, &rect);
    std::printf("rect %ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        std::printf("%d %s %d %s\n", GetDlgCtrlID(child), ClassOf(child).c_str(), IsWindowEnabled(child) ? 1 : 0,
                    TextOf(child).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "wait") == 0) return Wait(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "show") == 0) return Show(Parse(argv[2]));
    std::fprintf(stderr, "usage: wine_windows wait CAPTION [SKIP...] | show HANDLE\n");
    return 2;
}

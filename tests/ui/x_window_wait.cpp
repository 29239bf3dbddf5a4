// Waits for a top-level window of the given name to be mapped and prints its
// id, as `xdotool search --sync` would, but on one connection and at once:
// xdotool looks again only every half second, and a poll by new connections
// would let the X server reset between them. Given the process PID, it
// connects only once that process holds a socket of its own, so that the
// process starts alone with the server, which resets whenever its last client
// leaves; it gives up once the process has ended. With --close it then
// presses the window's close box (WM_DELETE_WINDOW) and waits for it to go.
// usage: x_window_wait [--close] NAME SECONDS [PID]; exit 1 after SECONDS or
// once PID has ended, 2 without a display.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

const char* g_pid = nullptr;
Clock::time_point g_deadline;

// Ended, or ended and not yet waited for.
bool Gone() {
    std::FILE* stat = std::fopen((std::string("/proc/") + g_pid + "/stat").c_str(), "r");
    if (stat == nullptr) return true;
    char state = 0;
    bool zombie = std::fscanf(stat, "%*d (%*[^)]) %c", &state) == 1 && state == 'Z';
    std::fclose(stat);
    return zombie;
}

std::set<ino_t> Sockets() {
    const std::string fds = std::string("/proc/") + g_pid + "/fd";
    std::set<ino_t> found;
    if (DIR* dir = opendir(fds.c_str())) {
        while (dirent* entry = readdir(dir)) {
            struct stat st {};
            if (stat((fds + "/" + entry->d_name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) found.insert(st.st_ino);
        }
        closedir(dir);
    }
    return found;
}

// A socket open across two looks 10 ms apart: a connection held, not one
// opened and closed again at once.
bool HoldsSocket() {
    std::set<ino_t> first = Sockets();
    if (first.empty()) return false;
    usleep(10000);
    for (ino_t socket : Sockets()) {
        if (first.count(socket) != 0) return true;
    }
    return false;
}

// The next event, or false at the deadline or once the process has ended.
bool NextEvent(Display* display, XEvent& event) {
    while (XPending(display) == 0) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(g_deadline - Clock::now());
        if (left.count() <= 0 || (g_pid != nullptr && Gone())) return false;
        if (g_pid != nullptr && left.count() > 100000) left = std::chrono::microseconds(100000);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(ConnectionNumber(display), &readable);
        timeval wait{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
        select(ConnectionNumber(display) + 1, &readable, nullptr, nullptr, &wait);
    }
    XNextEvent(display, &event);
    return true;
}

bool Named(Display* display, Window window, const char* name) {
    char* text = nullptr;
    bool same = XFetchName(display, window, &text) != 0 && text != nullptr && std::strcmp(text, name) == 0;
    if (text != nullptr) XFree(text);
    return same;
}

bool Viewable(Display* display, Window window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) != 0 && attributes.map_state == IsViewable;
}

// A window mapped before the root's events were selected.
Window AlreadyMapped(Display* display, Window root, const char* name) {
    Window parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(display, root, &root, &parent, &children, &count) == 0) return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        if (Viewable(display, children[i]) && Named(display, children[i], name)) found = children[i];
    }
    if (children != nullptr) XFree(children);
    return found;
}

Window WaitMapped(Display* display, Window root, const char* name) {
    Window found = AlreadyMapped(display, root, name);
    XEvent event;
    while (found == 0 && NextEvent(display, event)) {
        if (event.type == MapNotify) {
            // The caption may also come after the window is mapped.
            XSelectInput(display, event.xmap.window, PropertyChangeMask);
            if (Named(display, event.xmap.window, name)) found = event.xmap.window;
        } else if (event.type == PropertyNotify && event.xproperty.atom == XA_WM_NAME &&
                   Viewable(display, event.xproperty.window) && Named(display, event.xproperty.window, name)) {
            found = event.xproperty.window;
        }
    }
    return found;
}

bool Close(Display* display, Window window) {
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = window;
    message.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    message.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &message);
    XFlush(display);
    XEvent event;
    while (NextEvent(display, event)) {
        if ((event.type == UnmapNotify && event.xunmap.window == window) ||
            (event.type == DestroyNotify && event.xdestroywindow.window == window)) {
            return true;
        }
    }
    // The process may end before its window's end is seen.
    return g_pid != nullptr && Gone();
}

// A window that vanishes while it is looked at is not the one sought.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    const bool close = argc > 1 && std::strcmp(argv[1], "--close") == 0;
    if (close) {
        --argc;
        ++argv;
    }
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: x_window_wait [--close] NAME SECONDS [PID]\n");
        return 2;
    }
    const char* name = argv[1];
    g_deadline = Clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    g_pid = argc == 4 ? argv[3] : nullptr;
    while (g_pid != nullptr && !HoldsSocket()) {
        if (Gone() || Clock::now() >= g_deadline) return 1;
        usleep(5000);
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "x_window_wait: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(IgnoreErrors);
    Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);
    Window found = WaitMapped(display, root, name);
    if (found != 0) std::printf("%lu\n", static_cast<unsigned long>(found));
    bool closed = found != 0 && (!close || Close(display, found));
    XCloseDisplay(display);
    return closed ? 0 : 1;
}

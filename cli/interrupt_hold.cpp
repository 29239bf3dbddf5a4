#include "cli/interrupt_hold.h"

#ifdef _WIN32

#include <atomic>
#include <cstdlib>

#include "platform/winapi.h"

namespace {

// What a console program killed by Ctrl-C exits with.
constexpr unsigned kControlCExit = 0xC000013Au;

std::atomic<bool> g_requested{false};
std::atomic<bool> g_holding{false};

// Runs on a thread of its own. Closing the console, logging off and shutting
// down end the program once this returns, so it returns when the card is done.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    g_requested = true;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    while (g_holding) sys::Sleep(50);
    return FALSE;
}

}  // namespace

bool CInterruptHold::Begin() {
    g_requested = false;
    g_holding = true;
    return sys::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

bool CInterruptHold::Pending() const { return g_requested; }

void CInterruptHold::End() {
    g_holding = false;
    sys::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    if (g_requested) std::exit(static_cast<int>(kControlCExit));
}

#else

#include <signal.h>

namespace {

constexpr int kHeld[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t g_oldMask;

}  // namespace

// Blocked, not ignored: a signal that arrives stays pending.
bool CInterruptHold::Begin() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : kHeld) sigaddset(&held, signal);
    return sigprocmask(SIG_BLOCK, &held, &g_oldMask) == 0;
}

bool CInterruptHold::Pending() const {
    sigset_t pending;
    sigpending(&pending);
    for (int signal : kHeld) {
        if (sigismember(&pending, signal) != 1) continue;
        // An ignored signal stays pending while blocked, and ends nothing.
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        if (action.sa_handler != SIG_IGN) return true;
    }
    return false;
}

void CInterruptHold::End() { sigprocmask(SIG_SETMASK, &g_oldMask, nullptr); }

#endif

#include "cli/console_operator.h"

#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "cli/exit_status.h"
#include "repair/explorer_notify.h"
#include "repair/surface_test.h"

CConsoleOperator::CConsoleOperator(std::string selectedText, bool assumeYes, bool pauses, bool quiet)
    : m_strSelected(std::move(selectedText)),
      m_strName(m_strSelected),
      m_bAssumeYes(assumeYes),
      m_bPauses(pauses),
      m_bQuiet(quiet),
      m_bTerminal(isatty(STDOUT_FILENO) != 0),
      m_bErrorTerminal(isatty(STDERR_FILENO) != 0) {}

bool CConsoleOperator::GetSelectedDriveText(std::string& text) {
    if (m_strSelected.empty()) return false;
    text = m_strSelected;
    return true;
}

void CConsoleOperator::ShowCapacity(const std::string& text) {
    if (!m_bQuiet && !m_bOutcomeOnly) std::printf("%s  %s\n", m_strName.c_str(), text.c_str());
}

namespace {

// One line of input; false at the end of input with nothing read. Only the
// first bytes are kept: any answer that long is no yes.
bool ReadAnswer(std::string& answer) {
    int c = std::getchar();
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getchar()) {
        if (answer.size() < 8) answer += static_cast<char>(c);
    }
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    return true;
}

// Exactly "y" or "yes", in any case: a NUL or any other byte makes it a no.
bool IsYes(const std::string& answer) {
    return (answer.size() == 1 || answer.size() == 3) && strncasecmp(answer.c_str(), "yes", answer.size()) == 0 &&
           answer.find('\0') == std::string::npos;
}

}  // namespace

#ifdef _WIN32
constexpr char kTerminal[] = "CONOUT$";
#else
constexpr char kTerminal[] = "/dev/tty";
#endif

// Anything but an explicit yes is Cancel, end of input included.
bool CConsoleOperator::AskConfirmation(const char* text) {
    bool yes = m_bAssumeYes;
    // A question is for the person at the terminal: a script that keeps
    // stdout must not find it there. Answered by --yes, it is only a record
    // of the run, with the messages on stdout.
    std::FILE* terminal = m_bQuiet || m_bAssumeYes ? nullptr : std::fopen(kTerminal, "w");
    std::FILE* prompt = m_bAssumeYes ? stdout : terminal != nullptr ? terminal : stderr;
    // A yes given by --yes is recorded on stdout, which -q keeps for the outcome.
    if (!m_bQuiet && !(m_bAssumeYes && m_bOutcomeOnly)) {
        if (!m_strWarning.empty()) std::fprintf(prompt, "%s\n", m_strWarning.c_str());
        std::fprintf(prompt, "%s [y/N] ", text);
        if (m_bAssumeYes) std::fprintf(prompt, "y (--yes)\n");
        std::fflush(prompt);
    }
    if (!m_bAssumeYes) {
        std::string answer;
        const bool answered = ReadAnswer(answer);
        // An answer typed at a terminal ends the question's line itself.
        if (!m_bQuiet && (!answered || !isatty(STDIN_FILENO))) std::fprintf(prompt, "\n");
        if (answered) yes = IsYes(answer);
    }
    if (terminal != nullptr) std::fclose(terminal);
    if (!yes) m_Outcome = Outcome::Declined;
    return yes;
}

void CConsoleOperator::ShowMessage(const char* text) {
    if (std::strcmp(text, kMsgNotNeeded) == 0) {
        m_Outcome = Outcome::NotEligible;
    } else if (std::strcmp(text, kMsgFail) == 0) {
        m_Outcome = Outcome::Failed;
    } else if (std::strcmp(text, kMsgChanged) == 0 && m_Outcome == Outcome::None) {
        m_Outcome = Outcome::Repaired;
    }
    if (m_bQuiet || (m_bOutcomeOnly && std::strcmp(text, kMsgReplug) == 0)) return;
    EndProgressLine();
    std::printf("%s\n", text);
    std::fflush(stdout);
}

void CConsoleOperator::SetProgressPos(int position) {
    if (m_bQuiet || m_bOutcomeOnly) return;
    char bar[33];
    for (int i = 0; i < 32; ++i) bar[i] = i < position ? '#' : '.';
    bar[32] = '\0';
    if (m_bTerminal) {
        std::printf("\r[%s] %2d/32", bar, position);
        m_bProgressOpen = true;
    } else {
        std::printf("[%s] %2d/32\n", bar, position);
    }
    std::fflush(stdout);
}

void CConsoleOperator::EndProgressLine() {
    if (m_bProgressOpen) std::printf("\n");
    m_bProgressOpen = false;
}

namespace {

constexpr DWORD kInterruptPoll = 50;

}  // namespace

void CConsoleOperator::Pause(DWORD milliseconds) {
    if (!m_bPauses) return;
    // Slices, so that an interruption held back is acknowledged at once.
    for (DWORD slept = 0; slept < milliseconds; slept += kInterruptPoll) {
        sys::Sleep(milliseconds - slept < kInterruptPoll ? milliseconds - slept : kInterruptPoll);
        InterruptHeld();
    }
}

void CConsoleOperator::BeginWrites() {
    if (m_bHolding) return;
    m_bHolding = m_Hold.Begin();
    m_bToldHeld = false;
}

void CConsoleOperator::EndWrites() {
    if (!m_bHolding) return;
    const bool interrupted = InterruptHeld();
    std::fflush(stdout);
    std::fflush(stderr);
    m_bHolding = false;
    if (interrupted && m_bTestShown) {
        m_bHoldDeferred = true;
        return;
    }
    // An interruption held back takes its usual course here.
    m_Hold.End();
}

void CConsoleOperator::EndHeldInterrupts() {
    if (!m_bHoldDeferred) return;
    m_bHoldDeferred = false;
    std::fflush(stdout);
    std::fflush(stderr);
    m_Hold.End();
}

// Says once, on the first interruption, why the program goes on.
bool CConsoleOperator::InterruptHeld() {
    if (!m_bHolding || !m_Hold.Pending()) return false;
    if (!m_bToldHeld) {
        EndProgressLine();
        std::fflush(stdout);
        std::fprintf(stderr, "brisant-cli: interrupted: finishing the card first, so that it stays readable\n");
        m_bToldHeld = true;
    }
    return true;
}

// Asked before every command of the surface test; the system is asked only
// a few dozen times a second, which keeps its calls off the test's rate.
bool CConsoleOperator::StopRequested() {
    const auto now = std::chrono::steady_clock::now();
    if (!m_bStopped && now - m_LastStopCheck < std::chrono::milliseconds(20)) return false;
    m_LastStopCheck = now;
    return StopRequestedNow();
}

bool CConsoleOperator::StopRequestedNow() {
    if (m_bStopped) return true;
    if (!m_bHolding || !m_Hold.Pending()) return false;
    m_bStopped = true;
    if (!m_bToldHeld) {
        EndTestLine();
        std::fflush(stdout);
        std::fprintf(stderr, "brisant-cli: interrupted: stopping the surface test and writing the layout of the "
                             "declared size first, so that the card stays usable\n");
        m_bToldHeld = true;
    }
    m_pPhase = nullptr;
    return true;
}

namespace {

constexpr auto kProgressEvery = std::chrono::milliseconds(250);

std::string Clock(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

}  // namespace

// "writing  812 of 1937 MB  21.4 MB/s  0:52 left", redrawn a few times a second.
void CConsoleOperator::ShowTestProgress(const char* phase, DWORD done, DWORD total) {
    if (m_bQuiet || !m_bErrorTerminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (m_pPhase != phase) {
        EndTestLine();
        m_pPhase = phase;
        m_PhaseStart = now;
        m_LastShown = now - kProgressEvery;
    }
    const bool last = done >= total;
    if (!last && now - m_LastShown < kProgressEvery) return;
    m_LastShown = now;
    const double seconds = std::chrono::duration<double>(now - m_PhaseStart).count();
    const double rate = seconds > 0 ? done * double{kSectorSize} / 1e6 / seconds : 0;
    const double left = rate > 0 ? (total - done) * double{kSectorSize} / 1e6 / rate : 0;
    std::fprintf(stderr, "\r%-8s %u of %u MB  %.1f MB/s  %s left  ", phase,
                 static_cast<unsigned>(done >> 11), static_cast<unsigned>(total >> 11), rate,
                 rate > 0 ? Clock(left).c_str() : "-:--");
    m_bTestLineOpen = true;
    if (last) {
        EndTestLine();
        m_pPhase = nullptr;
    }
    std::fflush(stderr);
}

void CConsoleOperator::EndTestLine() {
    if (m_bTestLineOpen) std::fprintf(stderr, "\n");
    m_bTestLineOpen = false;
}

void CConsoleOperator::ShowTestReport(const SurfaceReport& report) {
    m_bTestShown = true;
    EndTestLine();
    if (m_bQuiet || m_bOutcomeOnly) return;
    EndProgressLine();
    for (const std::string& line : SurfaceSummary(report)) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void CConsoleOperator::NotifyExplorerWindows() { ::NotifyExplorerWindows(); }

int ExitStatus(CConsoleOperator::Outcome outcome) {
    switch (outcome) {
        case CConsoleOperator::Outcome::Repaired: return kExitOk;
        case CConsoleOperator::Outcome::Failed: return kExitFailed;
        case CConsoleOperator::Outcome::NotEligible: return kExitNotEligible;
        case CConsoleOperator::Outcome::Declined: return kExitDeclined;
        case CConsoleOperator::Outcome::None: break;
    }
    return kExitFailed;
}

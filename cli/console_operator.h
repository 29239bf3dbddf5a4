// The repair's operator on a terminal: the chosen drive, the prompt, the
// progress bar and the messages.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "cli/interrupt_hold.h"
#include "repair/capacity_operator.h"

class CConsoleOperator : public ICapacityOperator {
public:
    enum class Outcome { None, NotEligible, Declined, Failed, Repaired };

    // Without a selected text the operator stands for an empty drive list.
    CConsoleOperator(std::string selectedText, bool assumeYes, bool pauses, bool quiet);

    bool GetSelectedDriveText(std::string& text) override;
    void ShowCapacity(const std::string& text) override;
    void EnableRepairButton(bool) override {}
    bool AskConfirmation(const char* text) override;
    void ShowMessage(const char* text) override;
    void SetProgressPos(int position) override;
    void Pause(DWORD milliseconds) override;
    void NotifyExplorerWindows() override;
    // The run ends when the repair returns.
    void CloseDialog() override {}
    // Ctrl-C, SIGTERM and SIGHUP (a closed console on Windows) are held back
    // meanwhile: one that arrives ends the program once the card is whole.
    void BeginWrites() override;
    void EndWrites() override;
    // An interruption held back stops the surface test.
    bool StopRequested() override;
    bool StopRequestedNow() override;
    void ShowTestProgress(const char* phase, DWORD done, DWORD total) override;
    void ShowTestReport(const SurfaceReport& report) override;
    // After the surface test, an interruption held back waits for this, so
    // that the run's outcome is said before the signal ends it.
    void EndHeldInterrupts();
    ~CConsoleOperator() override { EndHeldInterrupts(); }
    // Said wherever the question goes, just before it.
    void WarnBeforeQuestion(std::string text) { m_strWarning = std::move(text); }

    Outcome outcome() const { return m_Outcome; }
    // For a script: of everything on stdout, only the message that tells
    // how the repair ended. The question is still asked.
    void ShowOutcomeOnly() { m_bOutcomeOnly = true; }
    // How the drive is named to the operator, when not by its letter.
    void ShowAs(const std::string& name) { m_strName = name; }
    const std::string& name() const { return m_strName; }

private:
    void EndProgressLine();
    void EndTestLine();
    bool InterruptHeld();

    bool m_bHolding = false;
    bool m_bToldHeld = false;
    bool m_bStopped = false;
    bool m_bTestShown = false;
    bool m_bHoldDeferred = false;
    CInterruptHold m_Hold;

    std::string m_strSelected;
    std::string m_strName;
    bool m_bAssumeYes;
    bool m_bPauses;
    bool m_bQuiet;
    bool m_bOutcomeOnly = false;
    bool m_bTerminal;
    bool m_bProgressOpen = false;
    Outcome m_Outcome = Outcome::None;
    std::string m_strWarning;

    // The surface test's progress line on stderr, for a terminal only.
    bool m_bErrorTerminal;
    bool m_bTestLineOpen = false;
    const char* m_pPhase = nullptr;
    std::chrono::steady_clock::time_point m_PhaseStart, m_LastShown, m_LastStopCheck;
};

// Exit status of a run that ended this way.
int ExitStatus(CConsoleOperator::Outcome outcome);

// What the repair asks of whoever operates it: the dialog, or the console.
#pragma once

#include <string>

#include "platform/winapi.h"

struct SurfaceReport;

class ICapacityOperator {
public:
    virtual ~ICapacityOperator() = default;

    // False when no drive is selected.
    virtual bool GetSelectedDriveText(std::string& text) = 0;
    virtual void ShowCapacity(const std::string& text) = 0;
    virtual void EnableRepairButton(bool enable) = 0;

    virtual bool AskConfirmation(const char* text) = 0;
    virtual void ShowMessage(const char* text) = 0;
    virtual void SetProgressPos(int position) = 0;
    virtual void Pause(DWORD milliseconds) = 0;
    virtual void NotifyExplorerWindows() = 0;
    virtual void DisableRepairButton() { EnableRepairButton(false); }
    virtual void CloseDialog() = 0;

    // From the first write to the last, and through the pauses between them,
    // a card left half-written is readable by neither its old nor its new
    // volume: the operator holds back whatever would end the run meanwhile.
    virtual void BeginWrites() {}
    virtual void EndWrites() {}

    // The full-surface test, which only a front end that offers it sees: it
    // asks between commands whether to stop (and then leaves the card at its
    // declared size), says how far a phase is, and shows its report.
    virtual bool StopRequested() { return false; }
    // Asked once the test is over, however recently it was asked before: a
    // stop that came with the last command still keeps the declared size.
    virtual bool StopRequestedNow() { return StopRequested(); }
    virtual void ShowTestProgress(const char* /*phase*/, DWORD /*done*/, DWORD /*total*/) {}
    virtual void ShowTestReport(const SurfaceReport& /*report*/) {}
};

// The texts the operator sees.
inline constexpr const char kMsgNotNeeded[] = "The capacity do not need to fix.";
inline constexpr const char kMsgConfirm[] =
    "This drive will format and all of the data will lose. Do you want to continue?";
inline constexpr const char kMsgFail[] = "Change the drive's capacity fail";
inline constexpr const char kMsgChanged[] = "The drive's capacity have change to 2G bytes.";
inline constexpr const char kMsgReplug[] = "Please re-plugin this card again";

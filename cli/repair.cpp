// repair: the command that doubles the card, after its question.
#include "cli/commands.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "cli/drive_report.h"
#include "cli/exit_status.h"
#include "device/card_device.h"
#include "platform/user_files.h"
#include "repair/capacity_repair.h"
#include "repair/undo_file.h"

namespace {

// A repair refused before it began ends as a failed one does on stdout.
int RefuseRepair(const Target& t, const std::string& reason) {
    std::printf("%s\n", kMsgFail);
    return ReportFailure(false, kExitFailed, t.Label(), reason);
}

// The undo file's path, chosen before the question so that it can be shown:
// the one given, which must not exist, or a new name in the user's folder.
bool ChooseUndoFile(const Options& o, const Target& t, const DriveVerdict& v, std::string& path, std::string& why) {
    if (!o.undoFile.empty()) {
        path = o.undoFile;
        if (platform::FileExists(path)) why = "the undo file " + path + " exists already";
        return why.empty();
    }
    if (NewUndoPathForUser(t.path, v.declared, path, why)) return true;
    why = platform::UndoFolder().empty() ? why + "; give one with --undo-file"
                                         : "cannot save the undo file, so nothing was written: " + why;
    return false;
}

// Why a card that went through the surface test was not doubled; "" when
// the test did not decide it.
std::string WhyVerifyFailed(const CCapacityRepair& repair, DWORD declared, const CommandWatch::Failure& failure) {
    using Refusal = CCapacityRepair::Refusal;
    if (repair.m_Refusal == Refusal::Stopped) return SurfaceStopReason(repair.m_Surface, declared);
    if (repair.m_Refusal != Refusal::DeclaredOnly && repair.m_Refusal != Refusal::Damaged) return std::string();
    std::string reason = SurfaceReason(repair.m_Surface, declared);
    if (repair.m_Surface.failed && failure.seen) reason += "; the test ended with " + failure.Describe();
    return reason;
}

}  // namespace

int Repair(const Options& o, const Target& t) {
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckDrive(t, sweep, watch);
    if (v.status == kExitFailed) return RefuseRepair(t, v.reason);
    if (v.status == kExitOk && !o.quiet) {
        std::printf("%s  %s\n", t.name.c_str(), IdentityOf(t.letter).c_str());
        if (v.target != v.declared) {
            std::printf("doubles the declared %s to %s\n", v.declaredText.c_str(), CapacityText(v.volume).c_str());
        } else {
            std::printf("re-formats at the same size (no doubling): all files are lost\n");
        }
    }

    CCardDevice device;
    CConsoleOperator op(DriveText(t.letter), o.yes, o.pauses, false);
    op.ShowAs(t.name);
    if (o.quiet) op.ShowOutcomeOnly();
    if (o.verify) {
        op.WarnBeforeQuestion("--verify overwrites every sector of " + t.name + " (" + CapacityText(v.target) +
                              "): nothing on it can be recovered, and the repair cannot be undone.");
    }
    CCapacityRepair repair(device, op);
    // Every sector is overwritten by the test: there is nothing to undo.
    if (v.status == kExitOk && !o.verify) {
        std::string why;
        if (!ChooseUndoFile(o, t, v, repair.m_strUndoFile, why)) return RefuseRepair(t, why);
        repair.m_bKeepUndo = true;
        repair.m_strCard = IdentityOf(t.letter);
        // Kept by -q: a script needs it most.
        std::printf("undo file: %s\n", repair.m_strUndoFile.c_str());
    }
    repair.m_bVerify = o.verify;
    watch->Reset();
    repair.RunRepair();
    if (op.outcome() == CConsoleOperator::Outcome::Failed) {
        CommandWatch::Failure failure = watch->first;
        watch.reset();
        std::string reason = WhyVerifyFailed(repair, v.declared, failure);
        if (reason.empty()) reason = WhyFailed(t, repair, failure);
        if (!repair.m_strUndoSaved.empty()) reason += "; " + repair.m_strUndoSaved + " holds what was overwritten";
        const int status = ReportFailure(false, kExitFailed, t.Label(), reason);
        op.EndHeldInterrupts();
        return status;
    }
    if (op.outcome() == CConsoleOperator::Outcome::Declined) return Declined();
    if (op.outcome() == CConsoleOperator::Outcome::NotEligible && !v.reason.empty()) {
        return ReportFailure(false, kExitNotEligible, t.Label(), v.reason);
    }
    return ExitStatus(op.outcome());
}


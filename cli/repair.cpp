// repair and selftest: the two commands that write to the card, each after its question.
#include "cli/commands.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "cli/drive_report.h"
#include "cli/exit_status.h"
#include "cli/selftest.h"
#include "device/card_device.h"
#include "repair/capacity_repair.h"

namespace {

// A repair refused before it began ends as a failed one does on stdout.
int RefuseRepair(const Target& t, const std::string& reason) {
    std::printf("%s\n", kMsgFail);
    return ReportFailure(false, kExitFailed, t.Label(), reason);
}

// Why a card that went through the surface test was not doubled; "" when
// the test did not decide it.
std::string WhyVerifyFailed(const CCapacityRepair& repair, DWORD declared, const CommandWatch::Failure& failure) {
    using Refusal = CCapacityRepair::Refusal;
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

    watch->Reset();
    CCardDevice device;
    CConsoleOperator op(DriveText(t.letter), o.yes, o.pauses, false);
    op.ShowAs(t.name);
    if (o.quiet) op.ShowOutcomeOnly();
    if (o.verify) {
        op.WarnBeforeQuestion("--verify overwrites every sector of " + t.name + " (" + CapacityText(v.target) +
                              "): nothing on it can be recovered, and the repair cannot be undone.");
    }
    CCapacityRepair repair(device, op);
    repair.m_bVerify = o.verify;
    repair.RunRepair();
    if (op.outcome() == CConsoleOperator::Outcome::Failed) {
        CommandWatch::Failure failure = watch->first;
        watch.reset();
        std::string reason = WhyVerifyFailed(repair, v.declared, failure);
        if (reason.empty()) reason = WhyFailed(t, repair, failure);
        return ReportFailure(false, kExitFailed, t.Label(), reason);
    }
    if (op.outcome() == CConsoleOperator::Outcome::Declined) return Declined();
    return ExitStatus(op.outcome());
}

int Selftest(const Options& o, const Target& t) {
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckReachable(t, sweep, watch);
    if (v.status != kExitOk) return ReportFailure(false, v.status, t.Label(), v.reason);
    std::printf("%s  %s\n", t.name.c_str(), IdentityOf(t.letter).c_str());
    std::printf("ok    the sweep (INQUIRY on D: to Z:) offers %s\n", t.name.c_str());
    CCardDevice device;
    CConsoleOperator op(DriveText(t.letter), o.yes, false, false);
    op.ShowAs(t.name);
    const int status = RunSelftest(device, t.letter, v.declared, *watch, op);
    return status == kExitDeclined ? Declined() : status;
}


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
    CCapacityRepair repair(device, op);
    repair.RunRepair();
    if (op.outcome() == CConsoleOperator::Outcome::Failed) {
        CommandWatch::Failure failure = watch->first;
        watch.reset();
        return ReportFailure(false, kExitFailed, t.Label(), WhyFailed(t, repair, failure));
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


// list: every drive D: to Z:, offered or not, and what a repair of each would do.
#include "cli/commands.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "cli/drive_report.h"
#include "cli/exit_status.h"

namespace {

// A status for list: a repair that would go ahead beats a card that is not
// eligible, which beats a refusal.
int MorePromising(int a, int b) {
    auto rank = [](int status) { return status == kExitOk ? 0 : status == kExitNotEligible ? 1 : 2; };
    return rank(a) <= rank(b) ? a : b;
}

// One drive of the list: offered ones on stdout (or into `drives`), the
// reason why one cannot be repaired on stderr, as for every command.
void ListDrive(const Options& o, const Target& t, const DriveVerdict& v, std::vector<JsonObject>& drives,
               std::vector<JsonObject>& notOffered) {
    if (!v.offered) {
        notOffered.push_back(JsonObject().Add("drive", t.name).Add("maps_to", t.path).Add("reason", v.reason));
    } else if (o.json) {
        JsonObject drive = DriveJson(t);
        AddCapacity(drive, v);
        if (v.status != kExitOk && !v.reason.empty()) drive.Add("error", v.reason);
        drives.push_back(drive.Add("exit", v.status));
    } else {
        const char* verdict = v.status == kExitOk            ? "eligible"
                              : v.status == kExitNotEligible ? "not eligible"
                                                             : "refused";
        std::printf("%s  %9s  %-12s  %s\n", t.name.c_str(), v.probed ? v.declaredText.c_str() : "-", verdict,
                    t.path.c_str());
        std::printf("    %s\n", IdentityOf(t.letter).c_str());
    }
    if (v.status != kExitOk && !v.reason.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "brisant-cli: %c: %s: %s\n", t.letter, t.path.c_str(), v.reason.c_str());
    }
}

}  // namespace

int List(const Options& o) {
    const Sweep sweep;
    std::vector<JsonObject> drives, notOffered;
    int status = kExitFailed;
    bool lookedAt = false;
    int offered = 0;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        const Target t = LetterTarget(letter);
        if (t.path.empty()) continue;
        std::shared_ptr<CommandWatch> watch;
        const DriveVerdict v = CheckDrive(t, sweep, watch);
        watch.reset();
        ReleaseDrive(t);
        if (v.absent) continue;
        lookedAt = true;
        ListDrive(o, t, v, drives, notOffered);
        if (v.offered) {
            ++offered;
            status = MorePromising(status, v.status);
        }
    }
    std::fflush(stdout);
    if (!lookedAt) std::fprintf(stderr, "brisant-cli: nothing to look at: no drive D: to Z: exists\n");
    JsonObject list;
    list.Add("drives", drives).Add("not_offered", notOffered);
    if (offered == 0) return ReportFailure(o.json, kExitFailed, "", "no card found", list);
    if (o.json) PrintJson(list.Add("exit", status));
    return status;
}


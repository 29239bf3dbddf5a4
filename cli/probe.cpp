// probe: what sector 0 declares, what the repair would write, and whether it would go ahead.
#include "cli/commands.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "cli/drive_report.h"
#include "cli/exit_status.h"
#include "repair/capacity_repair.h"

int Probe(const Options& o, const Target& t) {
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckDrive(t, sweep, watch);
    if (o.json) {
        JsonObject json = DriveJson(t);
        AddCapacity(json, v);
        if (!v.reason.empty()) return ReportFailure(true, v.status, t.Label(), v.reason, json);
        PrintJson(json.Add("exit", v.status));
        return v.status;
    }
    PrintHeading(t);
    std::printf("card: %s\n", IdentityOf(t.letter).c_str());
    if (v.probed) {
        std::printf("declared capacity: %u sectors (%s)\n", U(v.declared), v.declaredText.c_str());
        const bool eligible = IsCapacityEligible(v.declared);
        std::printf("eligible: %s (%u to %u sectors)\n", eligible ? "yes" : "no", U(kMinEligibleCapacity),
                    U(kMaxEligibleCapacity));
        if (eligible) {
            std::printf("new volume: %u sectors (%s)", U(v.volume), CapacityText(v.volume).c_str());
            if (v.volume != v.target) {
                std::printf(", cut from %u: FAT16 allows at most %u clusters", U(v.target), U(kMaxFat16Clusters));
            }
            std::printf("\n");
        }
    }
    std::printf("repair: %s\n", VerdictText(v).c_str());
    if (!v.reason.empty()) return ReportFailure(false, v.status, t.Label(), v.reason);
    return v.status;
}


// brisant-cli: the card repair from a terminal or a script.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "cli/drive_check.h"
#include "cli/exit_status.h"
#include "cli/output.h"
#include "cli/selftest.h"
#include "device/card_device.h"
#include "device/cdb_text.h"
#include "scsi/drive_map.h"
#include "scsi/dry_run.h"
#include "repair/capacity_repair.h"

namespace {

// DWORD is unsigned long on Windows; %u and the JSON numbers take unsigned.
unsigned U(DWORD n) { return static_cast<unsigned>(n); }

// The drive and what the system knows of it, for a JSON object.
JsonObject DriveJson(const Target& t) {
    JsonObject json;
    json.Add("drive", t.name).Add("maps_to", t.path).Add("identity", IdentityOf(t.letter));
    return json;
}

// What sector 0 declares and what a repair would make of it.
void AddCapacity(JsonObject& json, const DriveVerdict& v) {
    if (!v.probed) return;
    const bool eligible = IsCapacityEligible(v.declared);
    json.Add("capacity_sectors", U(v.declared)).Add("capacity", v.declaredText).Add("eligible", eligible);
    json.Add("target_sectors", U(v.target)).Add("target", CapacityText(v.target));
    if (eligible) json.Add("volume_sectors", U(v.volume));
}

std::string VerdictText(const DriveVerdict& v) {
    if (v.status == kExitOk) return "asks, then writes the new volume";
    if (v.status == kExitNotEligible) return std::string("not eligible: ") + kMsgNotNeeded;
    return "refused: " + v.reason;
}

// The first line of a command's text: "E:\  /dev/sdb", or the path given.
void PrintHeading(const Target& t) {
    if (t.byPath) {
        std::printf("%s\n", t.name.c_str());
    } else {
        std::printf("%s  %s\n", t.name.c_str(), t.path.c_str());
    }
}

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
        if (v.status == kExitFailed) drive.Add("error", v.reason);
        drives.push_back(drive.Add("exit", v.status));
    } else {
        const char* verdict = v.status == kExitOk            ? "eligible"
                              : v.status == kExitNotEligible ? "not eligible"
                                                             : "refused";
        std::printf("%s  %9s  %-12s  %s\n", t.name.c_str(), v.probed ? v.declaredText.c_str() : "-", verdict,
                    t.path.c_str());
        std::printf("    %s\n", IdentityOf(t.letter).c_str());
    }
    if (v.status == kExitFailed) {
        std::fflush(stdout);
        std::fprintf(stderr, "brisant-cli: %c: %s: %s\n", t.letter, t.path.c_str(), v.reason.c_str());
    }
}

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

int ProbeCommand(const Options& o, const Target& t) {
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckDrive(t, sweep, watch);
    if (o.json) {
        JsonObject json = DriveJson(t);
        AddCapacity(json, v);
        if (v.status == kExitFailed) return ReportFailure(true, v.status, t.Label(), v.reason, json);
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
    if (v.status == kExitFailed) return ReportFailure(false, v.status, t.Label(), v.reason);
    return v.status;
}

void PrintPlan(const DriveVerdict& v, const Fat16Geometry& g, const platform::DryRunTarget& dryRun) {
    if (v.status == kExitOk) {
        std::printf("target capacity: %u sectors (%s)\n", U(v.target), CapacityText(v.target).c_str());
        std::printf("volume: %u sectors, %u sectors per cluster, %u sectors per table\n", U(g.totalSectors),
                    U(g.sectorsPerCluster), U(g.fatSectors));
        std::printf("table 1 at LBA %u, table 2 at LBA %u, root directory at LBA %u, data area at LBA %u\n",
                    U(g.fat1Lba()), U(g.fat2Lba()), U(g.rootLba()), U(g.dataLba()));
        std::printf("clusters: %u\n", U(g.clusterCount()));
    } else {
        std::printf("not eligible: %s\n", kMsgNotNeeded);
    }
    std::printf(
        "the commands a repair would send, in order; only the reads reach the card, and a read of\n"
        "a sector the repair has written before is answered by the plan itself:\n");
    int n = 0;
    for (const auto& c : dryRun.commands) {
        std::printf("%3d  %-29s  %s\n", ++n, CdbHex(c.cdb.data(), c.cdb.size()).c_str(),
                    DescribeCdb(c.cdb.data(), c.cdb.size()).c_str());
    }
}

JsonObject PlanJson(const Target& t, const DriveVerdict& v, const Fat16Geometry& g,
                    const platform::DryRunTarget& dryRun) {
    JsonObject json = DriveJson(t);
    AddCapacity(json, v);
    if (v.status == kExitOk) {
        json.Add("sectors_per_cluster", U(g.sectorsPerCluster)).Add("fat_sectors", U(g.fatSectors));
        json.Add("fat1_lba", U(g.fat1Lba())).Add("fat2_lba", U(g.fat2Lba()));
        json.Add("root_lba", U(g.rootLba())).Add("data_lba", U(g.dataLba()));
        json.Add("clusters", U(g.clusterCount()));
    }
    std::vector<JsonObject> commands;
    for (const auto& c : dryRun.commands) {
        commands.push_back(JsonObject()
                               .Add("cdb", CdbHex(c.cdb.data(), c.cdb.size()))
                               .Add("command", DescribeCdb(c.cdb.data(), c.cdb.size()))
                               .Add("sent_in_plan", c.sent));
    }
    return json.Add("commands", commands);
}

// The repair rehearsed on the card: reads reach it, nothing else does.
int Plan(const Options& o, const Target& t) {
    const Sweep sweep;
    std::shared_ptr<CommandWatch> watch;
    const DriveVerdict v = CheckDrive(t, sweep, watch);
    if (v.status == kExitFailed) {
        JsonObject json = DriveJson(t);
        AddCapacity(json, v);
        if (!o.json) {
            PrintHeading(t);
            std::printf("repair: %s\n", VerdictText(v).c_str());
        }
        return ReportFailure(o.json, v.status, t.Label(), v.reason, json);
    }
    watch->Reset();
    auto dryRun = std::make_shared<platform::DryRunTarget>(watch);
    platform::MapDrive(t.letter, dryRun, t.path);

    CCardDevice device;
    CConsoleOperator op(DriveText(t.letter), true, false, true);
    CCapacityRepair repair(device, op);
    repair.RunRepair();
    const Fat16Geometry g = ComputeGeometry(repair.m_nCapacity);
    const int status = ExitStatus(op.outcome());
    JsonObject json = PlanJson(t, v, g, *dryRun);
    if (!o.json) {
        PrintHeading(t);
        PrintPlan(v, g, *dryRun);
    }
    if (status != kExitFailed) {
        if (o.json) PrintJson(json.Add("exit", status));
        return status;
    }
    if (!o.json) std::printf("the repair would fail: %s\n", kMsgFail);
    CommandWatch::Failure failure = watch->first;
    dryRun.reset();
    watch.reset();
    return ReportFailure(o.json, status, t.Label(), WhyFailed(t, repair, failure), json);
}

// A repair refused before it began ends as a failed one does on stdout.
int RefuseRepair(const Target& t, const std::string& reason) {
    std::printf("%s\n", kMsgFail);
    return ReportFailure(false, kExitFailed, t.Label(), reason);
}

int Declined() { return ReportFailure(false, kExitDeclined, "", "declined: nothing was written"); }

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

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    const Parsed parsed = ParseCommandLine(argc, argv, o, error);
    if (parsed == Parsed::Done) return kExitOk;
    if (parsed == Parsed::Usage) return ReportFailure(o.json, kExitUsage, "", error);
    if (o.command == "list") return List(o);

    Target t;
    int status = kExitUsage;
    if (!ResolveTarget(o.target, t, error, status)) return ReportFailure(o.json, status, "", error);
    if (o.command == "probe") return ProbeCommand(o, t);
    if (o.command == "plan") return Plan(o, t);
    if (o.command == "selftest") return Selftest(o, t);
    return Repair(o, t);
}

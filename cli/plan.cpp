// plan: the repair rehearsed on the card, and every command it would send.
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
#include "device/cdb_text.h"
#include "repair/capacity_repair.h"
#include "scsi/drive_map.h"
#include "scsi/dry_run.h"

namespace {

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

}  // namespace

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
    repair.m_bKeepUndo = repair.m_bUndoRehearsed = true;
    repair.RunRepair();
    const Fat16Geometry g = ComputeGeometry(repair.m_nCapacity);
    const int status = ExitStatus(op.outcome());
    JsonObject json = PlanJson(t, v, g, *dryRun);
    if (!o.json) {
        PrintHeading(t);
        PrintPlan(v, g, *dryRun);
    }
    if (status == kExitNotEligible && !v.reason.empty()) return ReportFailure(o.json, status, t.Label(), v.reason, json);
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


#include "cli/drive_report.h"

#include <cstdio>

#include "cli/exit_status.h"
#include "repair/capacity_repair.h"

JsonObject DriveJson(const Target& t) {
    JsonObject json;
    json.Add("drive", t.name).Add("maps_to", t.path).Add("identity", IdentityOf(t.letter));
    return json;
}

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

void PrintHeading(const Target& t) {
    if (t.byPath) {
        std::printf("%s\n", t.name.c_str());
    } else {
        std::printf("%s  %s\n", t.name.c_str(), t.path.c_str());
    }
}

int Declined() { return ReportFailure(false, kExitDeclined, "", "declined: nothing was written"); }

// brisant-cli: the card repair from a terminal or a script.
#include <string>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "cli/drive_check.h"
#include "cli/exit_status.h"
#include "cli/output.h"

int main(int argc, char** argv) {
    Options o;
    std::string error;
    const Parsed parsed = ParseCommandLine(argc, argv, o, error);
    if (parsed == Parsed::Done) return kExitOk;
    if (parsed == Parsed::Usage) return ReportFailure(o.json, kExitUsage, "", error);
    if (o.command == "list") return List(o);
    if (o.command == "undo" && o.list) return Undo(o, Target());

    Target t;
    int status = kExitUsage;
    if (!ResolveTarget(o.target, t, error, status)) return ReportFailure(o.json, status, "", error);
    if (o.command == "probe") return Probe(o, t);
    if (o.command == "plan") return Plan(o, t);
    if (o.command == "selftest") return Selftest(o, t);
    if (o.command == "undo") return Undo(o, t);
    return Repair(o, t);
}

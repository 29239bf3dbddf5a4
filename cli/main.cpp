// brisant-cli: the card repair from a terminal or a script.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/console_operator.h"
#include "device/card_device.h"
#include "device/cdb_text.h"
#include "platform/drive_map.h"
#include "platform/dry_run.h"
#include "repair/capacity_repair.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: brisant-cli [--drive X=PATH]... COMMAND\n"
    "\n"
    "Re-formats the card in a card reader as one FAT16 volume of twice the\n"
    "capacity its sector 0 declares (when that is below 1 GB).\n"
    "\n"
    "commands:\n"
    "  list [--json]                         drives found, their capacity and eligibility\n"
    "  probe TARGET [--json]                 declared and target capacity of one drive\n"
    "  plan TARGET [--json]                  the layout and every command a repair would send;\n"
    "                                        writes nothing\n"
    "  repair TARGET [--yes] [--no-pause]    re-format the card (asks first unless --yes)\n"
    "\n"
    "TARGET is a drive letter (E, E: or E:\\) or a block device or card image path.\n"
    "--drive X=PATH maps drive letter X (D to Z) to a block device or image file;\n"
    "by default D: to Z: are /dev/sda to /dev/sdw.\n"
    "\n"
    "exit status: 0 done, 1 repair failed, 2 usage error, 3 not eligible, 4 declined\n";

struct Options {
    std::string command;
    std::string target;
    bool json = false;
    bool yes = false;
    bool pauses = true;
};

int UsageError(const std::string& reason) {
    std::fprintf(stderr, "brisant-cli: %s\n", reason.c_str());
    return kExitUsage;
}

std::string DriveText(char letter) { return std::string(1, letter) + ":\\"; }

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// "E", "E:" or "E:\" name a letter; anything else is a path to map.
bool ResolveTarget(const std::string& target, char& letter, std::string& error) {
    std::string t = target;
    if (!t.empty() && t.size() <= 3 && std::isalpha(static_cast<unsigned char>(t[0])) &&
        (t.size() == 1 || t[1] == ':') && (t.size() < 3 || t[2] == '\\')) {
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(t[0])));
        if (letter < 'D' || letter > 'Z') {
            error = "drive letter must be D to Z, got '" + target + "'";
            return false;
        }
        if (platform::DescribeDrive(letter).empty()) {
            error = DriveText(letter) + " is not mapped to anything";
            return false;
        }
        return true;
    }
    struct stat st {};
    if (stat(t.c_str(), &st) != 0) {
        error = t + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = t + ": is a directory, not a card or card image";
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        error = t + ": not a block device or card image";
        return false;
    }
    letter = platform::LetterForPath(t);
    if (letter == 0) {
        error = "no free drive letter for " + t;
        return false;
    }
    platform::MapDrive(letter, t);
    return true;
}

// The target must open; say why when it does not.
bool CheckOpens(char letter, std::string& error) {
    if (platform::OpenDriveTarget(letter)) return true;
    std::string path = platform::DescribeDrive(letter);
    error = DriveText(letter) + " (" + path + ") cannot be opened";
    if (access(path.c_str(), R_OK | W_OK) != 0) error += std::string(": ") + std::strerror(errno);
    return false;
}

struct ProbeResult {
    DWORD capacity;
    std::string text;
};

ProbeResult Probe(CCardDevice& device, char letter) {
    CConsoleOperator op(DriveText(letter), false, false, true);
    CCapacityRepair repair(device, op);
    repair.ProbeCapacity();
    return {repair.m_nCapacity, repair.m_strCapacity};
}

int List(const Options& o) {
    CCardDevice device;
    BYTE letters[kDriveTableSize];
    BYTE count = device.EnumDrives(letters);
    if (o.json) std::printf("[");
    for (BYTE n = 0; n < count; ++n) {
        char letter = static_cast<char>(letters[n]);
        ProbeResult p = Probe(device, letter);
        bool eligible = IsCapacityEligible(p.capacity);
        std::string path = platform::DescribeDrive(letter);
        if (o.json) {
            std::printf("%s\n  {\"drive\": %s, \"capacity_sectors\": %u, \"capacity\": %s, \"eligible\": %s, "
                        "\"maps_to\": %s}",
                        n ? "," : "", JsonString(DriveText(letter)).c_str(), static_cast<unsigned>(p.capacity),
                        JsonString(p.text).c_str(), eligible ? "true" : "false", JsonString(path).c_str());
        } else {
            std::printf("%s  %9s  %-12s  %s\n", DriveText(letter).c_str(), p.text.c_str(),
                        eligible ? "eligible" : "not eligible", path.c_str());
        }
    }
    if (o.json) std::printf("%s]\n", count ? "\n" : "");
    return kExitOk;
}

int ProbeCommand(const Options& o, char letter) {
    CCardDevice device;
    ProbeResult p = Probe(device, letter);
    bool eligible = IsCapacityEligible(p.capacity);
    DWORD target = TargetCapacity(p.capacity);
    if (o.json) {
        std::printf("{\"drive\": %s, \"capacity_sectors\": %u, \"capacity\": %s, \"eligible\": %s, "
                    "\"target_sectors\": %u, \"target\": %s, \"maps_to\": %s}\n",
                    JsonString(DriveText(letter)).c_str(), static_cast<unsigned>(p.capacity),
                    JsonString(p.text).c_str(), eligible ? "true" : "false", static_cast<unsigned>(target),
                    JsonString(CapacityText(target)).c_str(), JsonString(platform::DescribeDrive(letter)).c_str());
    } else {
        std::printf("%s  %s\n", DriveText(letter).c_str(), platform::DescribeDrive(letter).c_str());
        std::printf("declared capacity: %u sectors (%s)\n", static_cast<unsigned>(p.capacity), p.text.c_str());
        std::printf("eligible: %s\n", eligible ? "yes" : "no (1400000 to 4200000 sectors)");
        std::printf("target capacity: %u sectors (%s)\n", static_cast<unsigned>(target),
                    CapacityText(target).c_str());
    }
    return kExitOk;
}

int Plan(const Options& o, char letter) {
    auto dryRun = std::make_shared<platform::DryRunTarget>(platform::OpenDriveTarget(letter));
    std::string description = platform::DescribeDrive(letter);
    platform::MapDrive(letter, dryRun, description);

    CCardDevice device;
    CConsoleOperator op(DriveText(letter), true, false, true);
    CCapacityRepair repair(device, op);
    repair.RunRepair();
    // The capacity in the repair state is the target once the card passed.
    bool eligible = op.outcome() != CConsoleOperator::Outcome::NotEligible;
    Fat16Geometry g = ComputeGeometry(repair.m_nCapacity);

    if (o.json) {
        std::printf("{\"drive\": %s, \"maps_to\": %s, \"eligible\": %s", JsonString(DriveText(letter)).c_str(),
                    JsonString(description).c_str(), eligible ? "true" : "false");
        if (eligible) {
            std::printf(", \"target_sectors\": %u, \"volume_sectors\": %u, \"sectors_per_cluster\": %u, "
                        "\"fat_sectors\": %u, \"fat1_lba\": %u, \"fat2_lba\": %u, \"root_lba\": %u, "
                        "\"data_lba\": %u, \"clusters\": %u",
                        static_cast<unsigned>(repair.m_nCapacity), static_cast<unsigned>(g.totalSectors),
                        unsigned{g.sectorsPerCluster}, static_cast<unsigned>(g.fatSectors),
                        static_cast<unsigned>(g.fat1Lba()), static_cast<unsigned>(g.fat2Lba()),
                        static_cast<unsigned>(g.rootLba()), static_cast<unsigned>(g.dataLba()),
                        static_cast<unsigned>(g.clusterCount()));
        }
        std::printf(", \"commands\": [");
        for (std::size_t i = 0; i < dryRun->commands.size(); ++i) {
            const auto& c = dryRun->commands[i];
            std::printf("%s\n  {\"cdb\": %s, \"command\": %s, \"sent_in_plan\": %s}", i ? "," : "",
                        JsonString(CdbHex(c.cdb.data(), c.cdb.size())).c_str(),
                        JsonString(DescribeCdb(c.cdb.data(), c.cdb.size())).c_str(), c.sent ? "true" : "false");
        }
        std::printf("\n]}\n");
    } else {
        std::printf("%s  %s\n", DriveText(letter).c_str(), description.c_str());
        if (eligible) {
            std::printf("target capacity: %u sectors (%s)\n", static_cast<unsigned>(repair.m_nCapacity),
                        CapacityText(repair.m_nCapacity).c_str());
            std::printf("volume: %u sectors, %u sectors per cluster, %u sectors per table\n",
                        static_cast<unsigned>(g.totalSectors), unsigned{g.sectorsPerCluster},
                        static_cast<unsigned>(g.fatSectors));
            std::printf("table 1 at LBA %u, table 2 at LBA %u, root directory at LBA %u, data area at LBA %u\n",
                        static_cast<unsigned>(g.fat1Lba()), static_cast<unsigned>(g.fat2Lba()),
                        static_cast<unsigned>(g.rootLba()), static_cast<unsigned>(g.dataLba()));
            std::printf("clusters: %u\n", static_cast<unsigned>(g.clusterCount()));
        } else {
            std::printf("not eligible: %s\n", kMsgNotNeeded);
        }
        std::printf("commands, in order (reads are sent, but for sectors the plan itself wrote, which it answers;\n"
                    "nothing else reaches the card):\n");
        int n = 0;
        for (const auto& c : dryRun->commands) {
            std::printf("%3d  %-29s  %s\n", ++n, CdbHex(c.cdb.data(), c.cdb.size()).c_str(),
                        DescribeCdb(c.cdb.data(), c.cdb.size()).c_str());
        }
        if (op.outcome() == CConsoleOperator::Outcome::Failed) {
            std::printf("the repair would fail: %s\n", kMsgFail);
        }
    }
    return op.outcome() == CConsoleOperator::Outcome::Repaired ? kExitOk : ExitStatus(op.outcome());
}

int Repair(const Options& o, char letter) {
    // Only a drive that the sweep offers may be written.
    CCardDevice device;
    BYTE letters[kDriveTableSize];
    BYTE count = device.EnumDrives(letters);
    if (std::memchr(letters, letter, count) == nullptr) {
        return UsageError(DriveText(letter) + " (" + platform::DescribeDrive(letter) +
                          ") is not a removable card drive");
    }
    CConsoleOperator op(DriveText(letter), o.yes, o.pauses, false);
    CCapacityRepair repair(device, op);
    repair.RunRepair();
    return ExitStatus(op.outcome());
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (arg == "--version") {
            std::printf("brisant-cli 1.0.4.0\n");
            return kExitOk;
        } else if (arg == "--drive") {
            if (i + 1 >= argc) return UsageError("--drive needs X=PATH");
            std::string error;
            if (!platform::ParseDriveOption(argv[++i], &error)) return UsageError(error);
        } else if (arg.rfind("--drive=", 0) == 0) {
            std::string error;
            if (!platform::ParseDriveOption(arg.substr(8), &error)) return UsageError(error);
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--yes" || arg == "-y") {
            o.yes = true;
        } else if (arg == "--no-pause") {
            o.pauses = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg + " (see --help)");
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return UsageError("no command given (see --help)");
    o.command = words[0];
    bool needsTarget = o.command == "probe" || o.command == "plan" || o.command == "repair";
    if (o.command != "list" && !needsTarget) return UsageError("unknown command " + o.command + " (see --help)");
    if (words.size() != (needsTarget ? 2u : 1u)) {
        return UsageError(needsTarget ? o.command + " takes one TARGET" : "list takes no TARGET");
    }
    if (o.json && o.command == "repair") return UsageError("--json is for list, probe and plan");
    if ((o.yes || !o.pauses) && o.command != "repair") return UsageError("--yes and --no-pause are for repair");
    if (o.command == "list") return List(o);

    char letter = 0;
    std::string error;
    if (!ResolveTarget(words[1], letter, error) || !CheckOpens(letter, error)) return UsageError(error);
    if (o.command == "probe") return ProbeCommand(o, letter);
    if (o.command == "plan") return Plan(o, letter);
    return Repair(o, letter);
}

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

#include "cli/command_watch.h"
#include "cli/console_operator.h"
#include "cli/selftest.h"
#include "device/card_device.h"
#include "device/cdb_text.h"
#include "scsi/drive_identity.h"
#include "scsi/drive_map.h"
#include "scsi/dry_run.h"
#include "repair/capacity_repair.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
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
    "  repair TARGET [--yes] [--no-pause] [--quiet]\n"
    "                                        re-format the card (asks first unless --yes;\n"
    "                                        --quiet shows no progress bar)\n"
    "  selftest TARGET [--yes]               send each of the five commands to a card that may\n"
    "                                        hold files: write 128 sectors, put their old bytes\n"
    "                                        back (asks first unless --yes), then eject the card\n"
    "\n"
    "TARGET is a drive letter (E, E: or E:\\) or a block device or card image path;\n"
    "after --, words that start with a dash are commands and targets too.\n"
    "--drive X=PATH maps drive letter X (D to Z) to a block device or image file;\n"
    "by default D: onwards are the disks that exist, sd* first, then mmcblk*.\n"
    "\n"
    "exit status: 0 done, 1 failed or refused (the reason on stderr), 2 usage error,\n"
    "3 not eligible, 4 declined\n"
    "\n"
    "Before writing, repair reads the last sector of the new volume and stamps,\n"
    "reads back and restores up to 25 sectors spread over it, so that a card that\n"
    "cannot hold the doubled size is refused unchanged. From the first write to the\n"
    "last, Ctrl-C, SIGTERM and SIGHUP wait until the new volume is complete. A card\n"
    "pulled out, or a program killed with SIGKILL, meanwhile can be left\n"
    "half-written: probe then shows the new volume's size, and repair writes the\n"
    "same layout again.\n";

struct Options {
    std::string command;
    std::string target;
    bool json = false;
    bool yes = false;
    bool pauses = true;
    bool progress = true;
};

int UsageError(const std::string& reason) {
    std::fprintf(stderr, "brisant-cli: %s\n", reason.c_str());
    return kExitUsage;
}

std::string DriveText(char letter) { return std::string(1, letter) + ":\\"; }

// The length of the well-formed UTF-8 sequence at `p`, or 0.
std::size_t Utf8Length(const unsigned char* p, std::size_t left) {
    if (p[0] < 0x80) return 1;
    std::size_t length = p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
                         : p[0] >= 0xF0 && p[0] <= 0xF4                                 ? 4
                                                                                         : 0;
    if (length == 0 || length > left) return 0;
    // The second byte's range rules out overlong forms, surrogates and code
    // points above U+10FFFF.
    unsigned char low = p[0] == 0xE0 ? 0xA0 : p[0] == 0xF0 ? 0x90 : 0x80;
    unsigned char high = p[0] == 0xED ? 0x9F : p[0] == 0xF4 ? 0x8F : 0xBF;
    if (p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

// A byte that is not part of well-formed UTF-8 (a path can hold any) becomes
// \u00XX, so that the output always parses.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = Utf8Length(bytes + i, text.size() - i);
        unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (length == 0 || c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned{c});
            out += escaped;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
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

// "E:\ (/dev/sdb): REASON" on stderr.
int Refuse(char letter, const std::string& reason) {
    std::fprintf(stderr, "brisant-cli: %s (%s): %s\n", DriveText(letter).c_str(),
                 platform::DescribeDrive(letter).c_str(), reason.c_str());
    return kExitFailed;
}

// A repair refused before it began ends as a failed one does on stdout.
int RefuseRepair(char letter, const std::string& reason) {
    std::printf("%s\n", kMsgFail);
    std::fflush(stdout);
    return Refuse(letter, reason);
}

bool PermissionDenied(const std::string& path) {
    return access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS);
}

// Puts a watch in front of the drive's target for the rest of the run; null
// when the target does not open, with the reason and exit status set.
std::shared_ptr<CommandWatch> WatchDrive(char letter, std::string& error, int& status) {
    std::string path = platform::DescribeDrive(letter);
    std::shared_ptr<platform::ScsiTarget> target = platform::OpenDriveTarget(letter);
    if (!target) {
        error = DriveText(letter) + " (" + path + ") cannot be opened";
#ifdef _WIN32
        const DWORD code = ::GetLastError();
        status = code == ERROR_ACCESS_DENIED ? kExitFailed : kExitUsage;
        error += code == ERROR_ACCESS_DENIED ? ": access denied; run it as administrator"
                 : code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                     ? ": no such drive"
                     : ": Windows error " + std::to_string(code);
#else
        status = PermissionDenied(path) ? kExitFailed : kExitUsage;
        if (status == kExitFailed) {
            error += ": permission denied; sending SCSI commands needs root (try sudo)";
        } else if (access(path.c_str(), R_OK | W_OK) != 0) {
            error += std::string(": ") + std::strerror(errno);
        }
#endif
        return nullptr;
    }
    auto watch = std::make_shared<CommandWatch>(target);
    platform::MapDrive(letter, watch, path);
    return watch;
}

// Why a drive that answers is not among the drives the sweep offers.
std::string WhyNotOffered(CCardDevice& device, char letter, CommandWatch& watch) {
    watch.Reset();
    HANDLE h = device.OpenDrive(letter);
    BOOL removable = h != nullptr && device.Inquiry(h);
    if (h != nullptr) device.CloseDrive(h);
    if (removable) return "not one of the first 16 drives the sweep offers (D: to Z:, in order)";
    if (watch.first.seen) return "INQUIRY failed: " + watch.first.Describe();
    return "not a removable disk: a fixed disk or another kind of device is never offered";
}

// Why a repair that went as far as the drive failed: the card's own answer,
// then what the system knows about the drive, then what the repair found.
std::string WhyFailed(char letter, const std::string& path, const CCapacityRepair& repair,
                      const CommandWatch::Failure& failure) {
    if (failure.WriteProtected()) return "the card is write protected: " + failure.Describe();
    if (failure.NoMedium()) return "no card in the reader: " + failure.Describe();
    // The drive is asked as a path again, with the program's own use of it ended.
    platform::MapDrive(letter, path);
    std::string use = platform::DriveInUse(letter);
    if (!use.empty()) return "in use: " + use;
    if (failure.seen && !failure.carriedOut && failure.cdb[0] == 0x2A && PermissionDenied(path)) {
        return "permission denied: writing needs root (try sudo)";
    }
    const unsigned target = static_cast<unsigned>(repair.m_nCapacity);
    switch (repair.m_Refusal) {
        case CCapacityRepair::Refusal::LastSector:
            return "cannot read sector " + std::to_string(target - 1) + ", the last of the new volume: the card " +
                   "does not hold " + std::to_string(target) + " sectors (" + failure.Describe() + ")";
        case CCapacityRepair::Refusal::Stamps:
            return "stamps written across the new volume did not read back as written: the card does not " +
                   std::string("really hold ") + std::to_string(target) +
                   " sectors (a counterfeit card folds its upper sectors onto lower ones); its bytes were restored";
        case CCapacityRepair::Refusal::Command:
            return failure.seen ? failure.Describe() : "a command failed";
        case CCapacityRepair::Refusal::None: break;
    }
    return "the drive could not be opened for the repair";
}

struct ProbeResult {
    DWORD capacity;
    std::string text;
};

// Sector 0 that cannot be read is a failure of its own, not a 0 MB card.
bool Sector0Unreadable(const CommandWatch& watch, std::string& reason) {
    if (!watch.first.seen) return false;
    reason = "reading sector 0 failed: " + watch.first.Describe();
    return true;
}

ProbeResult Probe(CCardDevice& device, char letter) {
    CConsoleOperator op(DriveText(letter), false, false, true);
    CCapacityRepair repair(device, op);
    repair.ProbeCapacity();
    return {repair.m_nCapacity, repair.m_strCapacity};
}

// Which card a letter reaches, as the system knows it (no command is sent).
std::string IdentityOf(char letter) {
#ifdef _WIN32
    return platform::DescribeDrive(letter);
#else
    platform::DriveIdentity identity = platform::IdentifyDrive(letter);
    std::string text = identity.known ? platform::IdentityText(identity) : platform::DescribeDrive(letter);
    if (identity.partition) text += "; the whole card " + identity.disk + ", its partition table included, is re-formatted";
    return text;
#endif
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
                        "\"maps_to\": %s, \"identity\": %s}",
                        n ? "," : "", JsonString(DriveText(letter)).c_str(), static_cast<unsigned>(p.capacity),
                        JsonString(p.text).c_str(), eligible ? "true" : "false", JsonString(path).c_str(),
                        JsonString(IdentityOf(letter)).c_str());
        } else {
            std::printf("%s  %9s  %-12s  %s\n", DriveText(letter).c_str(), p.text.c_str(),
                        eligible ? "eligible" : "not eligible", path.c_str());
            std::printf("    %s\n", IdentityOf(letter).c_str());
        }
    }
    if (o.json) std::printf("%s]\n", count ? "\n" : "");
    // Nothing listed because nothing could be opened is a failure, not an empty reader.
    std::string unopened = count == 0 ? platform::OpenFailureReason() : std::string();
    if (!unopened.empty()) {
        std::fprintf(stderr, "brisant-cli: %s\n", unopened.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int ProbeCommand(const Options& o, char letter, CommandWatch& watch) {
    CCardDevice device;
    ProbeResult p = Probe(device, letter);
    std::string reason;
    if (Sector0Unreadable(watch, reason)) return Refuse(letter, reason);
    bool eligible = IsCapacityEligible(p.capacity);
    DWORD target = TargetCapacity(p.capacity);
    if (o.json) {
        std::printf("{\"drive\": %s, \"capacity_sectors\": %u, \"capacity\": %s, \"eligible\": %s, "
                    "\"target_sectors\": %u, \"target\": %s, \"maps_to\": %s, \"identity\": %s}\n",
                    JsonString(DriveText(letter)).c_str(), static_cast<unsigned>(p.capacity),
                    JsonString(p.text).c_str(), eligible ? "true" : "false", static_cast<unsigned>(target),
                    JsonString(CapacityText(target)).c_str(), JsonString(platform::DescribeDrive(letter)).c_str(),
                    JsonString(IdentityOf(letter)).c_str());
    } else {
        std::printf("%s  %s\n", DriveText(letter).c_str(), platform::DescribeDrive(letter).c_str());
        std::printf("card: %s\n", IdentityOf(letter).c_str());
        std::printf("declared capacity: %u sectors (%s)\n", static_cast<unsigned>(p.capacity), p.text.c_str());
        std::printf("eligible: %s\n", eligible ? "yes" : "no (1400000 to 4200000 sectors)");
        std::printf("target capacity: %u sectors (%s)\n", static_cast<unsigned>(target),
                    CapacityText(target).c_str());
    }
    return kExitOk;
}

int Plan(const Options& o, char letter, std::shared_ptr<CommandWatch> watch) {
    {
        CCardDevice device;
        Probe(device, letter);
        std::string reason;
        if (Sector0Unreadable(*watch, reason)) return Refuse(letter, reason);
        watch->Reset();
    }
    auto dryRun = std::make_shared<platform::DryRunTarget>(watch);
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
    if (op.outcome() == CConsoleOperator::Outcome::Failed) {
        CommandWatch::Failure failure = watch->first;
        dryRun.reset();
        watch.reset();
        Refuse(letter, WhyFailed(letter, description, repair, failure));
    }
    return ExitStatus(op.outcome());
}

// Only a drive that the sweep offers, and whose sector 0 reads, may be
// written: why not, or an empty text with the probe's result in `p`.
std::string WhyNotWritable(CCardDevice& device, char letter, CommandWatch& watch, ProbeResult& p) {
    BYTE letters[kDriveTableSize];
    BYTE count = device.EnumDrives(letters);
    if (std::memchr(letters, letter, count) == nullptr) return WhyNotOffered(device, letter, watch);
    watch.Reset();
    p = Probe(device, letter);
    std::string reason;
    Sector0Unreadable(watch, reason);
    return reason;
}

int Repair(const Options& o, char letter, std::shared_ptr<CommandWatch> watch) {
    const std::string path = platform::DescribeDrive(letter);
    CCardDevice device;
    ProbeResult p{};
    std::string why = WhyNotWritable(device, letter, *watch, p);
    if (!why.empty()) return RefuseRepair(letter, why);
    if (IsCapacityEligible(p.capacity)) {
        std::printf("%s  %s\n", DriveText(letter).c_str(), IdentityOf(letter).c_str());
        DWORD target = TargetCapacity(p.capacity);
        if (target != p.capacity) {
            std::printf("doubles the declared %s to %s\n", p.text.c_str(), CapacityText(target).c_str());
        } else {
            std::printf("re-formats at the same size (no doubling): all files are lost\n");
        }
    }

    watch->Reset();
    CConsoleOperator op(DriveText(letter), o.yes, o.pauses, false);
    if (!o.progress) op.HideProgress();
    CCapacityRepair repair(device, op);
    repair.RunRepair();
    if (op.outcome() == CConsoleOperator::Outcome::Failed) {
        CommandWatch::Failure failure = watch->first;
        watch.reset();
        return Refuse(letter, WhyFailed(letter, path, repair, failure));
    }
    return ExitStatus(op.outcome());
}

int Selftest(const Options& o, char letter, CommandWatch& watch) {
    CCardDevice device;
    ProbeResult p{};
    std::string why = WhyNotWritable(device, letter, watch, p);
    if (!why.empty()) return Refuse(letter, why);
    std::printf("%s  %s\n", DriveText(letter).c_str(), IdentityOf(letter).c_str());
    std::printf("ok    the sweep (INQUIRY on D: to Z:) offers %s\n", DriveText(letter).c_str());
    CConsoleOperator op(DriveText(letter), o.yes, false, false);
    return RunSelftest(device, letter, p.capacity, watch, op);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> words;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!options) {
            words.push_back(arg);
        } else if (arg == "--") {
            options = false;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (arg == "--version" || arg == "-V") {
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
        } else if (arg == "--quiet" || arg == "-q") {
            o.progress = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg + " (see --help)");
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) return UsageError("no command given (see --help)");
    o.command = words[0];
    const bool writes = o.command == "repair" || o.command == "selftest";
    bool needsTarget = writes || o.command == "probe" || o.command == "plan";
    if (o.command != "list" && !needsTarget) return UsageError("unknown command " + o.command + " (see --help)");
    if (words.size() != (needsTarget ? 2u : 1u)) {
        return UsageError(needsTarget ? o.command + " takes one TARGET" : "list takes no TARGET");
    }
    if (o.json && writes) return UsageError("--json is for list, probe and plan");
    if ((!o.pauses || !o.progress) && o.command != "repair") return UsageError("--no-pause and --quiet are for repair");
    if (o.yes && !writes) return UsageError("--yes is for repair and selftest");
    if (o.command == "list") return List(o);

    char letter = 0;
    std::string error;
    if (!ResolveTarget(words[1], letter, error)) return UsageError(error);
    // Asked before the program opens the drive itself.
    std::string use = writes ? platform::DriveInUse(letter) : std::string();
    if (!use.empty()) {
        return o.command == "repair" ? RefuseRepair(letter, "in use: " + use) : Refuse(letter, "in use: " + use);
    }
    int status = kExitUsage;
    std::shared_ptr<CommandWatch> watch = WatchDrive(letter, error, status);
    if (!watch) {
        std::fprintf(stderr, "brisant-cli: %s\n", error.c_str());
        return status;
    }
    if (o.command == "probe") return ProbeCommand(o, letter, *watch);
    if (o.command == "plan") return Plan(o, letter, watch);
    if (o.command == "selftest") return Selftest(o, letter, *watch);
    return Repair(o, letter, std::move(watch));
}

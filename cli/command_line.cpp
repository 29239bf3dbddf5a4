#include "cli/command_line.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "scsi/drive_map.h"

namespace {

// The Windows program reaches real volumes by their letters only, and is
// told so in its own words: no --drive, no paths, no signals.
#ifdef _WIN32
#define BRISANT_DRIVE_OPTION ""
#else
#define BRISANT_DRIVE_OPTION "[--drive X=PATH]... "
#endif

const char kUsage[] =
    "usage: brisant-cli " BRISANT_DRIVE_OPTION "[--json] list\n"
    "       brisant-cli " BRISANT_DRIVE_OPTION "[--json] probe|plan TARGET\n"
    "       brisant-cli " BRISANT_DRIVE_OPTION "[-y] [-q] [--no-pause] [--undo-file PATH | --verify]\n"
    "                  repair TARGET\n"
    "       brisant-cli " BRISANT_DRIVE_OPTION "[-y] [--force] undo FILE TARGET\n"
    "       brisant-cli " BRISANT_DRIVE_OPTION "undo --list\n"
    "       brisant-cli " BRISANT_DRIVE_OPTION "[-y] selftest TARGET\n"
    "       brisant-cli -h | -V\n"
    "\n"
    "Re-formats the card in a card reader as one FAT16 volume of twice the\n"
    "capacity its sector 0 declares (when that is below 1 GB).\n"
    "\n"
    "commands:\n"
    "  list             the drives offered, with their capacity and what a repair would do;\n"
    "                   on stderr, each other drive looked at and why it is not offered\n"
    "  probe TARGET     the declared capacity, the volume a repair would write, and whether\n"
    "                   a repair would go ahead (or which check refuses it)\n"
    "  plan TARGET      the layout and every command a repair would send; writes nothing\n"
    "  repair TARGET    re-formats the card, after asking; first saves the sectors it\n"
    "                   overwrites to an undo file\n"
    "  undo FILE TARGET puts back what the repair of FILE overwrote (after asking), when\n"
    "                   TARGET still holds what that repair wrote, and ejects the card\n"
    "  undo --list      the saved undo files, and whether the card each names is present\n"
    "  selftest TARGET  sends each of the five commands to a card that may hold files: writes\n"
    "                   128 sectors and puts their old bytes back (after asking), then ejects\n"
    "                   the card\n"
    "\n"
    "options (anywhere on the line):\n"
#ifndef _WIN32
    "  --drive X=PATH   maps drive letter X (D to Z) to a block device or card image file;\n"
    "                   once for each letter\n"
#endif
    "  --json           list, probe, plan: one JSON object on stdout, also for an error\n"
    "                   ({\"error\": ..., \"exit\": N})\n"
    "  -y, --yes        repair, selftest, undo: answers the question with yes\n"
    "  -q, --quiet      repair: prints only the outcome line on stdout\n"
    "  --no-pause       repair: leaves out the one-second pauses between progress steps\n"
    "  --verify         repair: writes every sector of the new volume with a pattern of its\n"
    "                   own and reads it all back before the layout (see below)\n"
    "  --undo-file PATH repair: the undo file to write (never an existing one); by default\n"
#ifdef _WIN32
    "                   a new file in %LOCALAPPDATA%\\Brisant\n"
#else
    "                   a new file in $XDG_STATE_HOME/brisant (~/.local/state/brisant)\n"
#endif
    "  --force          undo: also over a card written to since the repair, whose files\n"
    "                   are then lost\n"
    "  -h, --help       shows this text\n"
    "  -V, --version    shows the version\n"
    "  --               ends the options: what follows is a command or TARGET\n"
    "\n"
#ifdef _WIN32
    "TARGET is a drive letter (E, E: or E:\\): the card's volume, as Explorer shows\n"
    "it. Offered, and so repaired, is only a drive D: to Z: that answers INQUIRY as\n"
    "a removable direct-access disk (a card reader), among the first 16 in letter\n"
    "order; never a hard disk. The commands go straight to the drive, which Windows\n"
    "allows only to administrators: run brisant-cli from a command prompt started\n"
    "with \"Run as administrator\".\n"
#else
    "TARGET is a drive letter (E, E: or E:\\) or the path of a block device or card\n"
    "image. By default D: onwards are the whole disks that exist, sd* first, then\n"
    "mmcblk*. Offered, and so repaired, is only a drive that answers INQUIRY as a\n"
    "removable direct-access disk (a card reader, a card slot, a card image), among\n"
    "the first 16 in letter order; never a fixed disk or a loop device.\n"
#endif
    "\n"
    "exit status (list, probe and plan end as a repair of the drive would before\n"
    "its question; list as for its most promising drive):\n"
    "  0  done; a repair would go ahead\n"
    "  1  cannot be opened, not offered, in use, refused or failed (the reason on\n"
    "     stderr); list: no card found\n"
    "  2  usage error\n"
    "  3  the declared capacity is not eligible (1400000 to 4200000 sectors)\n"
    "  4  declined: nothing was written\n"
#ifndef _WIN32
    "  130, 143  ended by Ctrl-C or SIGTERM, once the card is whole\n"
#endif
    "\n"
    "Before writing, repair reads the last sector of the new volume and stamps,\n"
    "reads back and restores up to 25 sectors spread over it, so that a card that\n"
    "cannot hold the doubled size is refused unchanged. From the first write to the\n"
#ifdef _WIN32
    "last, Ctrl-C, Ctrl-Break and closing the console wait until the new volume is\n"
    "complete. A card pulled out, or a program ended by the Task Manager,\n"
    "meanwhile can be left\n"
#else
    "last, Ctrl-C, SIGTERM and SIGHUP wait until the new volume is complete. A card\n"
    "pulled out, or a program killed with SIGKILL, meanwhile can be left\n"
#endif
    "half-written: probe then shows the new volume's size, and repair writes the\n"
    "same layout again.\n"
    "\n"
    "With --verify, repair tests the whole new volume instead of the stamps: it\n"
    "overwrites every sector (nothing can be undone), reads each back and reports\n"
    "how many held their pattern, read back zeros or old bytes (dropped), held\n"
    "another sector's (wrapped) or something else (changed), the first bad sector\n"
    "and the rates. Only when every sector held does the card get the doubled\n"
    "size; when every sector below the declared size held, it gets that size,\n"
    "empty, and repair exits 1; otherwise no layout is written. "
#ifdef _WIN32
    "Ctrl-C\n"
#else
    "Ctrl-C or SIGTERM\n"
#endif
    "stops the test and leaves the card at its declared size, empty.\n";

}  // namespace

Parsed ParseCommandLine(int argc, char** argv, Options& o, std::string& error) {
    // A wrong command line asked for JSON gets its error as JSON too.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) o.json = true;
    }
    std::vector<std::string> words;
    platform::DriveOptions drives;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!options) {
            words.push_back(arg);
        } else if (arg == "--") {
            options = false;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return Parsed::Done;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("brisant-cli %s\n", BRISANT_VERSION);
            return Parsed::Done;
        } else if (drives.Take(argc, argv, i, &error)) {
            if (!error.empty()) return Parsed::Usage;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--yes" || arg == "-y") {
            o.yes = true;
        } else if (arg == "--no-pause") {
            o.pauses = false;
        } else if (arg == "--quiet" || arg == "-q") {
            o.quiet = true;
        } else if (arg == "--undo-file") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                error = "--undo-file takes a PATH";
                return Parsed::Usage;
            }
            o.undoFile = argv[++i];
        } else if (arg == "--force") {
            o.force = true;
        } else if (arg == "--list") {
            o.list = true;
        } else if (arg == "--verify") {
            o.verify = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg + " (see --help)";
            return Parsed::Usage;
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty()) {
        error = "no command given (see --help)";
        return Parsed::Usage;
    }
    o.command = words[0];
    const bool undo = o.command == "undo";
    const bool writes = o.command == "repair" || o.command == "selftest" || undo;
    const bool needsTarget = writes || o.command == "probe" || o.command == "plan";
    if (o.command != "list" && !needsTarget) {
        error = "unknown command " + o.command + " (see --help)";
        return Parsed::Usage;
    }
    if (undo && (o.list ? words.size() != 1u : words.size() != 3u)) {
        error = o.list ? "undo --list takes no FILE or TARGET" : "undo takes a FILE and a TARGET";
        return Parsed::Usage;
    }
    if (!undo && words.size() != (needsTarget ? 2u : 1u)) {
        error = needsTarget ? o.command + " takes one TARGET" : "list takes no TARGET";
        return Parsed::Usage;
    }
    // undo names its FILE as a word: the option would be a second one.
    const bool undoFileOption = !o.undoFile.empty();
    if (undo && !o.list) {
        o.undoFile = words[1];
        o.target = words[2];
    } else if (needsTarget && !undo) {
        o.target = words[1];
    }
    if (o.list && !undo) {
        error = "--list is for undo";
    } else if (o.force && (!undo || o.list)) {
        error = "--force is for undo FILE TARGET";
    } else if (undoFileOption && o.command != "repair") {
        error = "--undo-file is for repair";
    } else if (o.json && writes) {
        error = "--json is for list, probe and plan";
    } else if ((!o.pauses || o.quiet) && o.command != "repair") {
        error = "--no-pause and --quiet are for repair";
    } else if (o.verify && o.command != "repair") {
        error = "--verify is for repair";
    } else if (o.verify && !o.undoFile.empty()) {
        error = "--verify overwrites every sector: there is no undo file to write";
    } else if (o.yes && !writes) {
        error = "--yes is for repair, selftest and undo";
    }
    return error.empty() ? Parsed::Run : Parsed::Usage;
}

#include "ui/dialog_arguments.h"

#include <cstdio>

#include "scsi/drive_map.h"

namespace {

int UsageError(const std::string& reason) {
    std::fprintf(stderr, "Brisant: %s\n", reason.c_str());
    return 2;
}

}  // namespace

int TakeDialogArguments(int argc, char** argv, const char* usage, std::vector<std::string>& drives) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string option;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("Brisant %s\n", BRISANT_VERSION);
            return 0;
        } else if (arg == "--drive") {
            if (i + 1 >= argc) return UsageError("--drive needs X=PATH");
            option = argv[++i];
        } else if (arg.rfind("--drive=", 0) == 0) {
            option = arg.substr(8);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg + " (see --help)");
        } else {
            return UsageError("unexpected argument " + arg + " (a device or card image is given as --drive X=PATH)");
        }
        std::string error;
        if (!platform::ParseDriveOption(option, &error)) return UsageError(error);
        drives.push_back(option);
    }
    return -1;
}

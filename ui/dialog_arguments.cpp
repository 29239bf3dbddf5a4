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
    platform::DriveOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string error;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--version" || arg == "-V") {
            std::printf("Brisant %s\n", BRISANT_VERSION);
            return 0;
        } else if (options.Take(argc, argv, i, &error)) {
            if (!error.empty()) return UsageError(error);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg + " (see --help)");
        } else {
            return UsageError("unexpected argument " + arg + " (a device or card image is given as --drive X=PATH)");
        }
    }
    drives = options.Taken();
    return -1;
}

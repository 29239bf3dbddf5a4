// Without Windows volumes, drive letters can be mapped to devices or card
// images first, as brisant-cli takes them; the toolkit gets no arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "afx/backend.h"
#include "afx/wx_backend.h"
#include "scsi/drive_map.h"
#include "ui/dialog_arguments.h"

namespace {

const char kUsage[] =
    "usage: Brisant [--drive X=PATH]...\n"
    "       Brisant -h | --help | -V | --version\n"
    "\n"
    "Opens the window that re-formats the card in a card reader as one FAT16\n"
    "volume of twice the capacity its sector 0 declares (when that is below 1 GB).\n"
    "\n"
    "  --drive X=PATH  map drive letter X (D to Z) to a block device or card image;\n"
    "                  by default D: to Z: are the disks that exist, sd* first,\n"
    "                  then mmcblk*\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "Card readers open only for root: started by another user, Brisant offers to\n"
    "restart itself through pkexec.\n";

const char kRestartText[] =
    "Brisant needs administrator rights to reach the card readers.\n"
    "Restart it as administrator?";

std::vector<std::string> g_arguments;
std::vector<std::string> g_drivePaths;

std::string PkexecPath() {
    for (const char* path : {"/usr/bin/pkexec", "/bin/pkexec"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return std::string();
}

// Only a device this user cannot open calls for root, card images do not;
// with --drive, only the drives given there count.
bool NeedsRoot() {
    if (geteuid() == 0) return false;
    std::vector<std::string> paths = g_drivePaths;
    if (paths.empty()) {
        for (char letter = 'D'; letter <= 'Z'; ++letter) paths.push_back(platform::DescribeDrive(letter));
    }
    for (const std::string& path : paths) {
        struct stat st {};
        if (!path.empty() && stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
            access(path.c_str(), R_OK | W_OK) != 0) {
            return true;
        }
    }
    return false;
}

// pkexec runs the program path its policy names, with the same arguments.
void OfferRootRestart() {
    std::string pkexec = PkexecPath();
    if (pkexec.empty() || !NeedsRoot()) return;
    afx::Backend* backend = afx::GetBackend();
    if (backend->MessageBox(nullptr, kRestartText, "Brisant", MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) return;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    self[n] = '\0';
    std::vector<char*> argv{pkexec.data(), self};
    for (std::string& argument : g_arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(pkexec.c_str(), argv.data());
    std::fprintf(stderr, "Brisant: cannot run %s: %s\n", pkexec.c_str(), std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> drives;
    int status = TakeDialogArguments(argc, argv, kUsage, drives);
    if (status >= 0) return status;
    for (const std::string& drive : drives) {
        g_arguments.insert(g_arguments.end(), {"--drive", drive});
        g_drivePaths.push_back(platform::DescribeDrive(static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])))));
    }
    char* toolkitArgv[] = {argv[0], nullptr};
    return afx::wx::RunApplication(1, toolkitArgv, OfferRootRestart);
}

// The Windows program: the application object on the Win32 back end. It takes
// no arguments; the test build (BRISANT_DRIVE_MAP) first maps drive letters to
// card images, as brisant-cli takes them, since Wine carries no pass-through.
#include <windows.h>

#include "afx/win32_backend.h"

#ifdef BRISANT_DRIVE_MAP
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "scsi/drive_map.h"

namespace {

bool MapDrives(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string error = "--drive needs X=PATH";
        if (std::strcmp(argv[i], "--drive") != 0) {
            error = std::string("unknown argument ") + argv[i];
        } else if (i + 1 < argc && platform::ParseDriveOption(argv[++i], &error)) {
            continue;
        }
        std::fprintf(stderr, "Brisant: %s\n", error.c_str());
        return false;
    }
    return true;
}

}  // namespace
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
#ifdef BRISANT_DRIVE_MAP
    if (!MapDrives(__argc, __argv)) return 2;
#endif
    return afx::win32::RunApplication();
}

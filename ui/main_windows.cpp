// The Windows program: the application object on the Win32 back end. It takes
// no arguments; the test build (BRISANT_DRIVE_MAP) first maps drive letters to
// card images, as the Linux program takes them, since Wine carries no
// pass-through.
#include <windows.h>

#include "afx/win32_backend.h"

#ifdef BRISANT_DRIVE_MAP
#include <string>
#include <vector>

#include "ui/dialog_arguments.h"

namespace {

const char kUsage[] =
    "usage: Brisant [--drive X=PATH]...\n"
    "       Brisant -h | --help | -V | --version\n"
    "\n"
    "The dialog over card images: --drive maps drive letter X (D to Z) to one.\n";

}  // namespace
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
#ifdef BRISANT_DRIVE_MAP
    std::vector<std::string> drives;
    int status = TakeDialogArguments(__argc, __argv, kUsage, drives);
    if (status >= 0) return status;
#endif
    return afx::win32::RunApplication();
}

// The dialog program's own arguments, taken as brisant-cli takes them:
// --drive X=PATH (or --drive=X=PATH), -h/--help and -V/--version. Anything
// else is a usage error, so that no window opens on a mistyped command.
#pragma once

#include <string>
#include <vector>

// Maps each --drive as it comes and appends its X=PATH to `drives`. Returns
// -1 when the window is to open, else the exit status once the help, the
// version or the usage error has been printed.
int TakeDialogArguments(int argc, char** argv, const char* usage, std::vector<std::string>& drives);

// The Win32 back end: the dialog template compiled into the executable, real
// controls, message boxes and the dialog manager's modal loop.
#pragma once

namespace afx::win32 {

// Runs the application object (AfxWinMain) with this back end and returns
// its exit code.
int RunApplication();

}  // namespace afx::win32

// The wxWidgets back end: real windows and message boxes on GTK.
#pragma once

namespace afx::wx {

// Starts the toolkit, runs the application object (AfxWinMain) with this back
// end and returns its exit code. beforeRun, when given, runs once the back end
// can show message boxes. Without a display it says so and returns 1.
int RunApplication(int argc, char** argv, void (*beforeRun)() = nullptr);

}  // namespace afx::wx

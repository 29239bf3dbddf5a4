// The wxWidgets back end: real windows and message boxes on GTK.
#pragma once

namespace afx::wx {

// Starts the toolkit, runs the application object (AfxWinMain) with this back
// end and returns its exit code.
int RunApplication(int argc, char** argv);

}  // namespace afx::wx

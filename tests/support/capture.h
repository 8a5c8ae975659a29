// Capture of what the library reports while a test runs: the device output
// hooks (log lines and error lines), the library log and message boxes.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// Installs the capturing hooks and clears what was captured. The library
// log is captured when `libraryLog` is true, else dropped (no log file is
// written either way). Message boxes are answered "OK".
void CaptureOutput(bool libraryLog);

// What was reported since the last ClearCapture.
std::string InfoText();            // device log lines, joined
std::string ErrorText();           // device error lines, one per line
std::string LibraryLog();          // library log entries, joined
std::vector<std::string> Boxes();  // message boxes shown ("caption: text")
void ClearCapture();

}  // namespace testsupport

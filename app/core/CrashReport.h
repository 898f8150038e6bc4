#pragma once
#include <string>

namespace kalvex {

// Installs the crash handler: a fatal signal starts this program again as
// `Kalvex --crash-prompt CRASH_<signal>_<address>` and ends the process.
void InstallCrashHandler();

// The crash prompt (run by that second process): asks whether to send the
// log, then starts the uploader (AppFolder + "Dravel") with the crash text
// on OK, without any parameter on Cancel. A missing uploader ends quietly.
// Returns the button chosen.
int RunCrashPrompt(const std::string& crashText);

std::string UploaderPath();  // AppFolder + "Dravel"

}  // namespace kalvex

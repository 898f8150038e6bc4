#pragma once
#include <string>

namespace kalvex {

// Folder of the running executable, with a trailing "/".
std::string AppFolder();
// Folder that holds `companion` (a program, module or data file shipped with
// Kalvex, e.g. "Dravel" or "plugins/DirectShowSource.so"), with a trailing
// "/": the program's folder when the companion is there (the build tree
// keeps everything beside the programs), else "<program folder>/../lib/kalvex/"
// (the installed tree: programs in bin/, modules and data in lib/kalvex/).
std::string CompanionFolder(const std::string& companion, const std::string& programFolder = AppFolder());
// Per-user data folder ($XDG_DATA_HOME or ~/.local/share, then "/Kalvex/"),
// created when missing. Ends with "/".
std::string AppDataFolder();
// The system's temporary folder ($TMPDIR or /tmp), with a trailing "/".
std::string TempFolder();
// Per-user folder for the single-instance lock and socket
// ($XDG_RUNTIME_DIR, else the temporary folder), with a trailing "/".
std::string RuntimeFolder();
// The user's home folder, with a trailing "/".
std::string HomeFolder();

}  // namespace kalvex

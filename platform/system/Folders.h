#pragma once
#include <string>

namespace kalvex {

// Folder of the running executable, with a trailing "/".
std::string AppFolder();
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

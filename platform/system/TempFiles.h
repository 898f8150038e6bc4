#pragma once
#include <string>
#include <vector>

namespace kalvex {

// Process-wide list of temporary files (the scripts) deleted at shutdown.
// No check for duplicates: a path registered twice is deleted once and the
// second attempt is skipped silently.
void RegisterTempFile(const std::string& path);
// Deletes every registered file in list order (failures are skipped), then
// empties the list.
void DeleteTempFiles();
std::vector<std::string> RegisteredTempFiles();

}  // namespace kalvex

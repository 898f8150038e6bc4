#pragma once
#include <cstdio>
#include <functional>
#include <string>

namespace kalvex {

// Replaces the file at path with what write() puts into the stream it is
// given, never leaving a half-written file under the name: the new content
// goes to path + ".new", is flushed to the disk and only then renamed over
// path. The file being replaced becomes the backup (backupPath) when
// isWhole(path) says it is worth keeping, so there is always a complete file
// and a complete backup. False (and path untouched) when the new file cannot
// be written or write() returns false.
bool ReplaceFileKeepingBackup(const std::string& path, const std::string& backupPath,
                              const std::function<bool(std::FILE*)>& write,
                              const std::function<bool(const std::string&)>& isWhole);

}  // namespace kalvex

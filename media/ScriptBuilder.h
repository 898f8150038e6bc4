#pragma once
#include <string>

#include "common/AppSettings.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

enum class ScriptVariant {
    Conversion,  // fit into the PSP picture (X x Y) with black borders
    Preview,     // aspect correction only
};

// The lines of the script for an entry, with the PSP settings given.
std::string ScriptText(const VideoFileEntry& entry, ScriptVariant variant, const ConvertSettings& settings);

// The script's path: TempFolder() + "PreviewAVS_<file name>_<process id>.avs",
// the file name being the part of fullPath behind the last '/'. Both variants
// share it, so a new script for a file replaces the previous one.
std::string ScriptPath(const VideoFileEntry& entry);

// Writes the script for the entry with the current settings
// (AppSettings.convert) and registers it for deletion at shutdown. True and
// the path on success; false, and *path untouched, when the file cannot be
// created.
bool WriteScript(VideoFileEntry entry, ScriptVariant variant, std::string* path);

}  // namespace kalvex

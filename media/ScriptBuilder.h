#pragma once
#include <string>

#include "convert/ConvertSettings.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

enum class ScriptVariant {
    Conversion,  // fit into the PSP picture (X x Y) with black borders
    Preview,     // aspect correction only
};

// A path as a script string: in double quotes, or in triple quotes when it
// holds a double quote (inside them no quote of the path ends the string).
// What no script string can carry - a line end, or three quotes in a row -
// makes it fail (false, *literal untouched), so a file name can never add
// to or change a script.
bool ScriptString(const std::string& path, std::string* literal);
// The refusal for a source whose path ScriptString cannot carry.
std::string UnsafeScriptPathText(const std::string& path);

// The lines of the script for an entry, with the PSP settings given. The
// source and subtitle paths are written with ScriptString; a path it cannot
// carry gives an empty text. The track choice adds the sound track to the
// source line ("DirectShowSource(path, N)"; the default track keeps the plain
// line) and, with useSubtitle set, burns the chosen embedded subtitle track
// in ("EmbeddedSub(path, N)", ", 1" for forced pictures only) where a linked
// file's line would be.
std::string ScriptText(const VideoFileEntry& entry, ScriptVariant variant, const ConvertSettings& settings,
                       const TrackChoice& tracks = {});

// The script's path: TempFolder() + "PreviewAVS_<file name>_<process id>.avs",
// the file name being the part of fullPath behind the last '/'. Both variants
// share it, so a new script for a file replaces the previous one.
std::string ScriptPath(const VideoFileEntry& entry);

// Writes the script for the entry with the given PSP settings and registers
// it for deletion at shutdown. True and the path on success; false, and
// *path untouched, when the file cannot be created or a path of the entry
// cannot be written into a script (logged).
bool WriteScript(VideoFileEntry entry, ScriptVariant variant, const ConvertSettings& settings, std::string* path,
                 const TrackChoice& tracks = {});

}  // namespace kalvex

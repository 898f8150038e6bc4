#pragma once
#include <string>
#include <vector>

namespace kalvex {

// The extensions the file dialog's "video file" filter lists, lower case,
// without the dot.
const std::vector<std::string>& VideoFileExtensions();

// True when the file name ends in one of VideoFileExtensions(), compared
// without regard to case (a camera's "CLIP.MOV" is a video file too).
bool IsVideoFileName(const std::string& name);

// The path made absolute against `folder` (the caller's current folder):
// an absolute path is kept, a relative one is put behind the folder. Empty
// "." segments and doubled slashes are dropped; ".." is kept, since only
// the file system knows where it leads past a symbolic link.
std::string AbsolutePath(const std::string& path, const std::string& folder);

// A path that is not added, and why (for the log or the terminal).
struct SkippedPath {
    std::string path;
    std::string reason;
};

struct PathsToAdd {
    std::vector<std::string> files;   // to be added, in this order
    std::vector<SkippedPath> skipped;
};

// Turns paths dropped on the file list or named on the command line into
// the files to add, the way a user picks them in the file dialog:
// - a file (or a link to one) is added as it is, whatever its name: the
//   dialog's "all files" choice takes any file, and the examination refuses
//   what it cannot use;
// - a folder adds the files directly inside it (sub-folders are not
//   entered) whose names the dialog's "video file" filter accepts, in name
//   order (letters compared without case, then byte by byte); hidden files
//   are left out, as the dialog does not show them;
// - anything else (missing, a device, a folder that cannot be read) is
//   skipped with its reason.
// The paths keep their order; nothing is taken out as a duplicate, as the
// list takes the same file twice when the user adds it twice.
PathsToAdd ExpandPathsToAdd(const std::vector<std::string>& paths);

}  // namespace kalvex

#pragma once
// The names of files on the PSP: the thumbnail beside each video, and the
// folders and numbered names older PSP system software looks for.
#include <string>
#include <vector>

#include "convert/ConvertSettings.h"

namespace kalvex {

// The thumbnail of a video file: the same path with ".THM" in place of the
// last extension of its file name (appended when the name has none).
std::string ThumbnailPath(const std::string& video);

// The folder, below the PSP's root, where older system software finds
// videos of a codec: "MP_ROOT/100MNV01/" for MPEG-4, "MP_ROOT/100ANV01/"
// for AVC.
std::string OldPspFolder(PspCodec codec);
// The name prefix there: "M4V" for MPEG-4, "MAQ" for AVC.
std::string OldPspPrefix(PspCodec codec);
// The most the five digits of such a name can count to.
constexpr int kMaxOldPspNumber = 99999;

// The highest number among names of the form PREFIX + five digits + "." +
// anything (letters in any case, as the PSP's FAT file system compares
// them); 0 when there is none.
int HighestOldPspNumber(const std::vector<std::string>& names, const std::string& prefix);
// PREFIX + the number in five digits + "." + ext, upper case
// ("M4V00004.MP4").
std::string OldPspFileName(const std::string& prefix, int number, const std::string& ext);

// The names of the files in a folder (none when it cannot be read).
std::vector<std::string> FolderFileNames(const std::string& folder);

}  // namespace kalvex

#pragma once
// Stand-ins for the tests of the Video Files page and the subtitle commands:
// entries and examinations that open no file.
#include <cstring>
#include <string>

#include "media/ExamineSource.h"
#include "media/VideoFileEntry.h"

namespace kalvex::test {

// An entry with only its path and file name set.
inline VideoFileEntry EntryFor(const std::string& path) {
    VideoFileEntry e = ZeroEntry();
    SetFieldText(e.fullPath, path);
    SetFieldText(e.fileName, path.substr(path.rfind('/') + 1));
    return e;
}

// An examination that takes every file for a 320x240, 25 fps clip of one
// second; for SetExaminer.
inline bool ExamineAsShortClip(const std::string&, MediaInfo& info, SourceRefusal&) {
    std::memset(&info, 0, sizeof info);
    info.width = 320;
    info.height = 240;
    info.fps = 25;
    info.duration = 10000000;
    return true;
}

}  // namespace kalvex::test

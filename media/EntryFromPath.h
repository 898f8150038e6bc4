#pragma once
#include <functional>
#include <string>

#include "media/ExamineSource.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// How a source is examined: ExamineSource, or a stand-in in tests.
using SourceExaminer = std::function<bool(const std::string& path, MediaInfo& info, SourceRefusal& refusal)>;
// Links the subtitles of a new entry (run after a successful examination).
using EntryLinker = std::function<void(VideoFileEntry& entry)>;

// Makes the file list's entry for a source path: the path and file name
// (refused when either does not fit its 260-byte field: a path is never
// cut), the examination, the linked subtitles, the trim times (the whole
// source) and the information text. Logs "--- Adding file ...---" and
// "--- End ... ---" around it. False with the refusal to show when the file
// cannot be used. A source of zero length is accepted here; the run refuses
// it (see the run policy), as the Convert page always has. The information
// text shows the length in the display time format timeFormat. The file's
// tracks go to *tracks (when given): ExamineSource reads them; with another
// examiner they stay unknown (known = false).
bool MakeEntryFromPath(const std::string& path, VideoFileEntry& entry, SourceRefusal& refusal,
                       const SourceExaminer& examiner = {}, const EntryLinker& linker = {},
                       int timeFormat = 0, EntryTracks* tracks = nullptr);

}  // namespace kalvex

#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/Tracks.h"
#include "media/MediaInfo.h"

namespace kalvex {

// Limits of the fixed fields of a VideoFileEntry.
constexpr int kMaxPath = 260;             // every path field, NUL included
constexpr int kMaxSubtitleFiles = 20;     // linked subtitle files per entry
constexpr int kMaxSubtitleStreams = 10;   // stream names per subtitle file
constexpr int kInfoTextSize = 2052;

// One added video: a plain record of exactly 60,024 bytes, without pointers,
// copied by value and stored raw in filesv2.dat. Text fields are
// NUL-terminated 8-bit strings in fixed arrays; a new entry is all zero bytes.
struct VideoFileEntry {
    int64_t startTime;                 // trim start, 100-ns units; 0 = from the beginning
    int64_t endTime;                   // trim end, 100-ns units; = duration when added
    char fileName[kMaxPath];           // the part of the path behind the last '/'
    char fullPath[kMaxPath];           // the full path of the source
    MediaInfo mediaInfo;               // the source's properties
    int32_t subtitleCount;             // linked subtitle files, 0 to 20
    char subtitlePaths[kMaxSubtitleFiles][kMaxPath];
    int32_t streamCounts[kMaxSubtitleFiles];  // streams (languages) of each file, up to 10
    char streamNames[kMaxSubtitleFiles][kMaxSubtitleStreams][kMaxPath];
    int32_t selectedSubtitle;          // subtitle file chosen for burning in
    int32_t selectedStream[kMaxSubtitleFiles];  // chosen stream of each file
    int32_t useSubtitle;               // nonzero = burn the chosen subtitle in
    char infoText[kInfoTextSize];      // the movie information shown on the page
};

static_assert(sizeof(VideoFileEntry) == 60024, "VideoFileEntry is a 60,024-byte stored record");
static_assert(offsetof(VideoFileEntry, startTime) == 0);
static_assert(offsetof(VideoFileEntry, endTime) == 8);
static_assert(offsetof(VideoFileEntry, fileName) == 16);
static_assert(offsetof(VideoFileEntry, fullPath) == 276);
static_assert(offsetof(VideoFileEntry, mediaInfo) == 536);
static_assert(offsetof(VideoFileEntry, subtitleCount) == 600);
static_assert(offsetof(VideoFileEntry, subtitlePaths) == 604);
static_assert(offsetof(VideoFileEntry, streamCounts) == 5804);
static_assert(offsetof(VideoFileEntry, streamNames) == 5884);
static_assert(offsetof(VideoFileEntry, selectedSubtitle) == 57884);
static_assert(offsetof(VideoFileEntry, selectedStream) == 57888);
static_assert(offsetof(VideoFileEntry, useSubtitle) == 57968);
static_assert(offsetof(VideoFileEntry, infoText) == 57972);
static_assert(std::is_trivially_copyable_v<VideoFileEntry>);

// A new entry: all zero bytes.
inline VideoFileEntry ZeroEntry() {
    VideoFileEntry e;
    std::memset(&e, 0, sizeof e);
    return e;
}

// The text of a fixed field, never reading past its end (a record read from
// a damaged file may lack its terminating NUL).
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Copies text into a fixed field, zero-filling the rest. False (and the
// field untouched) when the text does not fit with its NUL: a path is never
// cut.
template <size_t N>
bool SetFieldText(char (&field)[N], const std::string& text) {
    if (text.size() >= N || text.find('\0') != std::string::npos) return false;
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
    return true;
}

// The movie information text of a file: its name, then the media
// information (with a DAR line only when both parts of the display aspect
// ratio are known) and the length in the display time format timeFormat
// (see TimeText). A file with several sound tracks or with subtitle tracks
// gets a line per track after it (see TrackLines); lines that do not fit the
// stored field are left out behind a "..." line.
std::string InfoText(const std::string& fileName, const MediaInfo& info, int timeFormat,
                     const avs::TrackList& tracks = {});

// Adds the lines to text, one per line, as long as the text stays within
// limit bytes; when one does not fit, "..." ends the text instead (when even
// that does not fit, nothing more is added).
std::string AppendLinesWithin(std::string text, const std::vector<std::string>& lines, size_t limit);

// Sets infoText from the entry's fileName and mediaInfo (and the file's tracks).
void MakeInfoText(VideoFileEntry& entry, int timeFormat, const avs::TrackList& tracks = {});

}  // namespace kalvex

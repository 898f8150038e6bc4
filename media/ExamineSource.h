#pragma once
#include <functional>
#include <string>

#include "engine/Tracks.h"
#include "media/MediaInfo.h"

namespace kalvex {

// Why a source was refused.
enum class RefusalKind {
    None,          // not refused
    Unusable,      // the source cannot be used (no finer reason is known)
    PathTooLong,   // the path does not fit the stored record
    UnsafeName,    // a script cannot name the file (a line break, three quotes in a row)
    ScriptFailed,  // the examination script failed to evaluate; detail is the engine's text
    NoVideo,
    NotYV12,       // the pictures do not come as YV12
    NoAudio,       // kept for its text; a source without sound is taken (a silent track is added)
};

// The information text's line for a source without a sound track.
inline constexpr const char* kNoSoundTrackText = "no sound track (a silent one is added)";

// A refused source: the kind, the source's path and the engine's own text
// where it has one. The front ends word it with RefusalText; a ScriptFailed
// refusal is where the codec-pack offer applies.
struct SourceRefusal {
    RefusalKind kind = RefusalKind::None;
    std::string path;
    std::string detail;
};

// The text a refusal is told and logged with ("Could not use ... as
// Input!" and its reason, or the engine's text for a failed script).
std::string RefusalText(const SourceRefusal& refusal);

// Examines a newly added source: writes the two-line information script
// "<temp>TempAVS_<file name>_<pid>.avs" (registered as a temporary file),
// opens it with a SourceReader and fills `info` (cleared first) and the
// information text ("Information For: ..."). A source is refused when it
// cannot be opened or has no video or no YV12 picture: false comes back with
// the refusal (logged; nothing is shown here). A source without sound is
// taken with no sound format in `info` (channels and rate 0); its text says
// that a silent track is added. The file's sound and subtitle tracks go to
// *tracks (when given; empty when they cannot be read) and, for a file with
// several sound tracks or any subtitle track, a line each to the text.
bool ExamineSource(const std::string& path, MediaInfo& info, std::string& infoText,
                   SourceRefusal* refusal = nullptr, avs::TrackList* tracks = nullptr);


}  // namespace kalvex

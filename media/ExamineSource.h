#pragma once
#include <functional>
#include <string>

#include "media/MediaInfo.h"

namespace kalvex {

// Why a source was refused: the text the user is told and the caption of
// its box ("Error" for a source that opens but cannot be used, "Error!" for
// a script that fails to evaluate, when the codec-pack offer applies).
struct SourceRefusal {
    std::string text;
    std::string caption = "Error";
    bool openFailure = false;  // the examination script failed to evaluate
};

// Examines a newly added source: writes the two-line information script
// "<temp>TempAVS_<file name>_<pid>.avs" (registered as a temporary file),
// opens it with a SourceReader and fills `info` (cleared first) and the
// information text ("Information For: ..."). A source is refused when it
// cannot be opened or has no video, no audio or no YV12 picture: false comes
// back with the refusal (logged; nothing is shown here).
bool ExamineSource(const std::string& path, MediaInfo& info, std::string& infoText,
                   SourceRefusal* refusal = nullptr);

// "Could not use %s as Input!" style refusal texts, for callers and tests.
std::string NoVideoText(const std::string& path);
std::string NoAudioText(const std::string& path);
std::string NotYV12Text(const std::string& path);

}  // namespace kalvex

#pragma once
#include <functional>
#include <string>

#include "media/MediaInfo.h"

namespace kalvex {

// Examines a newly added source: writes the two-line information script
// "<temp>TempAVS_<file name>_<pid>.avs" (registered as a temporary file),
// opens it with a SourceReader and fills `info` (cleared first) and the
// information text ("Information For: ..."). A source is refused when it
// cannot be opened or has no video, no audio or no YV12 picture; the refusal
// is shown in a message box (through the message-box seam) and false comes
// back. With `refusal` given, the refusal text is stored there instead and
// no box is shown (headless use).
bool ExamineSource(const std::string& path, MediaInfo& info, std::string& infoText,
                   std::string* refusal = nullptr);

// "Could not use %s as Input!" style refusal texts, for callers and tests.
std::string NoVideoText(const std::string& path);
std::string NoAudioText(const std::string& path);
std::string NotYV12Text(const std::string& path);

// Loads plugins/DirectShowSource beside the program once per process and
// asks its aspect-ratio entry; 0:0 when the module or entry is missing.
void SourceDAR(int* x, int* y);

// Formats the entry's information text from a file name and its MediaInfo.
using EntryInfoFormatter = std::function<std::string(const std::string& fileName, const MediaInfo&)>;

// `Kalvex --examine FILE`: examines the file without any window. Prints the
// information text and then the entry's information text (made by
// `formatter`; without one, the page's layout with the length as hh:mm:ss)
// on stdout and returns 0; on refusal prints the refusal text on stderr and
// returns 1.
int RunExamineCommand(const std::string& path, const EntryInfoFormatter& formatter = {});

}  // namespace kalvex

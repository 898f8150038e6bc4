#include "media/VideoFileEntry.h"

#include <algorithm>
#include <cstdio>

#include "media/ExamineSource.h"
#include "media/TimeText.h"

namespace kalvex {

std::string InfoText(const std::string& name, const MediaInfo& m, int timeFormat) {
    const std::string video = FieldText(m.videoFormat);
    const std::string length = TimeText(m.duration, timeFormat);
    // A source without sound (no channels) is converted with a silent track.
    char audio[kInfoTextSize];
    if (m.channels > 0)
        std::snprintf(audio, sizeof audio, "Audio Format = %s\n    Channels = %d\n  SampleRate = %d\n",
                      FieldText(m.audioFormat).c_str(), m.channels, m.sampleRate);
    else
        std::snprintf(audio, sizeof audio, "Audio Format = %s\n", kNoSoundTrackText);
    char text[kInfoTextSize];
    if (m.darX != 0 && m.darY != 0) {
        std::snprintf(text, sizeof text,
                      "%s\n\nVideo Format = %s\n        size = %dx%d\n         DAR = %dx%d\n"
                      "         fps = %.3f\n%sMovie Length = %s\n",
                      name.c_str(), video.c_str(), m.width, m.height, m.darX, m.darY, m.fps, audio, length.c_str());
    } else {
        std::snprintf(text, sizeof text,
                      "%s\n\nVideo Format = %s\n        size = %dx%d\n         fps = %.3f\n%sMovie Length = %s\n",
                      name.c_str(), video.c_str(), m.width, m.height, m.fps, audio, length.c_str());
    }
    return std::string(text, strnlen(text, sizeof text - 1));
}

void MakeInfoText(VideoFileEntry& e, int timeFormat) {
    const std::string text = InfoText(FieldText(e.fileName), e.mediaInfo, timeFormat);
    std::memset(e.infoText, 0, sizeof e.infoText);
    std::memcpy(e.infoText, text.data(), std::min(text.size(), sizeof e.infoText - 1));
}

}  // namespace kalvex

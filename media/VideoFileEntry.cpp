#include "media/VideoFileEntry.h"

#include <algorithm>
#include <cstdio>

#include "media/ExamineSource.h"
#include "media/TimeText.h"
#include "media/TrackChoice.h"

namespace kalvex {

std::string AppendLinesWithin(std::string text, const std::vector<std::string>& lines, size_t limit) {
    static const std::string kMore = "...\n";
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t grown = text.size() + lines[i].size() + 1;
        // The last line needs no room for the "..." after it.
        const bool last = i + 1 == lines.size();
        if (grown <= limit && (last || grown + kMore.size() <= limit)) {
            text += lines[i] + "\n";
        } else {
            if (text.size() + kMore.size() <= limit) text += kMore;
            break;
        }
    }
    return text;
}

std::string InfoText(const std::string& name, const MediaInfo& m, int timeFormat, const avs::TrackList& tracks) {
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
    return AppendLinesWithin(std::string(text, strnlen(text, sizeof text - 1)), TrackLines(tracks),
                             kInfoTextSize - 1);
}

void MakeInfoText(VideoFileEntry& e, int timeFormat, const avs::TrackList& tracks) {
    const std::string text = InfoText(FieldText(e.fileName), e.mediaInfo, timeFormat, tracks);
    std::memset(e.infoText, 0, sizeof e.infoText);
    std::memcpy(e.infoText, text.data(), std::min(text.size(), sizeof e.infoText - 1));
}

}  // namespace kalvex

#include "media/TrackChoice.h"

#include <algorithm>

#include "media/VideoFileEntry.h"

namespace kalvex {

namespace {

int FileCount(const VideoFileEntry& e) { return std::clamp(int(e.subtitleCount), 0, kMaxSubtitleFiles); }

// A track's description: the parts a file gives joined by ", ", the empty
// ones left out, then its marks ("(default)") after a space.
class Description {
public:
    void Part(const std::string& p) {
        if (p.empty()) return;
        if (!text_.empty()) text_ += ", ";
        text_ += p;
    }
    void Mark(const char* m) { text_ += text_.empty() ? std::string(m) : " " + std::string(m); }
    std::string Text() const { return text_; }

private:
    std::string text_;
};

// "eng, aac, 2 ch, "Main" (default)"
std::string Describe(const avs::SoundTrack& t) {
    Description d;
    d.Part(t.language);
    d.Part(t.codec);
    if (t.channels > 0) d.Part(std::to_string(t.channels) + " ch");
    if (!t.title.empty()) d.Part("\"" + t.title + "\"");
    if (t.isDefault) d.Mark("(default)");
    return d.Text();
}

std::string Describe(const avs::SubtitleTrack& t) {
    Description d;
    d.Part(t.language);
    d.Part(t.codec);
    if (!t.title.empty()) d.Part("\"" + t.title + "\"");
    if (t.forced) d.Mark("(forced)");
    if (t.isDefault) d.Mark("(default)");
    return d.Text();
}

// A subtitle track that may carry forced pictures of its own.
bool MayBeForced(const avs::SubtitleTrack& t) { return t.picture || t.forced; }

}  // namespace

TrackChoice Sanitized(TrackChoice c) {
    if (c.soundTrack < 0) c.soundTrack = 0;
    if (c.subtitleTrack < 0) c.subtitleTrack = 0;
    if (c.subtitleTrack == 0) c.forcedOnly = false;
    return c;
}

bool HasSubtitle(const VideoFileEntry& e, const TrackChoice& choice) {
    return e.subtitleCount >= 1 || Sanitized(choice).subtitleTrack > 0;
}

std::vector<std::string> TrackLines(const avs::TrackList& tracks) {
    std::vector<std::string> lines;
    if (tracks.sound.size() <= 1 && tracks.subtitles.empty()) return lines;
    for (const avs::SoundTrack& t : tracks.sound) {
        const std::string d = Describe(t);
        lines.push_back("Sound track " + std::to_string(t.number) + (d.empty() ? "" : ": " + d));
    }
    for (const avs::SubtitleTrack& t : tracks.subtitles) {
        const std::string d = Describe(t);
        lines.push_back("Subtitle track " + std::to_string(t.number) + (d.empty() ? "" : ": " + d));
    }
    return lines;
}

std::string SubtitleTrackName(const avs::SubtitleTrack& t) {
    std::string inner = t.language;
    if (!t.title.empty()) inner += (inner.empty() ? "" : ", ") + t.title;
    std::string name = "Track " + std::to_string(t.number);
    if (!inner.empty()) name += " (" + inner + ")";
    return name;
}

std::vector<std::string> TrackMenu::SoundItems(const avs::TrackList& tracks) {
    std::vector<std::string> items;
    for (const avs::SoundTrack& t : tracks.sound) {
        const std::string d = Describe(t);
        items.push_back(std::to_string(t.number) + (d.empty() ? "" : ": " + d));
    }
    return items;
}

int TrackMenu::SoundIndex(const avs::TrackList& tracks, const TrackChoice& choice) {
    const TrackChoice c = Sanitized(choice);
    const int n = c.soundTrack > 0 ? c.soundTrack : avs::DefaultSoundTrack(tracks);
    return n >= 1 && n <= int(tracks.sound.size()) ? n - 1 : -1;
}

bool TrackMenu::PickSound(const avs::TrackList& tracks, int index, TrackChoice& choice) {
    if (index < 0 || index >= int(tracks.sound.size())) return false;
    choice.soundTrack = tracks.sound[size_t(index)].number;
    return true;
}

std::vector<TrackMenu::SubtitleItem> TrackMenu::SubtitleItems(const VideoFileEntry& e,
                                                              const avs::TrackList& tracks) {
    std::vector<SubtitleItem> items;
    for (int i = 0; i < FileCount(e); ++i) items.push_back({FieldText(e.subtitlePaths[i]), i, 0, false});
    // A track no decoder can draw is not offered: choosing it could only fail.
    for (const avs::SubtitleTrack& t : tracks.subtitles)
        if (t.decodable) items.push_back({SubtitleTrackName(t), -1, t.number, false});
    for (const avs::SubtitleTrack& t : tracks.subtitles)
        if (t.decodable && MayBeForced(t))
            items.push_back({"Track " + std::to_string(t.number) + " forced only", -1, t.number, true});
    return items;
}

int TrackMenu::SubtitleIndex(const std::vector<SubtitleItem>& items, const VideoFileEntry& e,
                             const TrackChoice& choice) {
    const TrackChoice c = Sanitized(choice);
    for (size_t i = 0; i < items.size(); ++i) {
        const SubtitleItem& item = items[i];
        if (c.subtitleTrack > 0 ? item.track == c.subtitleTrack && item.forcedOnly == c.forcedOnly
                                : item.file >= 0 && item.file == e.selectedSubtitle)
            return int(i);
    }
    return -1;
}

bool TrackMenu::PickSubtitle(const std::vector<SubtitleItem>& items, int index, VideoFileEntry& e,
                             TrackChoice& choice) {
    if (index < 0 || index >= int(items.size())) return false;
    const SubtitleItem& item = items[size_t(index)];
    if (item.file >= 0) {
        e.selectedSubtitle = item.file;
        choice.subtitleTrack = 0;
        choice.forcedOnly = false;
    } else {
        choice.subtitleTrack = item.track;
        choice.forcedOnly = item.forcedOnly;
    }
    return true;
}

std::vector<std::string> TrackMenu::StreamItems(const SubtitleItem& item, const VideoFileEntry& e,
                                                const avs::TrackList&) {
    std::vector<std::string> streams;
    if (item.file < 0) {
        if (item.track > 0) streams.push_back(item.text);
        return streams;
    }
    if (item.file >= kMaxSubtitleFiles) return streams;
    const int count = std::clamp(int(e.streamCounts[item.file]), 0, kMaxSubtitleStreams);
    for (int j = 0; j < count; ++j) streams.push_back(FieldText(e.streamNames[item.file][j]));
    return streams;
}

bool TrackMenu::SubtitleChoiceEnabled(const VideoFileEntry& e, const avs::TrackList& tracks) {
    if (FileCount(e) > 0) return true;
    return std::any_of(tracks.subtitles.begin(), tracks.subtitles.end(),
                       [](const avs::SubtitleTrack& t) { return t.decodable; });
}

}  // namespace kalvex

#pragma once
// The sound and subtitle tracks chosen for one entry of the file list. The
// choice travels beside the entry (in the list, the conversion job, the
// encoder and the preview) and never inside it: the entry is the stored
// record of filesv2.dat, whose layout stays as it is. The list keeps the
// choices in a companion file (see TrackStore.h).
#include <string>
#include <vector>

#include "engine/Tracks.h"

namespace kalvex {

struct VideoFileEntry;

struct TrackChoice {
    int soundTrack = 0;      // sound track number; 0 = the file's default track
    int subtitleTrack = 0;   // embedded subtitle track burned in; 0 = none (the linked file holds)
    bool forcedOnly = false;  // only the forced pictures of that subtitle track

    bool operator==(const TrackChoice&) const = default;
};

// A choice as it may be used: negative numbers (a damaged record) mean the
// default, and "forced only" belongs to a chosen subtitle track.
TrackChoice Sanitized(TrackChoice choice);

// What the list keeps per entry: the choice, and the file's tracks as the
// examination found them (for the page's choices and the information text).
struct EntryTracks {
    TrackChoice choice;
    avs::TrackList tracks;
    bool known = false;  // the track list was read (false: an entry from before the tracks were kept)
};

// Whether the entry has a subtitle to burn in when its check box is set: a
// linked file, or an embedded track chosen.
bool HasSubtitle(const VideoFileEntry& entry, const TrackChoice& choice);

// The information text's lines for the tracks: one per sound track and one
// per subtitle track, e.g. "Sound track 1: eng, aac, 2 ch, \"Main\" (default)".
// None for a file with at most one sound track and no subtitle track, whose
// text stays as it always was.
std::vector<std::string> TrackLines(const avs::TrackList& tracks);

// The choices of the Video Files page for one entry, as texts and what each
// one means. The page only shows these lists and hands back the index the
// user picked.
class TrackMenu {
public:
    // "Sound track" combo box: one item per sound track, "1: eng, aac, 2 ch (default)".
    static std::vector<std::string> SoundItems(const avs::TrackList& tracks);
    // The item shown for a choice: the chosen track, else the file's default.
    // -1 when there is no sound track.
    static int SoundIndex(const avs::TrackList& tracks, const TrackChoice& choice);
    // The choice after the user picked item index; false for an index out of range.
    static bool PickSound(const avs::TrackList& tracks, int index, TrackChoice& choice);
    // The choice is offered only for a file with more than one sound track.
    static bool SoundChoiceEnabled(const avs::TrackList& tracks) { return tracks.sound.size() > 1; }

    // One item of the subtitle combo box (1030).
    struct SubtitleItem {
        std::string text;
        int file = -1;          // index of a linked subtitle file, or -1
        int track = 0;          // embedded subtitle track number, or 0
        bool forcedOnly = false;
    };
    // The linked files first, then "Track N (language, title)" per embedded
    // track, then "Track N forced only" for each track that may hold forced
    // pictures (a picture track, or a track marked forced).
    static std::vector<SubtitleItem> SubtitleItems(const VideoFileEntry& entry, const avs::TrackList& tracks);
    // The item shown for the entry and its choice; -1 when none fits.
    static int SubtitleIndex(const std::vector<SubtitleItem>& items, const VideoFileEntry& entry,
                             const TrackChoice& choice);
    // Applies the picked item: a linked file sets selectedSubtitle and clears
    // the embedded choice; a track sets the embedded choice. False (nothing
    // changed) for an index out of range.
    static bool PickSubtitle(const std::vector<SubtitleItem>& items, int index, VideoFileEntry& entry,
                             TrackChoice& choice);
    // The stream combo box (1032) for an item: the linked file's streams, or
    // the track's one name.
    static std::vector<std::string> StreamItems(const SubtitleItem& item, const VideoFileEntry& entry,
                                                const avs::TrackList& tracks);
    // The subtitle controls are enabled when there is a linked file or an
    // embedded track.
    static bool SubtitleChoiceEnabled(const VideoFileEntry& entry, const avs::TrackList& tracks);
};

// "Track 2 (eng, Signs)", "Track 3 (eng)", "Track 4": empty parts left out.
std::string SubtitleTrackName(const avs::SubtitleTrack& track);

}  // namespace kalvex

#pragma once
// The sound and subtitle tracks a file carries, and the rules that pick one.
// Tracks are numbered from 1 per kind, in the order of the file's streams:
// sound track 2 is the second sound stream of the file, subtitle track 1 its
// first subtitle stream. The examination lists them, the page and the
// command line choose by these numbers, the script names them, and the
// source and the subtitle filter find their stream by them, all through the
// functions here, so every layer means the same track by the same number.
#include <string>
#include <vector>

struct AVFormatContext;

namespace kalvex::avs {

struct SoundTrack {
    int number = 0;       // 1, 2, ... in stream order among the sound streams
    int streamIndex = -1;  // the stream's index in the file
    std::string language;  // ISO 639 code as the file gives it ("" unknown)
    std::string codec;     // the decoder's short name ("aac", "ac3", ...)
    std::string title;     // the track's title tag ("" none)
    int channels = 0;
    int sampleRate = 0;
    bool isDefault = false;  // the file marks it as the default track
    bool decodable = false;  // a decoder for it exists and its format is known
};

struct SubtitleTrack {
    int number = 0;
    int streamIndex = -1;
    std::string language;
    std::string codec;
    std::string title;
    bool picture = false;   // bitmap subtitles (DVD, DVB, PGS); else text
    bool forced = false;    // the track is marked forced
    bool isDefault = false;
    bool decodable = false;  // text or picture format we can draw
};

struct TrackList {
    std::vector<SoundTrack> sound;
    std::vector<SubtitleTrack> subtitles;
};

// Reads the track list of an opened file (its header, no packets).
TrackList TracksOf(const AVFormatContext* fmt);
// Opens the file, reads its track list and closes it. False (and *error the
// library's words) when the file cannot be opened.
bool ReadTracks(const std::string& path, TrackList* out, std::string* error);

// The sound track played when none is chosen: the first decodable track the
// file marks as default, else the first decodable one; 0 when there is none.
int DefaultSoundTrack(const TrackList& tracks);

// A choice as a user writes it: a track number ("2") or an ISO 639 language
// code ("jpn", "ja", "ger"/"deu"/"de" alike, any case). Gives the track
// number, or 0 and *error saying what is wrong ("there is no sound track 4",
// "no sound track is in the language xx"). For subtitles "forced" picks
// the first track marked forced, else the first picture track, and sets
// *forcedOnly; a number or language never sets it.
int PickSoundTrack(const TrackList& tracks, const std::string& choice, std::string* error);
int PickSubtitleTrack(const TrackList& tracks, const std::string& choice, bool* forcedOnly, std::string* error);

// Whether two ISO 639 codes name the same language (two-letter 639-1 and
// the three-letter bibliographic and terminology codes, any case).
bool SameLanguage(const std::string& a, const std::string& b);

}  // namespace kalvex::avs

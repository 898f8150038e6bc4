#include "engine/Tracks.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "engine/AvHandles.h"
#include "engine/Clip.h"
#include "engine/SourceCounts.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace kalvex::avs {
namespace {

std::string Tag(const AVStream* st, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(st->metadata, key, nullptr, 0);
    return e && e->value ? std::string(e->value) : std::string();
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool PictureSubtitle(AVCodecID id) {
    const AVCodecDescriptor* d = avcodec_descriptor_get(id);
    return d && (d->props & AV_CODEC_PROP_BITMAP_SUB);
}

// Languages whose ISO 639-2 bibliographic and terminology codes differ,
// with their 639-1 code: {639-1, B, T}. Every other language has one
// three-letter code.
struct LanguageCodes {
    const char* two;
    const char* bib;
    const char* term;
};
constexpr LanguageCodes kBoth[] = {
    {"sq", "alb", "sqi"}, {"hy", "arm", "hye"}, {"eu", "baq", "eus"}, {"bo", "tib", "bod"}, {"my", "bur", "mya"},
    {"cs", "cze", "ces"}, {"zh", "chi", "zho"}, {"cy", "wel", "cym"}, {"de", "ger", "deu"}, {"nl", "dut", "nld"},
    {"el", "gre", "ell"}, {"fa", "per", "fas"}, {"fr", "fre", "fra"}, {"ka", "geo", "kat"}, {"is", "ice", "isl"},
    {"mk", "mac", "mkd"}, {"mi", "mao", "mri"}, {"ms", "may", "msa"}, {"ro", "rum", "ron"}, {"sk", "slo", "slk"},
};
// 639-1 codes of languages with a single three-letter code.
constexpr const char* kOne[][2] = {
    {"en", "eng"}, {"ja", "jpn"}, {"es", "spa"}, {"it", "ita"}, {"pt", "por"}, {"ru", "rus"}, {"ko", "kor"},
    {"ar", "ara"}, {"hi", "hin"}, {"pl", "pol"}, {"sv", "swe"}, {"da", "dan"}, {"fi", "fin"}, {"no", "nor"},
    {"nb", "nob"}, {"nn", "nno"}, {"hu", "hun"}, {"tr", "tur"}, {"he", "heb"}, {"th", "tha"}, {"vi", "vie"},
    {"uk", "ukr"}, {"bg", "bul"}, {"hr", "hrv"}, {"sr", "srp"}, {"sl", "slv"}, {"et", "est"}, {"lv", "lav"},
    {"lt", "lit"}, {"id", "ind"}, {"ca", "cat"}, {"gl", "glg"}, {"ta", "tam"}, {"te", "tel"}, {"bn", "ben"},
    {"ur", "urd"}, {"la", "lat"}, {"ga", "gle"}, {"af", "afr"}, {"sw", "swa"}, {"tl", "tgl"}, {"kk", "kaz"},
};

// The language's terminology code (or the code itself when unknown), in
// lower case, so that equal languages give equal keys.
std::string LanguageKey(const std::string& code) {
    const std::string c = Lower(code);
    for (const LanguageCodes& l : kBoth)
        if (c == l.two || c == l.bib || c == l.term) return l.term;
    for (const auto& l : kOne)
        if (c == l[0] || c == l[1]) return l[1];
    return c;
}

// A whole positive number written in digits only; 0 otherwise.
int TrackNumber(const std::string& text) {
    if (text.empty() || text.size() > 6) return 0;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    return std::atoi(text.c_str());
}

}  // namespace

bool SameLanguage(const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && LanguageKey(a) == LanguageKey(b);
}

TrackList TracksOf(const AVFormatContext* fmt) {
    TrackList out;
    if (!fmt) return out;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        const AVCodecParameters* par = st->codecpar;
        const bool decoder = avcodec_find_decoder(par->codec_id) != nullptr;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            SoundTrack t;
            t.number = int(out.sound.size()) + 1;
            t.streamIndex = int(i);
            t.language = Tag(st, "language");
            t.codec = avcodec_get_name(par->codec_id);
            t.title = Tag(st, "title");
            t.channels = par->ch_layout.nb_channels;
            t.sampleRate = par->sample_rate;
            t.isDefault = (st->disposition & AV_DISPOSITION_DEFAULT) != 0;
            t.decodable = decoder && par->sample_rate > 0 && par->ch_layout.nb_channels > 0;
            out.sound.push_back(std::move(t));
        } else if (par->codec_type == AVMEDIA_TYPE_SUBTITLE) {
            SubtitleTrack t;
            t.number = int(out.subtitles.size()) + 1;
            t.streamIndex = int(i);
            t.language = Tag(st, "language");
            t.codec = avcodec_get_name(par->codec_id);
            t.title = Tag(st, "title");
            t.picture = PictureSubtitle(par->codec_id);
            t.forced = (st->disposition & AV_DISPOSITION_FORCED) != 0;
            t.isDefault = (st->disposition & AV_DISPOSITION_DEFAULT) != 0;
            t.decodable = decoder;
            out.subtitles.push_back(std::move(t));
        }
    }
    return out;
}

bool ReadTracks(const std::string& path, TrackList* out, std::string* error) {
    AVFormatContext* raw = nullptr;
    const std::string url = "file:" + path;
    int r = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (r < 0) {
        if (error) *error = "opening the file failed: " + AvError(r);
        return false;
    }
    InputPtr fmt(raw);
    CountStreamSearch();
    r = avformat_find_stream_info(fmt.get(), nullptr);
    if (r < 0) {
        if (error) *error = "reading the file's streams failed: " + AvError(r);
        return false;
    }
    if (out) *out = TracksOf(fmt.get());
    return true;
}

int DefaultSoundTrack(const TrackList& tracks) {
    for (const SoundTrack& t : tracks.sound)
        if (t.decodable && t.isDefault) return t.number;
    for (const SoundTrack& t : tracks.sound)
        if (t.decodable) return t.number;
    return 0;
}

namespace {

// A track of one kind by number or language code. `kind` names the kind in
// the error texts ("sound"), `unusable` says why a track that is there
// cannot serve ("cannot be decoded"), `neither` is the text for a choice
// that is no number and no code.
template <class Track>
int PickTrack(const std::vector<Track>& tracks, const std::string& choice, const std::string& kind,
              const std::string& unusable, const std::string& neither, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return 0;
    };
    if (const int n = TrackNumber(choice)) {
        if (n > int(tracks.size())) return fail("there is no " + kind + " track " + choice);
        const Track& t = tracks[size_t(n - 1)];
        if (!t.decodable) return fail(kind + " track " + choice + " (" + t.codec + ") " + unusable);
        return n;
    }
    if (choice.empty() || std::isdigit(static_cast<unsigned char>(choice[0])))
        return fail("\"" + choice + "\" is neither " + neither);
    for (const Track& t : tracks)
        if (t.decodable && SameLanguage(t.language, choice)) return t.number;
    return fail("no " + kind + " track is in the language " + choice);
}

}  // namespace

int PickSoundTrack(const TrackList& tracks, const std::string& choice, std::string* error) {
    return PickTrack(tracks.sound, choice, "sound", "cannot be decoded", "a track number nor a language code", error);
}

int PickSubtitleTrack(const TrackList& tracks, const std::string& choice, bool* forcedOnly, std::string* error) {
    if (forcedOnly) *forcedOnly = false;
    if (Lower(choice) == "forced") {
        // A track marked forced first, else the first picture track, whose
        // forced pictures carry their own flag.
        for (bool marked : {true, false})
            for (const SubtitleTrack& t : tracks.subtitles)
                if (t.decodable && (marked ? t.forced : t.picture)) {
                    if (forcedOnly) *forcedOnly = true;
                    return t.number;
                }
        if (error) *error = "no subtitle track has forced subtitles";
        return 0;
    }
    return PickTrack(tracks.subtitles, choice, "subtitle", "cannot be drawn",
                     "a track number, a language code nor \"forced\"", error);
}

}  // namespace kalvex::avs

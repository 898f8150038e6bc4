// EmbeddedSub("path", track) and EmbeddedSub("path", track, 1): a subtitle
// track inside a video file drawn into the picture. The track is numbered
// as in engine/Tracks.h. Its packets are read once when the clip is made
// (a subtitle track is small; the file's other streams are skipped) and
// decoded with FFmpeg's subtitle decoders:
// - text tracks (SubRip, SSA/ASS, mov_text, WebVTT) give ASS lines, drawn
//   by libass with the decoder's ASS header and the fonts attached to the
//   file, exactly as TextSub draws a linked file;
// - picture tracks (DVD, DVB, Blu-ray PGS) give pictures on the subtitle's
//   own canvas, scaled to the clip like VobSub pictures. A picture stays up
//   to its end time, and never past the next picture of the track (PGS
//   pictures have no end of their own: the next display set, an empty one
//   too, ends them).
// With the third argument 1 only forced subtitles are drawn: the pictures
// marked forced, or every subtitle when the track itself is marked forced.
// Every frame can then be drawn in any order (conversion and preview alike)
// without reading the file again.
#include "EmbeddedSub.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <vector>

#include "engine/AvHandles.h"
#include "engine/Tracks.h"

#include "SubtitleDrawing.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace kalvex::avs {
namespace {

constexpr int64_t kUnknown = INT64_MAX;
// A text line without an end of its own and without a line after it.
constexpr int64_t kLastLineMs = 5000;

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

std::string Tag(const AVStream* st, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(st->metadata, key, nullptr, 0);
    return e && e->value ? std::string(e->value) : std::string();
}

// An attachment that holds a font, by its MIME type or its name.
bool IsFont(const AVStream* st) {
    const std::string mime = Lower(Tag(st, "mimetype"));
    const std::string name = Lower(Tag(st, "filename"));
    return mime.rfind("font/", 0) == 0 || mime.find("truetype") != std::string::npos ||
           mime.find("opentype") != std::string::npos || mime.find("font-sfnt") != std::string::npos ||
           mime.find("x-font") != std::string::npos || EndsWith(name, ".ttf") || EndsWith(name, ".otf") ||
           EndsWith(name, ".ttc");
}

// The Effect field of a chunk "ReadOrder,Layer,Style,Name,MarginL,MarginR,
// MarginV,Effect,Text".
std::string EffectOf(const std::string& chunk) {
    size_t p = 0;
    for (int i = 0; i < 7; ++i) {
        p = chunk.find(',', p);
        if (p == std::string::npos) return {};
        ++p;
    }
    const size_t e = chunk.find(',', p);
    return e == std::string::npos ? std::string() : chunk.substr(p, e - p);
}

class EmbeddedSubClip : public VideoFilter {
public:
    EmbeddedSubClip(ClipPtr child, const std::string& path, int track, bool forcedOnly)
        : VideoFilter(std::move(child)), path_(path) {
        AVFormatContext* raw = nullptr;
        const std::string url = "file:" + path;
        int r = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
        if (r < 0) throw ScriptError("EmbeddedSub: could not open \"" + path + "\": " + AvError(r));
        InputPtr fmt(raw);
        // The same look at the streams as the examination's, so that the
        // track numbers mean the same tracks.
        r = avformat_find_stream_info(fmt.get(), nullptr);
        if (r < 0) throw ScriptError("EmbeddedSub: could not read the streams of \"" + path + "\": " + AvError(r));
        const TrackList tracks = TracksOf(fmt.get());
        std::string why;
        const int n = track > 0 ? PickSubtitleTrack(tracks, std::to_string(track), nullptr, &why) : 0;
        if (n <= 0) {
            if (track <= 0) why = "there is no subtitle track " + std::to_string(track);
            throw ScriptError("EmbeddedSub: \"" + path + "\": " + why + " (it has " +
                              std::to_string(tracks.subtitles.size()) + ")");
        }
        const SubtitleTrack& chosen = tracks.subtitles[size_t(n - 1)];
        const int index = chosen.streamIndex;
        AVStream* st = fmt->streams[index];
        // A track marked forced is forced as a whole.
        const bool onlyForced = forcedOnly && !chosen.forced;
        text_ = !chosen.picture;

        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        CodecContextPtr dec(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (!dec) throw Failure(n, "there is no decoder for it");
        r = avcodec_parameters_to_context(dec.get(), st->codecpar);
        if (r < 0) throw Failure(n, "taking the stream's parameters failed: " + AvError(r));
        dec->pkt_timebase = st->time_base;
        r = avcodec_open2(dec.get(), codec, nullptr);
        if (r < 0) throw Failure(n, std::string("opening the ") + codec->name + " decoder failed: " + AvError(r));

        // The video's own size: the canvas of picture subtitles that do not
        // state one.
        const int video = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (video >= 0) {
            videoWidth_ = fmt->streams[video]->codecpar->width;
            videoHeight_ = fmt->streams[video]->codecpar->height;
        }
        std::vector<SubtitleFont> fonts;
        if (text_ && !onlyForced) {
            for (unsigned i = 0; i < fmt->nb_streams; ++i) {
                const AVStream* a = fmt->streams[i];
                if (a->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT || !IsFont(a) || !a->codecpar->extradata ||
                    a->codecpar->extradata_size <= 0)
                    continue;
                fonts.push_back({Tag(a, "filename"), std::string(reinterpret_cast<const char*>(a->codecpar->extradata),
                                                                 size_t(a->codecpar->extradata_size))});
            }
        }

        // Times on the clip's time line, which starts where the file starts.
        const int64_t fileStart = fmt->start_time != AV_NOPTS_VALUE ? av_rescale(fmt->start_time, 1000, AV_TIME_BASE) : 0;
        for (unsigned i = 0; i < fmt->nb_streams; ++i)
            fmt->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        PacketPtr pkt(av_packet_alloc());
        if (!pkt) throw Failure(n, AvError(AVERROR(ENOMEM)));
        std::vector<Line> lines;
        int failed = 0;
        while ((r = av_read_frame(fmt.get(), pkt.get())) >= 0) {
            if (pkt->stream_index == index) Decode(dec.get(), st, pkt.get(), fileStart, onlyForced, &lines, &failed);
            av_packet_unref(pkt.get());
        }
        if (r != AVERROR_EOF) EngineMessage("EmbeddedSub: \"" + path + "\": reading stopped early: " + AvError(r));
        if (failed)
            EngineMessage("EmbeddedSub: \"" + path + "\": " + std::to_string(failed) + " subtitle(s) of track " +
                          std::to_string(n) + " could not be decoded");

        if (text_) {
            if (onlyForced) return;  // text lines carry no forced mark: nothing to draw
            ass_ = std::make_unique<AssOverlay>("EmbeddedSub", info_.width, info_.height, fonts);
            // SSA/ASS tracks carry their script's header with its styles;
            // for the others the decoder only makes up a default one.
            // Sizes, scales, borders and shadows are held to a few picture
            // heights, as for a linked file: a damaged style or tag would
            // have libass draw glyphs of gigabytes.
            const AVCodecID id = st->codecpar->codec_id;
            double maxSize = 0;
            if ((id == AV_CODEC_ID_ASS || id == AV_CODEC_ID_SSA) && dec->subtitle_header && dec->subtitle_header_size > 0)
                ass_->SetHeader(BoundedTrackHeader(std::string(reinterpret_cast<const char*>(dec->subtitle_header),
                                                               size_t(dec->subtitle_header_size)),
                                                   &maxSize));
            else
                ass_->SetHeader(BoundedTrackHeader(PlainTextHeader(), &maxSize));
            std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.start < b.start; });
            for (size_t i = 0; i < lines.size(); ++i) {
                Line& l = lines[i];
                if (l.end == kUnknown) {
                    // Up to the next line that starts later.
                    size_t j = i + 1;
                    while (j < lines.size() && lines[j].start <= l.start) ++j;
                    l.end = j < lines.size() ? lines[j].start : l.start + kLastLineMs;
                }
                ass_->AddLine(BoundedTrackLine(l.chunk, maxSize), l.start, l.end, Animated(l.chunk, EffectOf(l.chunk)));
            }
            ass_->Finish();
        } else {
            std::stable_sort(pictures_.begin(), pictures_.end(),
                             [](const Picture& a, const Picture& b) { return a.start < b.start; });
        }
    }

    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        const int64_t t = FrameMs(info_, n);
        if (ass_) return DrawOverlay(in, ass_->At(t));
        // The picture that came last by t, up to its own end: a picture
        // goes when the next one comes (an empty one too).
        auto it = std::upper_bound(pictures_.begin(), pictures_.end(), t,
                                   [](int64_t v, const Picture& p) { return v < p.start; });
        if (it == pictures_.begin()) return in;
        --it;
        if (t >= it->end) return in;
        return DrawOverlay(in, it->overlay);
    }

private:
    struct Line {
        int64_t start, end;  // ms; end kUnknown until resolved
        std::string chunk;
    };
    struct Picture {
        int64_t start, end;  // ms; end kUnknown: up to the next picture
        std::vector<OverlayImage> overlay;  // empty: a picture that clears the screen
    };

    ScriptError Failure(int track, const std::string& why) const {
        return ScriptError("EmbeddedSub: \"" + path_ + "\": subtitle track " + std::to_string(track) + ": " + why);
    }

    // Decodes one packet into lines (text) or pictures_ (bitmaps).
    void Decode(AVCodecContext* dec, const AVStream* st, AVPacket* pkt, int64_t fileStart, bool onlyForced,
                std::vector<Line>* lines, int* failed) {
        AVSubtitle sub{};
        int got = 0;
        const int r = avcodec_decode_subtitle2(dec, &sub, &got, pkt);
        if (r < 0) {
            ++*failed;
            return;
        }
        if (!got) return;
        const int64_t ts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        if (ts == AV_NOPTS_VALUE) {  // cannot be placed in time
            avsubtitle_free(&sub);
            return;
        }
        const int64_t base = av_rescale_q(ts, st->time_base, AVRational{1, 1000}) - fileStart;
        const int64_t start = base + sub.start_display_time;
        int64_t end = kUnknown;
        if (sub.end_display_time > sub.start_display_time && sub.end_display_time != UINT32_MAX)
            end = base + sub.end_display_time;
        else if (pkt->duration > 0)
            end = base + av_rescale_q(pkt->duration, st->time_base, AVRational{1, 1000});
        if (text_) {
            for (unsigned i = 0; i < sub.num_rects; ++i) {
                const AVSubtitleRect* rect = sub.rects[i];
                if (rect->type == SUBTITLE_ASS && rect->ass && *rect->ass) lines->push_back({start, end, rect->ass});
            }
        } else {
            // The canvas the decoder knows by now (a PGS presentation, a DVD
            // track's header), else the video's size.
            int cw = dec->width, chgt = dec->height;
            if (cw <= 0 || chgt <= 0) cw = videoWidth_, chgt = videoHeight_;
            if (cw <= 0 || chgt <= 0) cw = info_.width, chgt = info_.height;
            Picture p{start, end, {}};
            for (unsigned i = 0; i < sub.num_rects; ++i) {
                const AVSubtitleRect* rect = sub.rects[i];
                if (rect->type != SUBTITLE_BITMAP || rect->w <= 0 || rect->h <= 0 || !rect->data[0] || !rect->data[1])
                    continue;
                if (onlyForced && !(rect->flags & AV_SUBTITLE_FLAG_FORCED)) continue;
                SubtitleBitmap b{rect->x, rect->y, rect->w, rect->h, {}};
                b.argb.resize(size_t(rect->w) * size_t(rect->h));
                const uint32_t* palette = reinterpret_cast<const uint32_t*>(rect->data[1]);
                for (int y = 0; y < rect->h; ++y)
                    for (int x = 0; x < rect->w; ++x) {
                        const uint8_t c = rect->data[0][size_t(y) * size_t(rect->linesize[0]) + size_t(x)];
                        b.argb[size_t(y) * size_t(rect->w) + size_t(x)] = c < rect->nb_colors ? palette[c] : 0;
                    }
                OverlayImage o;
                if (PrepareBitmap(b, cw, chgt, info_.width, info_.height, &o)) p.overlay.push_back(std::move(o));
            }
            pictures_.push_back(std::move(p));
        }
        avsubtitle_free(&sub);
    }

    std::string path_;
    bool text_ = true;
    int videoWidth_ = 0, videoHeight_ = 0;
    std::unique_ptr<AssOverlay> ass_;  // text tracks
    std::vector<Picture> pictures_;    // picture tracks, by start
};

}  // namespace

ClipPtr CallEmbeddedSub(const CallSite& site) {
    const auto& a = site.Args();
    if (!site.Takes({"si", "sii"})) throw site.Invalid();
    site.NeedClip();
    const ClipPtr& child = site.last;
    if (!child->Info().hasVideo) throw ScriptError("EmbeddedSub: the clip has no video");
    if (!IsYV12(child->Info().pixelFormat)) throw ScriptError("EmbeddedSub: YV12 input only (use ConvertToYV12 first)");
    return std::make_shared<EmbeddedSubClip>(child, a[0].s, int(a[1].i), a.size() > 2 && a[2].i != 0);
}

}  // namespace kalvex::avs

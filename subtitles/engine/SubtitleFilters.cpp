// TextSub and VobSub: subtitles drawn into the picture. Text subtitles are
// read with our own reader into its model and handed to libass, which draws
// them at the clip's size; VobSub pictures come from our index reader (times,
// positions, palette) and FFmpeg's DVD subtitle decoder (the pixels), scaled
// from the index's picture size to the clip's.
#include "subtitles/engine/SubtitleFilters.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "engine/Clip.h"
#include "engine/Functions.h"
#include "subtitles/STS.h"
#include "subtitles/VobSubFile.h"

extern "C" {
#include <ass/ass.h>
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

namespace kalvex::avs {
namespace {

QString PathText(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// Limited-range BT.601 YUV of an RGB colour.
struct Yuv {
    int y, u, v;
};
Yuv ToYuv(int r, int g, int b) {
    return {int(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0)),
            int(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0)),
            int(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0))};
}

inline uint8_t Mix(uint8_t under, int over, int alpha) {  // alpha 0..255
    return uint8_t(under + ((over - under) * alpha + 127) / 255);
}

// The picture a subtitle is drawn into: a private copy of the input, which
// upstream filters may still hold.
FramePtr WritableCopy(const FramePtr& in) {
    FramePtr out = NewFrame(in->width, in->height, AVPixelFormat(in->format));
    if (!out) return nullptr;
    if (av_frame_copy(out.get(), in.get()) < 0) return nullptr;
    av_frame_copy_props(out.get(), in.get());
    return out;
}

// Milliseconds from the start of the clip to frame n.
int64_t FrameMs(const ClipInfo& info, int64_t n) {
    if (info.fps.num <= 0) return 0;
    return av_rescale(n, int64_t(1000) * info.fps.den, info.fps.num);
}

// A filter that draws over the picture: sound and clip properties go
// through unchanged.
class VideoFilter : public Clip {
public:
    explicit VideoFilter(ClipPtr child) : child_(std::move(child)) { info_ = child_->Info(); }
    void GetAudio(int16_t* buffer, int64_t start, int64_t count) override { child_->GetAudio(buffer, start, count); }

protected:
    ClipPtr child_;
};

// One subtitle image prepared for drawing into a YV12 picture: per luma
// pixel its coverage and value, per chroma sample its coverage and U, V,
// all inside the picture. Made once when the subtitle changes and drawn
// into every frame that shows it, so a line on screen for seconds costs
// only the mixing of its own rectangle per frame.
struct OverlayImage {
    int x = 0, y = 0, w = 0, h = 0;  // luma rectangle
    std::vector<uint8_t> alpha, luma;
    int cx = 0, cy = 0, cw = 0, ch = 0;  // chroma rectangle
    std::vector<uint8_t> chromaAlpha, u, v;

    void Draw(AVFrame* f) const {
        for (int j = 0; j < h; ++j) {
            uint8_t* row = f->data[0] + (y + j) * f->linesize[0] + x;
            const uint8_t* a = alpha.data() + size_t(j) * w;
            const uint8_t* c = luma.data() + size_t(j) * w;
            for (int i = 0; i < w; ++i)
                if (a[i]) row[i] = Mix(row[i], c[i], a[i]);
        }
        for (int j = 0; j < ch; ++j) {
            uint8_t* ur = f->data[1] + (cy + j) * f->linesize[1] + cx;
            uint8_t* vr = f->data[2] + (cy + j) * f->linesize[2] + cx;
            const size_t at = size_t(j) * cw;
            for (int i = 0; i < cw; ++i) {
                const int a = chromaAlpha[at + i];
                if (!a) continue;
                ur[i] = Mix(ur[i], u[at + i], a);
                vr[i] = Mix(vr[i], v[at + i], a);
            }
        }
    }
};

// The picture with the images drawn in: a private copy of the input, which
// upstream filters may still hold; the input itself when nothing is drawn.
FramePtr DrawOverlay(const FramePtr& in, const std::vector<OverlayImage>& images) {
    if (images.empty()) return in;
    FramePtr out = WritableCopy(in);
    if (!out) return in;
    for (const OverlayImage& image : images) image.Draw(out.get());
    return out;
}

// ---- TextSub ----

// libass would print its messages itself; only its errors are of interest,
// and they go where the engine's messages go.
void AssMessage(int level, const char* format, va_list args, void*) {
    if (level > 1) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    EngineMessage(std::string("libass: ") + text);
}

// A field of a comma-separated ASS line cannot hold a comma.
std::string Field(const QString& text) {
    QString t = text;
    t.replace(',', ';').replace('\n', ' ').replace('\r', ' ');
    return t.toUtf8().toStdString();
}

std::string AssColour(quint32 bgr, quint8 alpha) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "&H%02X%06X", alpha, bgr & 0xFFFFFFu);
    return buf;
}

// Bounds of what a subtitle may ask libass to draw. A glyph, border or
// shadow a few picture heights big shows nothing more of the line, but
// libass draws it in full before cutting it to the picture: a damaged
// style with a font size of 65536 made it take 17 GB. Sizes are held to
// four times the script's picture height, scales to 1000 %, blurs to 100.
double MaxDrawSize(const CSimpleTextSubtitle& sts) { return 4.0 * (sts.m_playResY > 0 ? sts.m_playResY : 288); }
constexpr double kMaxScale = 1000.0;
constexpr double kMaxBlur = 100.0;

double Bounded(double v, double most) { return std::isfinite(v) ? std::clamp(v, -most, most) : 0.0; }

// The same bounds for the override tags of a line ("{\fs65536}"), inside
// its "{...}" blocks only; everything else stays as it is.
QString BoundedOverrides(const QString& text, double maxSize) {
    if (!text.contains('{')) return text;
    static const QRegularExpression tag(
        QStringLiteral(R"(\\(fscx|fscy|fs|xbord|ybord|bord|xshad|yshad|shad|blur|be)\s*([-+]?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?))"));
    QString out;
    qsizetype at = 0;
    while (at < text.size()) {
        const qsizetype open = text.indexOf('{', at);
        if (open < 0) break;
        const qsizetype close = text.indexOf('}', open);
        const qsizetype end = close < 0 ? text.size() : close + 1;
        out += text.mid(at, open - at);
        QString block = text.mid(open, end - open);
        QString bounded;
        qsizetype from = 0;
        for (auto it = tag.globalMatch(block); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const QString name = m.captured(1);
            const double most = name.startsWith("fsc") ? kMaxScale : (name == "blur" || name == "be") ? kMaxBlur : maxSize;
            const double v = m.captured(2).toDouble();
            bounded += block.mid(from, m.capturedStart(2) - from);
            bounded += std::fabs(v) > most ? QString::number(Bounded(v, most), 'g', 10) : m.captured(2);
            from = m.capturedEnd(2);
        }
        bounded += block.mid(from);
        out += bounded;
        at = end;
    }
    out += text.mid(at);
    return out;
}

// The model as an ASS header: script information and styles.
std::string AssHeader(const CSimpleTextSubtitle& sts) {
    std::string h = "[Script Info]\nScriptType: v4.00+\n";
    h += "PlayResX: " + std::to_string(sts.m_playResX > 0 ? sts.m_playResX : 384) + "\n";
    h += "PlayResY: " + std::to_string(sts.m_playResY > 0 ? sts.m_playResY : 288) + "\n";
    h += "WrapStyle: " + std::to_string(std::clamp(sts.m_defaultWrapStyle, 0, 3)) + "\n";
    h += std::string("Collisions: ") + (sts.m_collisions ? "Reverse" : "Normal") + "\n";
    h += std::string("ScaledBorderAndShadow: ") + (sts.m_fScaledBAS ? "yes" : "no") + "\n\n";
    h += "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
         "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, "
         "Alignment, MarginL, MarginR, MarginV, Encoding\n";
    const double maxSize = MaxDrawSize(sts);
    for (const auto& [name, s] : sts.Styles()) {
        char buf[1024];
        const int marginV = s.scrAlignment >= 7 ? s.marginRect.top : s.marginRect.bottom;
        std::snprintf(buf, sizeof buf,
                      "Style: %s,%s,%g,%s,%s,%s,%s,%d,%d,%d,%d,%g,%g,%g,%g,%d,%g,%g,%d,%d,%d,%d,%d\n",
                      Field(name).c_str(), Field(s.fontName).c_str(), Bounded(s.fontSize, maxSize),
                      AssColour(s.colors[0], s.alpha[0]).c_str(), AssColour(s.colors[1], s.alpha[1]).c_str(),
                      AssColour(s.colors[2], s.alpha[2]).c_str(), AssColour(s.colors[3], s.alpha[3]).c_str(),
                      s.fontWeight >= FW_BOLD ? -1 : 0, s.fItalic ? -1 : 0, s.fUnderline ? -1 : 0,
                      s.fStrikeOut ? -1 : 0, Bounded(s.fontScaleX, kMaxScale), Bounded(s.fontScaleY, kMaxScale),
                      s.fontSpacing, s.fontAngleZ, s.borderStyle == 1 ? 3 : 1, Bounded(s.outlineWidth, maxSize),
                      Bounded(s.shadowDepth, maxSize), std::clamp(s.scrAlignment, 1, 9),
                      s.marginRect.left, s.marginRect.right, marginV, s.charSet);
        h += buf;
    }
    h += "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
    return h;
}

// One shared libass library: its font set-up (fontconfig) is costly and
// done once; renderers and tracks are per clip.
struct AssGlobal {
    std::mutex lock;
    ASS_Library* library = nullptr;
};
AssGlobal& Ass() {
    static AssGlobal g;
    return g;
}

// True when libass draws the line differently as time goes on: fades,
// moves, transforms and karaoke among its override tags, or a scrolling
// effect. Such a line is drawn anew for every frame; any other line looks
// the same for as long as it is shown. A false alarm only costs time.
bool Animated(const QString& text, const QString& effect) {
    if (!effect.trimmed().isEmpty()) return true;
    static const char* const kTimedTags[] = {"\\t", "\\move", "\\fad", "\\k", "\\K"};
    for (const char* tag : kTimedTags)
        if (text.contains(QLatin1String(tag))) return true;
    return false;
}

class TextSubClip : public VideoFilter {
public:
    TextSubClip(ClipPtr child, const std::string& path) : VideoFilter(std::move(child)) {
        CSimpleTextSubtitle sts;
        if (!sts.Open(PathText(path), DEFAULT_CHARSET))  // no window here: the reason goes into the error
            throw ScriptError("TextSub: cannot read the subtitle file \"" + path + "\"" +
                              (sts.LastError() ? ": " + sts.LastError().text.trimmed().toStdString() : ""));
        {
            std::lock_guard<std::mutex> g(Ass().lock);
            if (!Ass().library) {
                Ass().library = ass_library_init();
                if (Ass().library) ass_set_message_cb(Ass().library, AssMessage, nullptr);
            }
            if (!Ass().library) throw ScriptError("TextSub: the subtitle renderer (libass) could not be started");
            for (const EmbeddedFont& font : sts.m_fonts) {
                QByteArray name = font.name.toUtf8();
                ass_add_font(Ass().library, name.data(), font.data.constData(), int(font.data.size()));
            }
            renderer_ = ass_renderer_init(Ass().library);
            track_ = ass_new_track(Ass().library);
        }
        if (!renderer_ || !track_) throw ScriptError("TextSub: the subtitle renderer (libass) could not be started");
        // Drawn at the clip's own size: after the scaling to the PSP picture
        // this is the output size, never the source's.
        ass_set_frame_size(renderer_, info_.width, info_.height);
        ass_set_storage_size(renderer_, info_.width, info_.height);
        ass_set_fonts(renderer_, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);

        std::string header = AssHeader(sts);
        ass_process_codec_private(track_, header.data(), int(header.size()));
        const bool frames = sts.m_mode == FRAME;
        for (int i = 0; i < sts.GetCount(); ++i) {
            const STSEntry& e = sts[i];
            int64_t start = e.start, end = e.end;
            if (frames) {  // MicroDVD: frame numbers at the clip's rate
                start = FrameMs(info_, start);
                end = FrameMs(info_, end);
            }
            if (end <= start) continue;
            QString text = BoundedOverrides(e.str, MaxDrawSize(sts));
            text.remove('\r').replace("\n", "\\N");
            const int marginV = e.marginRect.bottom ? e.marginRect.bottom : e.marginRect.top;
            std::string line = std::to_string(i) + "," + std::to_string(e.layer) + "," + Field(e.style) + "," +
                               Field(e.actor) + "," + std::to_string(e.marginRect.left) + "," +
                               std::to_string(e.marginRect.right) + "," + std::to_string(marginV) + "," +
                               Field(e.effect) + "," + text.toUtf8().toStdString();
            ass_process_chunk(track_, line.data(), int(line.size()), start, end - start);
            events_.push_back({start, end, i, Animated(text, e.effect)});
        }
        // By start time, with the latest end so far, to find the lines shown
        // at a moment without asking libass.
        std::stable_sort(events_.begin(), events_.end(),
                         [](const Event& a, const Event& b) { return a.start < b.start; });
        int64_t latest = INT64_MIN;
        for (Event& e : events_) latest = e.endSoFar = std::max(latest, e.end);
    }
    ~TextSubClip() override {
        std::lock_guard<std::mutex> g(Ass().lock);
        if (track_) ass_free_track(track_);
        if (renderer_) ass_renderer_done(renderer_);
    }

    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        const int64_t t = FrameMs(info_, n);
        // libass shows a line from its start up to, not including, its end.
        bool animated = false;
        active_.clear();
        auto it = std::upper_bound(events_.begin(), events_.end(), t,
                                   [](int64_t v, const Event& e) { return v < e.start; });
        while (it != events_.begin()) {
            --it;
            if (it->endSoFar <= t) break;  // nothing further back reaches t
            if (it->end > t) {
                active_.push_back(it->order);
                animated = animated || it->animated;
            }
        }
        if (active_.empty()) return in;  // nothing shown: the picture goes on untouched
        // The same still lines as the picture drawn last: the same images.
        if (animated || !drawnValid_ || active_ != drawn_) {
            int changed = 0;
            ASS_Image* images = ass_render_frame(renderer_, track_, t, &changed);
            // libass compares with what it drew last, which is always what
            // overlay_ was made from.
            if (changed || !drawnValid_) Prepare(images);
            drawn_ = active_;
            drawnValid_ = true;
        }
        return DrawOverlay(in, overlay_);
    }

private:
    struct Event {
        int64_t start, end;  // ms, as handed to libass
        int order;           // the line's number in the model
        bool animated;
        int64_t endSoFar = 0;  // the latest end among this line and those before it
    };

    // The images libass drew, as coverage and colour in the picture's planes.
    void Prepare(const ASS_Image* images) {
        overlay_.clear();
        for (const ASS_Image* img = images; img; img = img->next) {
            const int opacity = 255 - int(img->color & 0xFF);
            if (opacity == 0 || img->w <= 0 || img->h <= 0) continue;
            const Yuv c = ToYuv(int(img->color >> 24), int((img->color >> 16) & 0xFF), int((img->color >> 8) & 0xFF));
            const int W = info_.width, H = info_.height;
            const int x0 = std::max(img->dst_x, 0), y0 = std::max(img->dst_y, 0);
            const int x1 = std::min(img->dst_x + img->w, W), y1 = std::min(img->dst_y + img->h, H);
            if (x0 >= x1 || y0 >= y1) continue;
            OverlayImage o;
            o.x = x0, o.y = y0, o.w = x1 - x0, o.h = y1 - y0;
            o.alpha.resize(size_t(o.w) * o.h);
            o.luma.assign(o.alpha.size(), uint8_t(c.y));
            auto alphaAt = [&](int x, int y) -> int {
                if (x < x0 || x >= x1 || y < y0 || y >= y1) return 0;
                return img->bitmap[(y - img->dst_y) * img->stride + (x - img->dst_x)] * opacity / 255;
            };
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x) o.alpha[size_t(y - y0) * o.w + (x - x0)] = uint8_t(alphaAt(x, y));
            // Chroma (4:2:0): the mean coverage of the four pixels each
            // sample covers.
            o.cx = x0 / 2, o.cy = y0 / 2;
            o.cw = std::min((x1 + 1) / 2, (W + 1) / 2) - o.cx;
            o.ch = std::min((y1 + 1) / 2, (H + 1) / 2) - o.cy;
            o.chromaAlpha.resize(size_t(o.cw) * o.ch);
            o.u.assign(o.chromaAlpha.size(), uint8_t(c.u));
            o.v.assign(o.chromaAlpha.size(), uint8_t(c.v));
            for (int cy = o.cy; cy < o.cy + o.ch; ++cy)
                for (int cx = o.cx; cx < o.cx + o.cw; ++cx)
                    o.chromaAlpha[size_t(cy - o.cy) * o.cw + (cx - o.cx)] =
                        uint8_t((alphaAt(2 * cx, 2 * cy) + alphaAt(2 * cx + 1, 2 * cy) + alphaAt(2 * cx, 2 * cy + 1) +
                                 alphaAt(2 * cx + 1, 2 * cy + 1) + 2) / 4);
            overlay_.push_back(std::move(o));
        }
    }

    ASS_Renderer* renderer_ = nullptr;
    ASS_Track* track_ = nullptr;
    std::vector<Event> events_;
    std::vector<int> active_;  // lines shown at the frame asked for
    std::vector<int> drawn_;   // lines overlay_ was drawn for
    bool drawnValid_ = false;
    std::vector<OverlayImage> overlay_;
};

// ---- VobSub ----

class VobSubClip : public VideoFilter {
public:
    VobSubClip(ClipPtr child, const std::string& path, int stream) : VideoFilter(std::move(child)) {
        if (!vob_.Open(PathText(path)))  // no window here: the reason goes into the error
            throw ScriptError("VobSub: cannot read the subtitle file \"" + path + "\"" +
                              (vob_.LastError() ? ": " + vob_.LastError().text.trimmed().toStdString() : ""));
        if (vob_.SelectStream(stream) != S_OK)
            throw ScriptError("VobSub: \"" + path + "\" has no stream " + std::to_string(stream) + " (it has " +
                              std::to_string(vob_.CountStreams()) + ")");
        slot_ = vob_.m_iLang;
        const auto& subpos = vob_.m_langs[slot_].subpos;
        for (size_t j = 0; j < subpos.size(); ++j) {
            const auto& sp = subpos[j];
            if (!sp.fValid || (vob_.m_fOnlyShowForcedSubs && !sp.fForced)) continue;
            pictures_.push_back({sp.start + vob_.m_toff, sp.stop + vob_.m_toff, int(j)});
        }
        std::stable_sort(pictures_.begin(), pictures_.end(),
                         [](const Picture& a, const Picture& b) { return a.start < b.start; });
        sizeX_ = vob_.m_sizeX > 0 ? vob_.m_sizeX : 720;
        sizeY_ = vob_.m_sizeY > 0 ? vob_.m_sizeY : 480;

        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_DVD_SUBTITLE);
        if (!codec) throw ScriptError("VobSub: this FFmpeg has no DVD subtitle decoder");
        decoder_ = avcodec_alloc_context3(codec);
        if (!decoder_) throw ScriptError("VobSub: out of memory");
        // The decoder reads the picture size and palette in the index's own
        // notation.
        std::string extra = "size: " + std::to_string(sizeX_) + "x" + std::to_string(sizeY_) + "\npalette:";
        for (int i = 0; i < 16; ++i) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "%s %06x", i ? "," : "", unsigned(vob_.m_orgpal[i] & 0xFFFFFF));
            extra += buf;
        }
        extra += "\n";
        // A constructor that throws runs no destructor: the decoder is freed
        // here on every way out.
        decoder_->extradata = static_cast<uint8_t*>(av_mallocz(extra.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!decoder_->extradata) {
            avcodec_free_context(&decoder_);
            throw ScriptError("VobSub: out of memory");
        }
        std::memcpy(decoder_->extradata, extra.data(), extra.size());
        decoder_->extradata_size = int(extra.size());
        int r = avcodec_open2(decoder_, codec, nullptr);
        if (r < 0) {
            avcodec_free_context(&decoder_);
            throw ScriptError("VobSub: the DVD subtitle decoder could not be opened: " + AvError(r));
        }
    }
    ~VobSubClip() override { avcodec_free_context(&decoder_); }

    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        const int64_t t = FrameMs(info_, n);
        auto it = std::upper_bound(pictures_.begin(), pictures_.end(), t,
                                   [](int64_t v, const Picture& p) { return v < p.start; });
        if (it == pictures_.begin()) return in;
        --it;
        if (t >= it->stop) return in;
        if (it->index != cachedIndex_) {
            cachedIndex_ = it->index;
            overlay_.clear();
            for (const Bitmap& b : Decoded(it->index)) Prepare(b);
        }
        return DrawOverlay(in, overlay_);
    }

private:
    struct Picture {
        int64_t start, stop;  // ms
        int index;            // in the slot's subpicture list
    };
    // One decoded rectangle as straight RGBA (alpha already scaled).
    // The position is the decoder's plus the index's origin, which a
    // damaged index can put anywhere in the int range: kept in 64 bits.
    struct Bitmap {
        int64_t x, y;
        int w, h;
        std::vector<uint32_t> argb;
    };

    // The rectangles of a subpicture.
    std::vector<Bitmap> Decoded(int index) {
        std::vector<Bitmap> bitmaps;
        std::vector<uint8_t> spu = vob_.GetPacket(slot_, index);
        if (spu.empty()) return bitmaps;
        AVPacket* pkt = av_packet_alloc();
        if (!pkt || av_new_packet(pkt, int(spu.size())) < 0) {
            av_packet_free(&pkt);
            return bitmaps;
        }
        std::memcpy(pkt->data, spu.data(), spu.size());
        AVSubtitle sub{};
        int got = 0;
        int r = avcodec_decode_subtitle2(decoder_, &sub, &got, pkt);
        av_packet_free(&pkt);
        if (r < 0) {
            EngineMessage("VobSub: subpicture " + std::to_string(index) + " could not be decoded: " + AvError(r));
            return bitmaps;
        }
        if (!got) return bitmaps;
        const int alphaPercent = std::clamp(vob_.m_alpha, 0, 100);
        for (unsigned i = 0; i < sub.num_rects; ++i) {
            const AVSubtitleRect* rect = sub.rects[i];
            if (rect->type != SUBTITLE_BITMAP || rect->w <= 0 || rect->h <= 0 || !rect->data[0] || !rect->data[1])
                continue;
            Bitmap b{int64_t(rect->x) + vob_.m_orgX, int64_t(rect->y) + vob_.m_orgY, rect->w, rect->h, {}};
            b.argb.resize(size_t(rect->w) * size_t(rect->h));
            const uint32_t* palette = reinterpret_cast<const uint32_t*>(rect->data[1]);
            for (int y = 0; y < rect->h; ++y) {
                for (int x = 0; x < rect->w; ++x) {
                    const uint8_t index8 = rect->data[0][y * rect->linesize[0] + x];
                    uint32_t c = index8 < rect->nb_colors ? palette[index8] : 0;
                    const uint32_t a = ((c >> 24) * uint32_t(alphaPercent) + 50) / 100;
                    b.argb[size_t(y) * size_t(rect->w) + size_t(x)] = (a << 24) | (c & 0xFFFFFF);
                }
            }
            bitmaps.push_back(std::move(b));
        }
        avsubtitle_free(&sub);
        return bitmaps;
    }

    // A rectangle given in the index's picture size, prepared for the clip's
    // picture: each clip pixel takes the nearest subtitle pixel, each chroma
    // sample the subtitle pixel of its top left luma pixel. The picture
    // stays on screen for many frames; it is drawn from this each time.
    void Prepare(const Bitmap& b) {
        const int W = info_.width, H = info_.height;
        // Clamped to the picture in 64 bits before narrowing: a rectangle far
        // outside it gives an empty range, never a wrapped one.
        const int dx0 = int(std::clamp<int64_t>(b.x * W / sizeX_, 0, W));
        const int dy0 = int(std::clamp<int64_t>(b.y * H / sizeY_, 0, H));
        const int dx1 = int(std::clamp<int64_t>(((b.x + b.w) * W + sizeX_ - 1) / sizeX_, 0, W));
        const int dy1 = int(std::clamp<int64_t>(((b.y + b.h) * H + sizeY_ - 1) / sizeY_, 0, H));
        if (dx0 >= dx1 || dy0 >= dy1) return;
        auto pixel = [&](int x, int y) -> uint32_t {
            const int64_t sx = (int64_t(x) * sizeX_ + sizeX_ / 2) / W - b.x;
            const int64_t sy = (int64_t(y) * sizeY_ + sizeY_ / 2) / H - b.y;
            if (sx < 0 || sy < 0 || sx >= b.w || sy >= b.h) return 0;
            return b.argb[size_t(sy) * size_t(b.w) + size_t(sx)];
        };
        OverlayImage o;
        o.x = dx0, o.y = dy0, o.w = dx1 - dx0, o.h = dy1 - dy0;
        o.alpha.assign(size_t(o.w) * o.h, 0);
        o.luma.assign(o.alpha.size(), 0);
        o.cx = (dx0 + 1) / 2, o.cy = (dy0 + 1) / 2;
        o.cw = std::max(0, (dx1 + 1) / 2 - o.cx), o.ch = std::max(0, (dy1 + 1) / 2 - o.cy);
        o.chromaAlpha.assign(size_t(o.cw) * o.ch, 0);
        o.u.assign(o.chromaAlpha.size(), 0);
        o.v.assign(o.chromaAlpha.size(), 0);
        for (int y = dy0; y < dy1; ++y) {
            for (int x = dx0; x < dx1; ++x) {
                const uint32_t c = pixel(x, y);
                const int a = int(c >> 24);
                if (!a) continue;
                const Yuv yuv = ToYuv(int((c >> 16) & 0xFF), int((c >> 8) & 0xFF), int(c & 0xFF));
                const size_t at = size_t(y - dy0) * o.w + (x - dx0);
                o.alpha[at] = uint8_t(a);
                o.luma[at] = uint8_t(yuv.y);
                if ((x & 1) == 0 && (y & 1) == 0) {
                    const size_t cat = size_t(y / 2 - o.cy) * o.cw + (x / 2 - o.cx);
                    o.chromaAlpha[cat] = uint8_t(a);
                    o.u[cat] = uint8_t(yuv.u);
                    o.v[cat] = uint8_t(yuv.v);
                }
            }
        }
        overlay_.push_back(std::move(o));
    }

    CVobSubFile vob_;
    int slot_ = 0;
    int sizeX_ = 720, sizeY_ = 480;
    std::vector<Picture> pictures_;
    AVCodecContext* decoder_ = nullptr;
    int cachedIndex_ = -1;  // the subpicture overlay_ was made from
    std::vector<OverlayImage> overlay_;
};

ClipPtr TextSub(ClipPtr child, const std::string& path) {
    if (!child->Info().hasVideo) throw ScriptError("TextSub: the clip has no video");
    if (!IsYV12(child->Info().pixelFormat)) throw ScriptError("TextSub: YV12 input only (use ConvertToYV12 first)");
    return std::make_shared<TextSubClip>(std::move(child), path);
}

ClipPtr VobSub(ClipPtr child, const std::string& path, int stream) {
    if (!child->Info().hasVideo) throw ScriptError("VobSub: the clip has no video");
    if (!IsYV12(child->Info().pixelFormat)) throw ScriptError("VobSub: YV12 input only (use ConvertToYV12 first)");
    return std::make_shared<VobSubClip>(std::move(child), path, stream);
}

// TextSub("path")
ClipPtr CallTextSub(const CallSite& site) {
    if (!site.Takes({"s"})) throw site.Invalid();
    site.NeedClip();
    return TextSub(site.last, site.Args()[0].s);
}

// VobSub("path") or VobSub("path", stream)
ClipPtr CallVobSub(const CallSite& site) {
    const auto& a = site.Args();
    if (!site.Takes({"s", "si"})) throw site.Invalid();
    site.NeedClip();
    return VobSub(site.last, a[0].s, a.size() > 1 ? int(a[1].i) : 0);
}

}  // namespace
}  // namespace kalvex::avs

namespace kalvex {

void RegisterSubtitleFilters() {
    avs::RegisterScriptFunction("TextSub", &avs::CallTextSub);
    avs::RegisterScriptFunction("VobSub", &avs::CallVobSub);
}

}  // namespace kalvex

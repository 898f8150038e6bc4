// TextSub and VobSub: subtitles drawn into the picture. Text subtitles are
// read with our own reader into its model and handed to libass, which draws
// them at the clip's size; VobSub pictures come from our index reader (times,
// positions, palette) and FFmpeg's DVD subtitle decoder (the pixels), scaled
// from the index's picture size to the clip's.
#include "subtitles/engine/SubtitleFilters.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/Clip.h"
#include "engine/Functions.h"
#include "subtitles/STS.h"
#include "subtitles/VobSubFile.h"

#include "EmbeddedSub.h"
#include "SubtitleDrawing.h"

extern "C" {
#include <ass/ass.h>
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

namespace kalvex::avs {
namespace {

QString PathText(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// ---- TextSub ----

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

class TextSubClip : public VideoFilter {
public:
    TextSubClip(ClipPtr child, const std::string& path) : VideoFilter(std::move(child)) {
        CSimpleTextSubtitle sts;
        if (!sts.Open(PathText(path), DEFAULT_CHARSET))  // no window here: the reason goes into the error
            throw ScriptError("TextSub: cannot read the subtitle file \"" + path + "\"" +
                              (sts.LastError() ? ": " + sts.LastError().text.trimmed().toStdString() : ""));
        std::vector<SubtitleFont> fonts;
        for (const EmbeddedFont& font : sts.m_fonts)
            fonts.push_back({font.name.toUtf8().toStdString(), font.data.toStdString()});
        ass_ = std::make_unique<AssOverlay>("TextSub", info_.width, info_.height, fonts);
        ass_->SetHeader(AssHeader(sts));
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
            ass_->AddLine(line, start, end, Animated(text.toUtf8().toStdString(), e.effect.toUtf8().toStdString()));
        }
        ass_->Finish();
    }

    FramePtr GetFrame(int64_t n) override {
        FramePtr in = child_->GetFrame(n);
        if (!in) return nullptr;
        return DrawOverlay(in, ass_->At(FrameMs(info_, n)));
    }

private:
    std::unique_ptr<AssOverlay> ass_;
};

}  // namespace

std::string BoundedTrackHeader(const std::string& header, double* maxSize) {
    const QStringList lines = QString::fromUtf8(header.data(), qsizetype(header.size())).split('\n');
    // The play height the styles' sizes are meant for, as libass reads it.
    int playX = 0, playY = 0;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith("PlayResX:", Qt::CaseInsensitive)) playX = line.mid(9).trimmed().toInt();
        if (line.startsWith("PlayResY:", Qt::CaseInsensitive)) playY = line.mid(9).trimmed().toInt();
    }
    if (playY <= 0) playY = playX > 0 ? (playX == 1280 ? 1024 : playX * 3 / 4) : 288;
    const double most = 4.0 * playY;
    if (maxSize) *maxSize = most;
    QStringList out;
    QStringList format;  // the field names of the style lines
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith('[')) format.clear();
        if (line.startsWith("Format:", Qt::CaseInsensitive) && format.isEmpty()) {
            for (const QString& f : line.mid(7).split(',')) format << f.trimmed().toLower();
        } else if (line.startsWith("Style:", Qt::CaseInsensitive) && !format.isEmpty()) {
            QStringList fields = line.mid(6).split(',');
            for (int i = 0; i < fields.size() && i < format.size(); ++i) {
                const QString& name = format[i];
                const double limit = name == "fontsize" || name == "outline" || name == "shadow" ? most
                                     : name == "scalex" || name == "scaley"                     ? kMaxScale
                                                                                                 : -1;
                bool ok = false;
                const double v = fields[i].trimmed().toDouble(&ok);
                if (limit > 0 && ok && !(std::fabs(v) <= limit)) fields[i] = QString::number(Bounded(v, limit), 'g', 10);
            }
            out << "Style:" + fields.join(',');
            continue;
        }
        out << raw;
    }
    return out.join('\n').toUtf8().toStdString();
}

std::string BoundedTrackLine(const std::string& chunk, double maxSize) {
    // The text is what follows the eighth comma.
    size_t p = 0;
    for (int i = 0; i < 8; ++i) {
        p = chunk.find(',', p);
        if (p == std::string::npos) return chunk;
        ++p;
    }
    const QString text = QString::fromUtf8(chunk.data() + p, qsizetype(chunk.size() - p));
    return chunk.substr(0, p) + BoundedOverrides(text, maxSize).toUtf8().toStdString();
}

std::string PlainTextHeader() {
    CSimpleTextSubtitle sts;
    sts.EnsureDefaultStyle(DEFAULT_CHARSET);
    sts.m_playResX = 384;
    sts.m_playResY = 288;
    return AssHeader(sts);
}

namespace {

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
            avcodec_free_context(&decoder_);  // a throwing constructor runs no destructor
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
            for (const SubtitleBitmap& b : Decoded(it->index)) {
                OverlayImage o;
                if (PrepareBitmap(b, sizeX_, sizeY_, info_.width, info_.height, &o)) overlay_.push_back(std::move(o));
            }
        }
        return DrawOverlay(in, overlay_);
    }

private:
    struct Picture {
        int64_t start, stop;  // ms
        int index;            // in the slot's subpicture list
    };
    // The rectangles of a subpicture.
    std::vector<SubtitleBitmap> Decoded(int index) {
        std::vector<SubtitleBitmap> bitmaps;
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
            SubtitleBitmap b{int64_t(rect->x) + vob_.m_orgX, int64_t(rect->y) + vob_.m_orgY, rect->w, rect->h, {}};
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
    avs::RegisterScriptFunction("EmbeddedSub", &avs::CallEmbeddedSub);
}

}  // namespace kalvex

#include "engine/PictureChain.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/AvFilterCalls.h"
#include "engine/Clip.h"
#include "engine/Zigzag.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

namespace kalvex::avs {
namespace {

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// One entry of a display matrix as -1, 0 or 1; false for anything else
// (a scale, a shear, an angle between the axes).
bool UnitEntry(double v, int* sign) {
    constexpr double kTolerance = 1.0 / 256;
    if (std::fabs(v) < kTolerance) {
        *sign = 0;
        return true;
    }
    if (std::fabs(std::fabs(v) - 1) < kTolerance) {
        *sign = v > 0 ? 1 : -1;
        return true;
    }
    return false;
}

// The angle a matrix row (a, b) shows, counterclockwise as seen on screen
// (y grows downwards): (1, 0) none, (0, -1) a quarter turn left.
int AngleOf(int a, int b) {
    if (a > 0) return 0;
    if (b < 0) return 90;
    if (a < 0) return 180;
    return 270;
}

bool DeclaredInterlaced(AVFieldOrder order) {
    return order == AV_FIELD_TT || order == AV_FIELD_BB || order == AV_FIELD_TB || order == AV_FIELD_BT;
}

bool IsHdr(AVColorTransferCharacteristic t) { return t == AVCOL_TRC_SMPTE2084 || t == AVCOL_TRC_ARIB_STD_B67; }

// Combing: the least step between lines that counts (8-bit levels); how
// many times more zigzag across the fields than within them, plus one
// pixel in this many, make a picture combed.
constexpr int kCombThreshold = 9;
constexpr int64_t kCombRatio = 2;
constexpr int64_t kCombShareOf = 2000;

// A look at the pictures says too little below this many.
constexpr int kMinProbeFrames = 10;

// Telecined film: 3:2 pulldown combs two pictures of every five, always at
// the same places in the cycle, and leaves the other three clean.
bool TelecinePattern(const PictureProbe& p) {
    if (p.frames < kMinProbeFrames || p.combed == 0) return false;
    int at[5];
    std::copy(p.combedAt, p.combedAt + 5, at);
    std::sort(at, at + 5, std::greater<int>());
    const int cycles = p.frames / 5;
    const int top2 = at[0] + at[1];
    // Both places combed in most cycles, and hardly any combing elsewhere.
    return cycles >= 2 && at[1] * 4 >= cycles * 3 && (p.combed - top2) * 10 <= p.combed;
}

bool NearNtscRate(AVRational fps) {
    const double f = av_q2d(fps);
    return std::fabs(f - 30000.0 / 1001) < 0.05 || std::fabs(f - 30) < 0.05;
}

// Enough combed pictures among the moving ones to call the video
// interlaced: at least half of them, and at least three.
bool CombedEnough(const PictureProbe& p) {
    return p.frames >= kMinProbeFrames && p.combed >= 3 && p.combed * 2 >= p.moving;
}

// Whether the picture's first plane is luma alone, one sample per 8- or
// 16-bit unit: the layouts whose pictures can be looked at here (packed
// YUV, RGB and float pictures are not).
bool PlanarLuma(const AVFrame* f) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_PAL)) ||
        desc->comp[0].plane != 0 || desc->comp[0].offset != 0 || desc->comp[0].depth < 8 || desc->comp[0].depth > 16)
        return false;
    return desc->comp[0].step == (desc->comp[0].depth > 8 ? 2 : 1);
}

// A luma sample on the 8-bit scale (PlanarLuma pictures only).
int Luma8(const AVFrame* f, const AVPixFmtDescriptor* desc, int x, int y) {
    const uint8_t* row = f->data[0] + int64_t(y) * f->linesize[0];
    if (desc->comp[0].depth == 8) return row[x];
    return (reinterpret_cast<const uint16_t*>(row)[x] >> desc->comp[0].shift) >> (desc->comp[0].depth - 8);
}

}  // namespace

Orientation OrientationFromMatrix(const int32_t m[9], std::string* note) {
    Orientation o;
    // w scales the whole matrix; u and v make it a projection, never a
    // turn.
    const double w = m[8] / double(1 << 30);
    if (m[2] != 0 || m[5] != 0 || w <= 0) {
        if (note) *note = "display matrix is a projection: shown unturned";
        return o;
    }
    int a, b, c, d;
    if (!UnitEntry(m[0] / 65536.0 / w, &a) || !UnitEntry(m[1] / 65536.0 / w, &b) ||
        !UnitEntry(m[3] / 65536.0 / w, &c) || !UnitEntry(m[4] / 65536.0 / w, &d)) {
        if (note) *note = "display matrix is not a turn by a multiple of 90 degrees: shown unturned";
        return o;
    }
    // A point (p, q) of the stored picture is shown at (a p + c q, b p + d q).
    if (b == 0 && c == 0 && a != 0 && d != 0) {
        o.hflip = a < 0;
        o.vflip = d < 0;
    } else if (a == 0 && d == 0 && b != 0 && c != 0) {
        // FFmpeg's transpose directions: 0 swaps the axes, 1 turns right,
        // 2 turns left, 3 turns right and flips.
        o.transpose = c > 0 ? (b > 0 ? 0 : 2) : (b > 0 ? 1 : 3);
    } else {
        if (note) *note = "display matrix is not a turn by a multiple of 90 degrees: shown unturned";
        return o;
    }
    o.mirrored = a * d - b * c < 0;
    // A mirrored matrix is a horizontal flip followed by a turn.
    o.rotation = o.mirrored ? AngleOf(-a, -b) : AngleOf(a, b);
    if (note) note->clear();
    return o;
}

bool NeedsProbe(const PictureTraits& t) {
    if (t.fieldOrder == AV_FIELD_UNKNOWN || DeclaredInterlaced(t.fieldOrder)) return true;
    return IsHdr(t.transfer) && t.maxCll <= 0 && t.masteringPeak <= 0;
}

PicturePlan PlanPictures(const PictureTraits& t, const PictureProbe* probe) {
    PicturePlan plan;
    if (t.hasMatrix) {
        std::string note;
        plan.orientation = OrientationFromMatrix(t.matrix, &note);
        if (!note.empty()) {
            plan.notes.push_back(note);
        } else if (plan.orientation.Turns()) {
            plan.notes.push_back("rotated " + std::to_string(plan.orientation.rotation) +
                                 (plan.orientation.mirrored ? " and mirrored" : ""));
        }
    }

    const bool declared = DeclaredInterlaced(t.fieldOrder);
    if (probe && NearNtscRate(t.fps) && (declared || t.fieldOrder == AV_FIELD_UNKNOWN) && TelecinePattern(*probe)) {
        plan.deinterlace = Deinterlace::InverseTelecine;
        plan.topFieldFirst = declared ? t.fieldOrder == AV_FIELD_TT || t.fieldOrder == AV_FIELD_BT
                                      : probe->topFirst >= probe->bottomFirst;
        plan.notes.push_back(std::string("inverse telecine (") + (plan.topFieldFirst ? "tff" : "bff") +
                             ", fieldmatch, decimate)");
    } else if (declared) {
        plan.deinterlace = Deinterlace::Bwdif;
        plan.topFieldFirst = t.fieldOrder == AV_FIELD_TT || t.fieldOrder == AV_FIELD_BT;
        plan.notes.push_back(std::string("deinterlaced (") + (plan.topFieldFirst ? "tff" : "bff") + ", bwdif)");
    } else if (t.fieldOrder == AV_FIELD_UNKNOWN && probe && CombedEnough(*probe)) {
        plan.deinterlace = Deinterlace::Bwdif;
        plan.topFieldFirst = probe->topFirst >= probe->bottomFirst;
        plan.notes.push_back(std::string("field order not given, pictures look interlaced: deinterlaced (") +
                             (plan.topFieldFirst ? "tff" : "bff") + ", bwdif)");
    }

    if (IsHdr(t.transfer)) {
        plan.toneMap = t.transfer == AVCOL_TRC_SMPTE2084 ? ToneMap::Pq : ToneMap::Hlg;
        double peak = -1;
        auto take = [&](double value, const char* from) {
            if (peak > 0 || value < 0) return;
            if (value == 0) {
                plan.notes.push_back(std::string("light level 0 nits (") + from + ") ignored");
                return;
            }
            peak = value;
            plan.peakFrom = from;
        };
        take(t.maxCll, "MaxCLL");
        take(t.masteringPeak, "mastering display");
        if (peak <= 0 && probe && probe->peakNits >= 0) {
            peak = probe->peakNits;
            plan.peakFrom = "measured";
        }
        if (peak <= 0) {
            // Nothing known: HLG is made for 1000-nit displays, and so is
            // most PQ grading.
            peak = 1000;
            plan.peakFrom = "assumed";
        }
        if (peak > kPqCeilingNits) {
            plan.notes.push_back(Printf("light level %.0f nits is beyond any display: taken as 10000", peak));
            peak = kPqCeilingNits;
        } else if (peak < kSdrWhiteNits) {
            peak = kSdrWhiteNits;  // nothing above SDR white: nothing to compress
        }
        plan.peakNits = peak;
        plan.notes.push_back(std::string("tone-mapped ") + (plan.toneMap == ToneMap::Pq ? "PQ" : "HLG") +
                             Printf(" peak %.0f nits (", peak) + plan.peakFrom + ")");
    } else if (t.transfer != AVCOL_TRC_UNSPECIFIED && !av_color_transfer_name(t.transfer)) {
        plan.notes.push_back("transfer characteristic " + std::to_string(int(t.transfer)) +
                             " unknown: treated as SDR");
    }
    return plan;
}

std::string FilterDescription(const PicturePlan& plan, const PictureTraits& t) {
    std::vector<std::string> steps;
    const char* parity = plan.topFieldFirst ? "tff" : "bff";
    switch (plan.deinterlace) {
    case Deinterlace::None:
        break;
    case Deinterlace::Bwdif:
        // One picture per frame; every picture is deinterlaced, also one
        // flagged progressive in a stream whose flags change midway.
        steps.push_back(std::string("bwdif=mode=send_frame:parity=") + parity + ":deint=all");
        break;
    case Deinterlace::InverseTelecine:
        // Fields matched back into film pictures; what stays combed (a cut
        // inside a cycle, video laid over film) is deinterlaced; then the
        // duplicate of every five is dropped.
        steps.push_back(std::string("fieldmatch=order=") + parity + ":combmatch=full");
        steps.push_back(std::string("bwdif=mode=send_frame:parity=") + parity + ":deint=interlaced");
        steps.push_back("decimate");
        break;
    }
    if (plan.toneMap != ToneMap::None) {
        const char* matrix = t.colorSpace == AVCOL_SPC_BT2020_CL ? "2020_cl"
                             : t.colorSpace == AVCOL_SPC_BT709   ? "709"
                                                                 : "2020_ncl";
        const char* primaries = t.primaries == AVCOL_PRI_BT709 ? "709" : "2020";
        const char* range = t.colorRange == AVCOL_RANGE_JPEG ? "full" : "limited";
        const char* transfer = plan.toneMap == ToneMap::Pq ? "smpte2084" : "arib-std-b67";
        // To linear light (1.0 = SDR white) with BT.709 primaries in one
        // pass, compressed into SDR, and back to BT.709 8-bit limited range numbers. The
        // mobius curve keeps the dark part as it is and bends only what
        // lies above, so a picture graded near SDR white stays near its
        // brightness (hable darkens everything by about a third); desat
        // greys only highlights above twice SDR white.
        steps.push_back(std::string("zscale=tin=") + transfer + ":min=" + matrix + ":pin=" + primaries +
                        ":rin=" + range + ":t=linear:npl=100:p=709");
        steps.push_back("format=gbrpf32le");
        steps.push_back(Printf("tonemap=tonemap=mobius:desat=2:peak=%.4f", plan.peakNits / kSdrWhiteNits));
        steps.push_back("zscale=t=709:m=709:r=limited");
        steps.push_back("format=yuv420p");
    }
    const Orientation& o = plan.orientation;
    if (o.transpose >= 0) steps.push_back("transpose=dir=" + std::to_string(o.transpose));
    if (o.hflip) steps.push_back("hflip");
    if (o.vflip) steps.push_back("vflip");
    std::string text;
    for (const std::string& s : steps) text += (text.empty() ? "" : ",") + s;
    return text;
}

AVRational PlannedRate(const PicturePlan& plan, AVRational fps) {
    if (plan.deinterlace != Deinterlace::InverseTelecine) return fps;
    AVRational r = av_mul_q(fps, AVRational{4, 5});
    av_reduce(&r.num, &r.den, r.num, r.den, INT32_MAX);
    return r;
}

int64_t PlannedCount(const PicturePlan& plan, int64_t frames) {
    if (plan.deinterlace != Deinterlace::InverseTelecine) return frames;
    // Four of every full cycle of five; a cycle cut short by the end keeps
    // all of its pictures.
    return frames / 5 * 4 + frames % 5;
}

double SignalToNits(double e, AVColorTransferCharacteristic transfer) {
    e = std::clamp(e, 0.0, 1.0);
    if (transfer == AVCOL_TRC_SMPTE2084) {
        constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
        constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
        const double p = std::pow(e, 1 / m2);
        return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
    }
    if (transfer == AVCOL_TRC_ARIB_STD_B67) {
        constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
        const double scene = e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
        return 1000 * std::pow(scene, 1.2);  // the system gamma of a 1000-nit display
    }
    return kSdrWhiteNits * std::pow(e, 2.4);
}

double BrightestNits(const AVFrame* f, AVColorTransferCharacteristic transfer, AVColorRange range) {
    if (!PlanarLuma(f) || f->width < 8 || f->height < 8) return -1;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    const int depth = desc->comp[0].depth;
    const bool wide = depth > 8;
    double best = 0;
    for (int by = 0; by + 8 <= f->height; by += 8) {
        for (int bx = 0; bx + 8 <= f->width; bx += 8) {
            int64_t sum = 0;
            for (int y = by; y < by + 8; ++y) {
                const uint8_t* row = f->data[0] + int64_t(y) * f->linesize[0];
                for (int x = bx; x < bx + 8; ++x)
                    sum += wide ? reinterpret_cast<const uint16_t*>(row)[x] >> desc->comp[0].shift : row[x];
            }
            best = std::max(best, double(sum) / 64);
        }
    }
    const double v = best / double(1 << (depth - 8));  // on the 8-bit scale
    const double e = range == AVCOL_RANGE_JPEG ? v / 255 : (v - 16) / 219;
    return SignalToNits(e, transfer);
}

CombCounts CountCombing(const AVFrame* f) {
    CombCounts counts;
    if (!PlanarLuma(f) || f->width < 1 || f->height < 8) return counts;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    // The luma rows on the 8-bit scale: an 8-bit picture's own, a deeper
    // one's narrowed into a copy.
    std::vector<const uint8_t*> rows(size_t(f->height));
    std::vector<uint8_t> narrowed;
    if (desc->comp[0].depth == 8) {
        for (int y = 0; y < f->height; ++y) rows[size_t(y)] = f->data[0] + int64_t(y) * f->linesize[0];
    } else {
        narrowed.resize(size_t(f->width) * size_t(f->height));
        for (int y = 0; y < f->height; ++y) {
            uint8_t* out = narrowed.data() + size_t(y) * size_t(f->width);
            for (int x = 0; x < f->width; ++x) out[x] = uint8_t(std::min(Luma8(f, desc, x, y), 255));
            rows[size_t(y)] = out;
        }
    }
    // A pixel zigzags when both lines next to it lie clearly on the same
    // side of it while the lines twice as far do not follow. Counted with
    // neighbours one line away (the other field) and two lines away (its
    // own field): a progressive picture's thin lines and sharp texture
    // zigzag about as often either way, two fields of different moments
    // add a band of zigzag along every moving edge to the first count
    // only.
    counts.across = CountZigzags(rows.data(), f->height, f->width, 1, kCombThreshold);
    counts.within = CountZigzags(rows.data(), f->height, f->width, 2, kCombThreshold);
    counts.pixels = int64_t(f->width) * f->height;
    return counts;
}

bool LooksCombed(const AVFrame* f) {
    const CombCounts c = CountCombing(f);
    return c.pixels > 0 && c.across > kCombRatio * c.within + c.pixels / kCombShareOf;
}

// ---- looking at the first pictures ----

PictureProber::PictureProber(const PictureTraits& traits)
    : traits_(traits), fields_(traits.fieldOrder == AV_FIELD_UNKNOWN || DeclaredInterlaced(traits.fieldOrder)) {
    if (!fields_) return;  // only the light is asked for
    // idet's view on the field order; without it (no libavfilter to be
    // had, say) the order stays top first.
    af_ = AvFilter(nullptr);
    if (!af_) return;
    graph_ = af_->graphAlloc();
    if (!graph_) return;
    char args[256];
    const AVRational sar = traits.sar.num > 0 && traits.sar.den > 0 ? traits.sar : AVRational{1, 1};
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=%d/%d", traits.width,
                  traits.height, int(traits.format), sar.num, sar.den);
    AVFilterContext* idet = nullptr;
    const AvFilterCalls& af = *af_;
    if (af.graphCreateFilter(&src_, af.getByName("buffer"), "in", args, nullptr, graph_) < 0 ||
        af.graphCreateFilter(&idet, af.getByName("idet"), "idet", nullptr, nullptr, graph_) < 0 ||
        af.graphCreateFilter(&sink_, af.getByName("buffersink"), "out", nullptr, nullptr, graph_) < 0 ||
        af.link(src_, 0, idet, 0) < 0 || af.link(idet, 0, sink_, 0) < 0 || af.graphConfig(graph_, nullptr) < 0) {
        af.graphFree(&graph_);
        src_ = sink_ = nullptr;
    }
}

PictureProber::~PictureProber() {
    if (af_) af_->graphFree(&graph_);
    av_frame_free(&previous_);
}

void PictureProber::ReadIdet(AVFrame* out) {
    auto count = [&](const char* key) {
        const AVDictionaryEntry* e = av_dict_get(out->metadata, key, nullptr, 0);
        return e ? std::atoi(e->value) : 0;
    };
    probe_.topFirst = count("lavfi.idet.multiple.tff");
    probe_.bottomFirst = count("lavfi.idet.multiple.bff");
}

bool PictureProber::Done() const {
    // The light of the first pictures says enough; fields need cycles of
    // five to show a pattern.
    return probe_.frames >= (fields_ ? kFieldProbeFrames : kPeakProbeFrames);
}

void PictureProber::Add(const AVFrame* frame) {
    if (frame->width != traits_.width || frame->height != traits_.height || frame->format != traits_.format) return;
    const int index = probe_.frames++;
    if (IsHdr(traits_.transfer)) {
        const double nits = BrightestNits(frame, traits_.transfer, traits_.colorRange);
        probe_.peakNits = std::max(probe_.peakNits, nits);
    }
    if (!fields_) return;
    bool moving = true;
    if (previous_ && PlanarLuma(frame)) {
        // Mean difference of a sample of luma against the picture before.
        int64_t diff = 0, n = 0;
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
        for (int y = 0; y < frame->height; y += 4)
            for (int x = 0; x < frame->width; x += 4, ++n)
                diff += std::abs(Luma8(frame, desc, x, y) - Luma8(previous_, desc, x, y));
        moving = n > 0 && diff * 2 > n;  // more than half a level on average
        av_frame_free(&previous_);
    }
    previous_ = av_frame_clone(frame);
    if (moving) ++probe_.moving;
    if (LooksCombed(frame)) {
        ++probe_.combed;
        ++probe_.combedAt[index % 5];
    }
    if (src_) {
        AVFrame* copy = av_frame_clone(frame);
        if (!copy) return;
        copy->pts = index;
        if (af_->bufferSrcAddFrame(src_, copy) < 0) {
            av_frame_free(&copy);
            return;
        }
        av_frame_free(&copy);
        AVFrame* out = av_frame_alloc();
        while (out && af_->bufferSinkGetFrame(sink_, out) >= 0) {
            ReadIdet(out);
            av_frame_unref(out);
        }
        av_frame_free(&out);
    }
}

// ---- the chain ----

PictureChain::PictureChain(const PicturePlan& plan, const PictureTraits& traits, AVRational timeBase)
    : plan_(plan), traits_(traits), timeBase_(timeBase) {}

PictureChain::~PictureChain() { Free(); }

void PictureChain::Free() {
    if (af_) af_->graphFree(&graph_);
    src_ = sink_ = nullptr;
}

bool PictureChain::Reset(std::string* error) {
    Free();
    lastPts_ = AV_NOPTS_VALUE;
    std::string why;
    af_ = AvFilter(&why);
    if (!af_) {
        *error = "the picture filters are not to be had: " + why;
        return false;
    }
    const AvFilterCalls& af = *af_;
    graph_ = af.graphAlloc();
    if (!graph_) {
        *error = "allocating the picture filters failed: " + AvError(AVERROR(ENOMEM));
        return false;
    }
    const AVRational sar = traits_.sar.num > 0 && traits_.sar.den > 0 ? traits_.sar : AVRational{1, 1};
    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d:frame_rate=%d/%d",
                  traits_.width, traits_.height, int(traits_.format), timeBase_.num, timeBase_.den, sar.num, sar.den,
                  traits_.fps.num, traits_.fps.den);
    int r = af.graphCreateFilter(&src_, af.getByName("buffer"), "in", args, nullptr, graph_);
    if (r < 0) {
        *error = "setting up the picture filters' input failed: " + AvError(r);
        Free();
        return false;
    }
    r = af.graphCreateFilter(&sink_, af.getByName("buffersink"), "out", nullptr, nullptr, graph_);
    if (r < 0) {
        *error = "setting up the picture filters' output failed: " + AvError(r);
        Free();
        return false;
    }
    const std::string description = FilterDescription(plan_, traits_);
    AVFilterInOut* outputs = af.inoutAlloc();
    AVFilterInOut* inputs = af.inoutAlloc();
    if (!outputs || !inputs) {
        af.inoutFree(&outputs);
        af.inoutFree(&inputs);
        *error = "allocating the picture filters failed: " + AvError(AVERROR(ENOMEM));
        Free();
        return false;
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = src_;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    r = af.graphParsePtr(graph_, description.empty() ? "null" : description.c_str(), &inputs, &outputs, nullptr);
    af.inoutFree(&outputs);
    af.inoutFree(&inputs);
    if (r < 0) {
        *error = "building the picture filters \"" + description + "\" failed: " + AvError(r);
        Free();
        return false;
    }
    r = af.graphConfig(graph_, nullptr);
    if (r < 0) {
        *error = "connecting the picture filters \"" + description + "\" failed: " + AvError(r);
        Free();
        return false;
    }
    width_ = af.bufferSinkGetW(sink_);
    height_ = af.bufferSinkGetH(sink_);
    format_ = AVPixelFormat(af.bufferSinkGetFormat(sink_));
    outTimeBase_ = af.bufferSinkGetTimeBase(sink_);
    return true;
}

bool PictureChain::Push(AVFrame* frame, std::string* error) {
    if (!src_) {
        *error = "the picture filters are not set up";
        return false;
    }
    int r;
    if (!frame) {
        r = af_->bufferSrcAddFrameFlags(src_, nullptr, 0);
    } else {
        // Filters that pair pictures need time stamps that go forward: a
        // picture without one follows the one before by a frame.
        const int64_t step = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(traits_.fps), timeBase_));
        if (frame->pts == AV_NOPTS_VALUE || (lastPts_ != AV_NOPTS_VALUE && frame->pts <= lastPts_))
            frame->pts = lastPts_ == AV_NOPTS_VALUE ? 0 : lastPts_ + step;
        lastPts_ = frame->pts;
        if (plan_.toneMap != ToneMap::None) {
            // What the stream says stands for pictures that say nothing.
            if (frame->color_trc == AVCOL_TRC_UNSPECIFIED) frame->color_trc = traits_.transfer;
            if (frame->color_primaries == AVCOL_PRI_UNSPECIFIED) frame->color_primaries = traits_.primaries;
            if (frame->colorspace == AVCOL_SPC_UNSPECIFIED) frame->colorspace = traits_.colorSpace;
        }
        r = af_->bufferSrcAddFrameFlags(src_, frame, AV_BUFFERSRC_FLAG_KEEP_REF);
    }
    if (r < 0 && r != AVERROR_EOF) {
        *error = "handing a picture to the picture filters failed: " + AvError(r);
        return false;
    }
    return true;
}

int PictureChain::Pull(AVFrame* out, std::string* error) {
    error->clear();
    if (!sink_) {
        *error = "the picture filters are not set up";
        return -1;
    }
    const int r = af_->bufferSinkGetFrame(sink_, out);
    if (r >= 0) return 1;
    if (r == AVERROR(EAGAIN)) return 0;
    if (r != AVERROR_EOF) *error = "the picture filters failed: " + AvError(r);
    return -1;
}

}  // namespace kalvex::avs

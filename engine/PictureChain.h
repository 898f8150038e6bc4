#pragma once
// The corrections a source's pictures need before the script sees them:
// turned upright by the stream's display matrix, deinterlaced, telecined
// film given back as its progressive pictures, HDR tone-mapped to SDR.
// PlanPictures decides from the stream's properties (and, where those are
// missing, from a look at its first pictures); PictureChain applies the
// plan to each decoded picture through a libavfilter graph. A source that
// needs nothing gets no graph.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

struct AVFilterGraph;
struct AVFilterContext;

namespace kalvex::avs {

struct AvFilterCalls;

// What the stream says about its pictures.
struct PictureTraits {
    int width = 0;
    int height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVRational fps{0, 1};
    AVRational sar{0, 1};
    bool hasMatrix = false;
    int32_t matrix[9] = {};  // the display matrix, as FFmpeg stores it
    AVFieldOrder fieldOrder = AV_FIELD_UNKNOWN;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;
    AVColorRange colorRange = AVCOL_RANGE_UNSPECIFIED;
    // Light levels in nits from the file's side data; < 0: not given.
    double maxCll = -1;
    double masteringPeak = -1;
};

// What a look at the first pictures found.
struct PictureProbe {
    int frames = 0;         // pictures looked at
    int moving = 0;         // of these, pictures that differ from the one before
    int combed = 0;         // pictures whose lines do not belong together
    int combedAt[5] = {};   // combed pictures by their place in a cycle of five
    int topFirst = 0;       // idet's votes for the field order
    int bottomFirst = 0;
    double peakNits = -1;   // brightest part of the pictures; < 0: not measured
};

// How the picture is turned for display: a transpose (FFmpeg's transpose
// filter's direction, -1 none) followed by flips.
struct Orientation {
    int rotation = 0;  // degrees counterclockwise as shown: 0, 90, 180, 270
    bool mirrored = false;
    int transpose = -1;
    bool hflip = false;
    bool vflip = false;
    bool SwapsSides() const { return transpose >= 0; }
    bool Turns() const { return transpose >= 0 || hflip || vflip; }
};

enum class Deinterlace { None, Bwdif, InverseTelecine };
enum class ToneMap { None, Pq, Hlg };

struct PicturePlan {
    Orientation orientation;
    Deinterlace deinterlace = Deinterlace::None;
    bool topFieldFirst = true;
    ToneMap toneMap = ToneMap::None;
    double peakNits = 0;
    std::string peakFrom;  // where the peak came from, for the log
    // One line per decision, for the source's log.
    std::vector<std::string> notes;

    bool NeedsGraph() const {
        return orientation.Turns() || deinterlace != Deinterlace::None || toneMap != ToneMap::None;
    }
};

// Pictures looked at when the fields are in question (eight cycles of a
// 3:2 pulldown), and when only the light is.
constexpr int kFieldProbeFrames = 40;
constexpr int kPeakProbeFrames = 10;

// The light levels the tone mapping accepts: below SDR white nothing needs
// compressing; above the PQ ceiling no display exists.
constexpr double kSdrWhiteNits = 100;
constexpr double kPqCeilingNits = 10000;

// The orientation a display matrix asks for. A matrix that only turns by a
// multiple of 90 degrees, maybe mirrored, is honoured; anything else (a
// shear, a scale, another angle) is shown unturned and *note says why.
Orientation OrientationFromMatrix(const int32_t matrix[9], std::string* note);
// Whether the stream's properties leave a question that only its pictures
// answer (field order not given, interlaced video that may be telecined
// film, HDR without a light level).
bool NeedsProbe(const PictureTraits& traits);
// The plan for a source; probe may be null when nothing was looked at.
PicturePlan PlanPictures(const PictureTraits& traits, const PictureProbe* probe);
// The filter graph text between the buffer source and the sink; empty when
// the plan needs no graph.
std::string FilterDescription(const PicturePlan& plan, const PictureTraits& traits);
// The clip's frame rate and length after the plan: inverse telecine gives
// back four pictures of every five.
AVRational PlannedRate(const PicturePlan& plan, AVRational fps);
int64_t PlannedCount(const PicturePlan& plan, int64_t frames);

// Light in nits of a signal value e (0..1) under a transfer.
double SignalToNits(double e, AVColorTransferCharacteristic transfer);
// The brightest part of a picture (the brightest 8x8 block's mean luma,
// so that a single hot pixel does not count), in nits.
double BrightestNits(const AVFrame* frame, AVColorTransferCharacteristic transfer, AVColorRange range);
// Whether a picture's lines do not belong together (the two fields show
// different moments): some part of it zigzags from line to line.
bool LooksCombed(const AVFrame* frame);
// What LooksCombed weighs: the pixels that zigzag against the lines next
// to them (across, the other field's) and against the lines two away
// (within, their own field's), and the picture's size. All zero for a
// picture whose luma is not planar, or of fewer than 8 lines.
struct CombCounts {
    int64_t across = 0;
    int64_t within = 0;
    int64_t pixels = 0;
};
CombCounts CountCombing(const AVFrame* frame);

// Looks at the first pictures of a source: combing per picture, idet's
// view on the field order, and the brightest light.
class PictureProber {
public:
    explicit PictureProber(const PictureTraits& traits);
    ~PictureProber();
    void Add(const AVFrame* frame);
    // Enough pictures were looked at.
    bool Done() const;
    PictureProbe Result() const { return probe_; }

private:
    PictureTraits traits_;
    bool fields_;  // the fields are in question (not only the light)
    PictureProbe probe_;
    const AvFilterCalls* af_ = nullptr;  // set once the library is loaded
    AVFilterGraph* graph_ = nullptr;
    AVFilterContext* src_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    AVFrame* previous_ = nullptr;
    void ReadIdet(AVFrame* out);
};

// The plan's filter graph, fed decoded pictures and giving corrected ones.
class PictureChain {
public:
    PictureChain(const PicturePlan& plan, const PictureTraits& traits, AVRational timeBase);
    ~PictureChain();
    PictureChain(const PictureChain&) = delete;
    PictureChain& operator=(const PictureChain&) = delete;
    // Builds (or rebuilds, forgetting every picture it holds) the graph.
    // False with *error naming the step and the library's words.
    bool Reset(std::string* error);
    // Hands a picture in (null: no more come). False on failure.
    bool Push(AVFrame* frame, std::string* error);
    // A corrected picture: 1 got one, 0 needs more input, -1 ended or
    // failed (*error empty at the end).
    int Pull(AVFrame* out, std::string* error);
    int Width() const { return width_; }
    int Height() const { return height_; }
    AVPixelFormat Format() const { return format_; }
    AVRational OutputTimeBase() const { return outTimeBase_; }
    // Pictures depend on their neighbours: none may be skipped on the way.
    bool Temporal() const { return plan_.deinterlace != Deinterlace::None; }
    // Frames before a wanted one that must go through the chain first for
    // it to come out as in a reading from the start: bwdif looks one
    // picture back, field matching and decimation two cycles of five.
    int LeadFrames() const {
        return plan_.deinterlace == Deinterlace::InverseTelecine ? 10 : plan_.deinterlace == Deinterlace::Bwdif ? 2 : 0;
    }

private:
    void Free();
    PicturePlan plan_;
    PictureTraits traits_;
    AVRational timeBase_;
    const AvFilterCalls* af_ = nullptr;  // set once the library is loaded
    AVFilterGraph* graph_ = nullptr;
    AVFilterContext* src_ = nullptr;
    AVFilterContext* sink_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    AVRational outTimeBase_{1, 1};
    int64_t lastPts_ = AV_NOPTS_VALUE;
};

}  // namespace kalvex::avs

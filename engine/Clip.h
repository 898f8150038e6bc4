#pragma once
// The clip chain of the script engine. Every script line makes a clip that
// answers "frame n" and "audio samples [start, start + count)", usually by
// asking the clip before it. Frames are FFmpeg frames passed by reference:
// a filter that does not change the picture hands its input on unchanged.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/Options.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

namespace kalvex::avs {

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::shared_ptr<AVFrame>;
FramePtr WrapFrame(AVFrame* frame);  // takes ownership

// Thrown while a script is evaluated; the text becomes the file's error.
struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Thrown while a clip is read when its sound cannot be delivered at all (the
// source's sound track exists but cannot be decoded or converted). The text
// names the source, the step and the library's own words; the read fails
// with it rather than handing out silence as if it were the sound.
struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Thrown while a picture is read when its reader gave it up (see
// OpenOptions::stopVideo). Nothing is wrong with the source: the next read
// starts afresh.
struct ReadAbandoned : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ClipInfo {
    // Video
    bool hasVideo = false;
    int width = 0;
    int height = 0;
    AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
    // What the picture's numbers mean: the matrix and range the source
    // declares (unspecified when it says nothing). A filter that converts
    // the numbers sets what its output holds.
    AVColorSpace colorSpace = AVCOL_SPC_UNSPECIFIED;
    AVColorRange colorRange = AVCOL_RANGE_UNSPECIFIED;
    AVRational fps{0, 1};  // frames per second as a fraction
    int64_t frameCount = 0;
    // Audio: always signed 16-bit interleaved samples.
    bool hasAudio = false;
    int sampleRate = 0;
    int channels = 0;
    int64_t sampleCount = 0;

    int BytesPerSample() const { return 2 * channels; }
    // The first audio sample of frame n (AviSynth's rule, truncating).
    int64_t SamplesFromFrames(int64_t frames) const;
};

class Clip {
public:
    virtual ~Clip() = default;
    const ClipInfo& Info() const { return info_; }
    // Frame n, clamped into [0, frameCount - 1]. Never null for a clip with
    // video and at least one frame. A frame the source could not deliver (a
    // file cut short, a decoding failure) comes as a stand-in picture whose
    // flags carry AV_FRAME_FLAG_CORRUPT; every filter that makes a new
    // picture from such an input marks its result the same way.
    virtual FramePtr GetFrame(int64_t n) = 0;
    // Fills count samples (count x channels values) starting at sample
    // start; samples outside the clip's audio are silence. Throws ReadError
    // when the sound cannot be delivered.
    virtual void GetAudio(int16_t* buffer, int64_t start, int64_t count) = 0;

protected:
    ClipInfo info_;
};
using ClipPtr = std::shared_ptr<Clip>;

// True for the planar 8-bit 4:2:0 layouts that are delivered as YV12.
bool IsYV12(AVPixelFormat format);
// A frame of the given size and format with fresh buffers.
FramePtr NewFrame(int width, int height, AVPixelFormat format);
// A black frame (Y 16, U and V 128 for YUV layouts, zeros otherwise; Y 0
// when the range is full).
FramePtr BlackFrame(int width, int height, AVPixelFormat format, AVColorRange range = AVCOL_RANGE_MPEG);
// FFmpeg's own text for an error code, for the log and the file's error.
std::string AvError(int code);
// Hands one line of the engine's own diagnostics (a subtitle picture that
// does not decode, libass's errors) to the sink set with
// SetEngineMessageSink (Engine.h); dropped without one. The engine never
// prints.
void EngineMessage(const std::string& line);

// Script functions, each returning the new clip. The source reads the
// opener's options from the context and reports its findings into it.
// soundTrack: the sound track to play, numbered from 1 as in Tracks.h; 0 the
// file's default (see DefaultSoundTrack).
ClipPtr DirectShowSource(const std::string& path, EvalContext& context, int soundTrack = 0);
ClipPtr ConvertToYV12(ClipPtr child);
ClipPtr ChangeFPS(ClipPtr child, AVRational fps);
ClipPtr Trim(ClipPtr child, int64_t first, int64_t last);
ClipPtr ResampleAudio(ClipPtr child, int rate);
ClipPtr AddBorders(ClipPtr child, int left, int top, int right, int bottom);
ClipPtr BicubicResize(ClipPtr child, int width, int height);
// Scaling with the sharper three-lobe Lanczos kernel (libswscale's, three
// taps); otherwise as BicubicResize.
ClipPtr LanczosResize(ClipPtr child, int width, int height);

// The rate meant by a "%f" frame-rate text: 29.970030 is 30000/1001,
// 23.976024 is 24000/1001, 25.000000 is 25/1.
AVRational RateFromDouble(double fps);

}  // namespace kalvex::avs

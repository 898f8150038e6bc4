#pragma once
#include <cstdint>
#include <string>

#include "convert/ConvertSettings.h"
#include "convert/ConvertProgress.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// The sample rate of the silent track of a source without sound when the
// settings keep the source's own rate.
inline constexpr int kSilentTrackRate = 48000;

// One file to encode: the entry, the final output path, the bit rates in
// bit/s and the output settings (muxer, picture size, frame and sample
// rate) as they were when the run started.
struct EncodeRequest {
    VideoFileEntry entry;
    TrackChoice tracks;  // the sound and embedded subtitle tracks of the entry
    std::string outputPath;
    int videoBitrate = 400000;
    int audioBitrate = 96000;
    ConvertSettings settings;
};

// The run's side of an encoding: asked before every picture.
class EncodeControl {
public:
    virtual ~EncodeControl() = default;
    // Waits while the run is paused; false when it was stopped. framesDone
    // of totalFrames pictures are written so far.
    virtual bool Proceed(long framesDone, long totalFrames) = 0;
};

// What became of the file (FileResult without its place in the run).
struct EncodeResult {
    FileOutcome outcome = FileOutcome::Failed;
    std::string reason;
    FailureKind failure = FailureKind::None;
    long framesWritten = 0;
    long unreadableFrames = 0;
    std::string failureDetail;  // the engine's own text for SourceNotOpened
};

// Encodes one entry into a PSP MP4 file: the conversion script of the entry
// is written and read with a SourceReader, its YV12 pictures go to an
// MPEG-4 Part 2 (Simple Profile) encoder, or with the AVC codec to libx264
// (Main Profile, level 2.1), and its 16-bit sound to an AAC-LC encoder,
// interleaved by presentation time. The file carries the PSP's title box
// with the source's title (else its file title), and a converted file gets
// a thumbnail beside it (ThumbnailPath, made from the picture at 10 % of
// the running time, or the next one that is not black); a thumbnail that
// cannot be written is logged and does not fail the file.
//
// The file is written under a temporary name in the output folder and only
// renamed to outputPath when it is complete and on the disk, so a failure,
// a stop or a kill never leaves a partial file under the final name nor
// touches an earlier file of that name. Converted: the output is complete.
// Stopped: the run was stopped before the end; nothing is left. Failed: the
// reason says why; nothing is left.
//
// A source without a sound track gets a silent stereo AAC track as long as
// its pictures (at the settings' sample rate, else kSilentTrackRate); sound
// that is there but cannot be read fails the file.
//
// A picture the source cannot deliver repeats the last good one and is
// counted; when more than 1 % of the pictures (or every picture) could not
// be read, the file fails with that count as its reason.
EncodeResult EncodeToPsp(const EncodeRequest& request, EncodeControl& control);

// A steady millisecond clock (the system tick count).
uint64_t TickCount();

// The codec time base for a frame rate r: 1/r for a whole rate, otherwise
// 1001/((trunc(r) + 1) * 1000), every fractional rate being taken as the
// 1000/1001 rate of the next whole number.
struct TimeBase {
    int num;
    int den;
};
TimeBase VideoTimeBase(double rate);

// Whether the muxer's video stream gets the global-header flag.
bool MuxerWantsGlobalHeader(const std::string& muxerName);

// Whether `unreadable` pictures of `total` fail a file: more than 1 %, or
// all of them.
bool TooManyUnreadable(long unreadable, long total);

// The libavcodec encoder AVC output is made with ("libx264"). A name the
// libraries do not know makes AVC output fail with that reason, as a build
// of FFmpeg without libx264 does.
std::string& AvcEncoderName();

// H.264 level 2.1, the level the PSP decodes: at most 792 macroblocks of
// 16x16 in a picture and 19800 in a second.
constexpr int kAvcLevel21FrameMacroblocks = 792;
constexpr int kAvcLevel21MacroblockRate = 19800;
// Whether pictures of width x height at `rate` pictures a second fit it.
bool FitsAvcLevel21(int width, int height, double rate);

}  // namespace kalvex

#pragma once
#include <cstdint>
#include <string>

#include "convert/ManualResetEvent.h"
#include "convert/ProgressTargets.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// Messages of a conversion run.
constexpr unsigned WM_CONVERT_FINISHED = WM_USER + 100;  // wParam: result of the last file (1/0)
constexpr unsigned WM_CONVERT_TICK = WM_USER + 102;      // about once a second, to the tick window

// Encodes one entry into a PSP MP4 file at outputPath: the conversion script
// of the entry is written and read with a SourceReader, its YV12 pictures go
// to an MPEG-4 Part 2 (Simple Profile) encoder and its 16-bit sound to an
// AAC-LC encoder, interleaved by presentation time. The muxer, the picture
// size, the frame rate and the sample rate come from AppSettings.convert.
//
// True when the output file was written to its end, also when the run was
// stopped part-way (a valid, shorter file). False when the file failed: the
// reason is in the program log, and no output file is left behind.
bool EncodeToPsp(VideoFileEntry entry, const std::string& outputPath, int videoBitrate, int audioBitrate,
                 ProgressTargets targets, ManualResetEvent& stopEvent, ManualResetEvent& runEvent);

// The progress check made before every frame: waits while the run is paused,
// returns false when it was stopped; sets the frame bar every call and, at
// most once a second, the title, status, elapsed and estimate texts, then
// posts WM_CONVERT_TICK.
bool ReportProgress(ManualResetEvent& runEvent, ManualResetEvent& stopEvent, const ProgressTargets& targets,
                    long totalFrames, uint64_t startTick, const std::string& fileName, long framesDone);

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

// Makes the next progress check refresh the texts whatever the time of the
// last refresh (which is otherwise shared by every file and run).
void ForgetLastTextUpdate();

// Frames encoded by the encoder so far (reset at the start of every file).
long FramesEncoded();

}  // namespace kalvex

#pragma once
// The playback object of the Video Files page: one GStreamer pipeline around
// the preview source, with run, pause, stop, seek, position and its events.
// No widgets: each picture is handed out as plain data (PreviewFrame) at its
// time on the pipeline clock, and the window side draws it.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "convert/ConvertSettings.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"
#include "preview/PreviewFrame.h"
#include "preview/PreviewSource.h"

namespace kalvex {

// Event codes handed out by NextEvent.
constexpr int EC_COMPLETE = 1;     // the movie played to its end
constexpr int EC_USERABORT = 2;
constexpr int EC_ERRORABORT = 3;   // the pipeline stopped with an error (logged)

// The pixel layout the picture sink asks videoconvert for: 32-bit words
// 0xffRRGGBB in the machine's byte order.
constexpr GstVideoFormat kPictureFormat =
    G_BYTE_ORDER == G_LITTLE_ENDIAN ? GST_VIDEO_FORMAT_BGRx : GST_VIDEO_FORMAT_xRGB;

// Turns the samples of the picture sink into frames. The layout of the
// caps is read again only when the caps change, so a picture size that
// changes mid-stream gives frames of the new size from its first sample.
class PictureReader {
public:
    PictureReader() = default;
    ~PictureReader();
    PictureReader(const PictureReader&) = delete;
    PictureReader& operator=(const PictureReader&) = delete;
    // The sample's picture (the frame keeps the buffer mapped while it
    // lives), or null for a sample without a readable picture.
    FramePtr Read(GstSample* sample);

private:
    GstCaps* caps_ = nullptr;
    GstVideoInfo info_{};
    bool complained_ = false;  // one log record, not one per picture
};

class GraphHelper {
public:
    // Makes the element chain that renders pin 0 (video) or pin 1 (audio); it
    // must have one unlinked sink pad. A factory that answers null for a pin
    // leaves that pin its default: "videoconvert ! appsink" (the picture
    // sink, whose pictures go to the frame callback) and "audioconvert !
    // audioresample ! autoaudiosink". Tests and the bench put fakesink or
    // appsink here.
    using SinkFactory = std::function<GstElement*(int pin)>;
    static void SetSinkFactory(SinkFactory factory);

    // Called on a streaming thread with every picture when it is due on the
    // pipeline clock, and with the first picture at a new position while
    // paused (after a start or a seek), so a paused movie shows where it
    // stands.
    using FrameCallback = std::function<void(FramePtr)>;

    GraphHelper();
    ~GraphHelper();
    GraphHelper(const GraphHelper&) = delete;
    GraphHelper& operator=(const GraphHelper&) = delete;

    bool CreateGraph();
    // Writes the entry's preview script with the given output settings and
    // track choice and opens it.
    bool OpenPreview(VideoFileEntry entry, const ConvertSettings& settings, const TrackChoice& tracks = {});
    // The part of OpenPreview after the script is written.
    bool OpenScript(const std::string& scriptPath);

    // Where the pictures go; set before Run. Safe to call at any time.
    void SetFrameCallback(FrameCallback callback);
    // The last picture handed out, null before the first.
    FramePtr LatestFrame() const;

    // notify: called (from any thread) when an event waits for NextEvent.
    bool Run(std::function<void()> notify = nullptr);
    void Pause();
    bool Stop();
    // Moves the graph to time (negative: 0). While paused, a seek to the
    // place the graph was last moved to answers true without moving it again.
    bool Seek(int64_t time);
    bool CurrentPosition(int64_t* time);
    // The next waiting event's code, 0 when none waits.
    int NextEvent();

    bool Playing() const { return playing_; }
    const std::string& MoviePath() const { return moviePath_; }
    CPreviewSource* Source() const { return source_.get(); }
    GstElement* Pipeline() const { return pipeline_; }
    int VideoWidth() const;
    int VideoHeight() const;
    // Waits up to timeoutMs for a pending state change (bench, tests).
    bool WaitForState(int timeoutMs);

private:
    static GstBusSyncReply OnBusMessage(GstBus* bus, GstMessage* message, gpointer self);
    static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer self);
    static GstFlowReturn OnNewPreroll(GstAppSink* sink, gpointer self);
    GstElement* PictureChain();
    void Deliver(GstSample* sample);
    void Render(int pin);
    void Release();
    void ForgetPlace();  // not paused, no place sought to

    std::string moviePath_;
    bool playing_ = false;
    bool paused_ = false;  // Pause was called since the graph last ran
    // While paused: the place the last seek moved the graph to; -1 while it
    // runs, and after a pause until a seek. A second seek to that place (the
    // end of a slider drag seeks to where the drag left it) would flush and
    // decode the same picture again for nothing.
    int64_t pausedAt_ = -1;
    GstElement* pipeline_ = nullptr;
    GstBus* bus_ = nullptr;
    std::unique_ptr<CPreviewSource> source_;
    std::mutex notifyLock_;  // the bus handler reads notify_ on a streaming thread
    std::function<void()> notify_;

    // The pictures: read and handed out on the picture sink's streaming
    // thread, read by the window thread.
    mutable std::mutex frameLock_;
    PictureReader reader_;
    FramePtr latest_;
    FrameCallback frameCallback_;
};

}  // namespace kalvex

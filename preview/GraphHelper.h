#pragma once
// The playback object of the Video Files page: one GStreamer pipeline around
// the preview source, with run, pause, stop, seek, position, full screen and
// its events. No widgets: the picture goes into a native window given by id.
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "convert/ConvertSettings.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"
#include "preview/PreviewSource.h"

namespace kalvex {

// Event codes handed out by NextEvent.
constexpr int EC_COMPLETE = 1;     // the movie played to its end
constexpr int EC_USERABORT = 2;
constexpr int EC_ERRORABORT = 3;   // the pipeline stopped with an error (logged)

// A rectangle in a window's client coordinates.
struct VideoRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool operator==(const VideoRect&) const = default;
};

// The picture's place inside an area of w x h: as wide as the area, its
// height from the video's shape, centred vertically when that leaves room;
// otherwise the whole area.
VideoRect LetterboxRect(int areaWidth, int areaHeight, int videoWidth, int videoHeight);

class GraphHelper {
public:
    // Makes the element chain that renders pin 0 (video) or pin 1 (audio); it
    // must have one unlinked sink pad. The default is "videoconvert !
    // autovideosink" and "audioconvert ! audioresample ! autoaudiosink".
    // Tests and the bench put fakesink or appsink here.
    using SinkFactory = std::function<GstElement*(int pin)>;
    static void SetSinkFactory(SinkFactory factory);

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

    // Puts the picture into the native window `window` (an X11 window id)
    // whose client area is width x height, letterboxed. False without video.
    bool SetVideoWindow(guintptr window, int width, int height);
    // The window that full-screen playback shows the picture in.
    void SetFullScreenWindow(guintptr window, int width, int height);

    // notify: called (from any thread) when an event waits for NextEvent.
    bool Run(std::function<void()> notify = nullptr);
    void Pause();
    bool Stop();
    bool Seek(int64_t time);
    bool CurrentPosition(int64_t* time);
    void FullScreen(bool on);
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
    void Render(int pin);
    void ApplyWindow();
    void Release();

    std::string moviePath_;
    bool playing_ = false;
    GstElement* pipeline_ = nullptr;
    GstBus* bus_ = nullptr;
    std::unique_ptr<CPreviewSource> source_;
    std::mutex notifyLock_;  // the bus handler reads notify_ on a streaming thread
    std::function<void()> notify_;

    // Where the picture goes; guarded by the object lock of the pipeline,
    // since the sink asks from its streaming thread.
    GstElement* overlay_ = nullptr;
    guintptr window_ = 0;
    int windowWidth_ = 0, windowHeight_ = 0;
    guintptr fullWindow_ = 0;
    int fullWidth_ = 0, fullHeight_ = 0;
    bool fullScreen_ = false;
};

}  // namespace kalvex

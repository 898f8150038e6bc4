#include "preview/GraphHelper.h"

#include <gst/video/videooverlay.h>

#include <cinttypes>
#include <mutex>

#include "common/ProgramLog.h"
#include "media/ScriptBuilder.h"

namespace kalvex {

namespace {

std::mutex gFactoryLock;
GraphHelper::SinkFactory gFactory;

// One failure record: the time, the message, where it happened and the
// result (GStreamer's own text when there is one).
void LogGraphError(const char* message, const char* file, int line, const char* result) {
    LogTimestamp();
    LogLine("%s", message);
    LogSource(file, line);
    LogLine("Result: %s", result ? result : "failed");
}
#define GRAPH_ERROR(message, result) LogGraphError((message), __FILE__, __LINE__, (result))

GstElement* DefaultChain(int pin) {
    const char* description =
        pin == 0 ? "videoconvert ! autovideosink" : "audioconvert ! audioresample ! autoaudiosink";
    GError* error = nullptr;
    GstElement* chain = gst_parse_bin_from_description(description, TRUE, &error);
    if (!chain) {
        GRAPH_ERROR(pin == 0 ? "ERR: video renderer could not be made." : "ERR: audio renderer could not be made.",
                    error ? error->message : nullptr);
        if (error) g_error_free(error);
    } else if (error) {
        g_error_free(error);
    }
    return chain;
}

}  // namespace

VideoRect LetterboxRect(int areaWidth, int areaHeight, int videoWidth, int videoHeight) {
    VideoRect r{0, 0, areaWidth, areaHeight};
    if (videoWidth <= 0 || videoHeight <= 0) return r;
    const int displayed = int(double(areaWidth) / (double(videoWidth) / double(videoHeight)));
    if (displayed < areaHeight) {
        const int gap = (areaHeight - displayed) / 2;
        r.top += gap;
        r.bottom -= gap;
    }
    return r;
}

void GraphHelper::SetSinkFactory(SinkFactory factory) {
    std::lock_guard g(gFactoryLock);
    gFactory = std::move(factory);
}

GraphHelper::GraphHelper() { EnsureGStreamer(); }

GraphHelper::~GraphHelper() { Release(); }

void GraphHelper::Release() {
    if (pipeline_) {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        if (bus_) gst_bus_set_sync_handler(bus_, nullptr, nullptr, nullptr);
    }
    if (bus_) gst_object_unref(bus_);
    bus_ = nullptr;
    if (overlay_) gst_object_unref(overlay_);
    overlay_ = nullptr;
    if (pipeline_) gst_object_unref(pipeline_);
    pipeline_ = nullptr;
    // The pipeline held the source's bin; the source goes last, with its reader.
    source_.reset();
    playing_ = false;
}

bool GraphHelper::CreateGraph() {
    Release();
    pipeline_ = gst_pipeline_new("KalvexPreview");
    if (!pipeline_) {
        GRAPH_ERROR("ERR: Create Graph Builder failed.", nullptr);
        return false;
    }
    gst_object_ref_sink(pipeline_);
    bus_ = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
    if (!bus_) {
        GRAPH_ERROR("ERR : failed to get mediaeventex interface.", nullptr);
        Release();
        return false;
    }
    gst_bus_set_sync_handler(bus_, &GraphHelper::OnBusMessage, this, nullptr);
    return true;
}

bool GraphHelper::OpenPreview(VideoFileEntry entry, const ConvertSettings& settings, const TrackChoice& tracks) {
    moviePath_ = FieldText(entry.fullPath);
    playing_ = false;
    if (!CreateGraph()) return false;
    std::string script;
    if (!WriteScript(entry, ScriptVariant::Preview, settings, &script, tracks)) {
        LogLine("Preview: the script for %s could not be written.", moviePath_.c_str());
        return false;
    }
    return OpenScript(script);
}

bool GraphHelper::OpenScript(const std::string& scriptPath) {
    if (!pipeline_ && !CreateGraph()) return false;
    HRESULT hr = E_FAIL;
    source_.reset(new CPreviewSource(nullptr, &hr, scriptPath));
    if (FAILED(hr) || source_->PinCount() < 2) {
        source_.reset();
        return false;
    }
    GstElement* bin = source_->Bin();
    gst_element_set_name(bin, "OmbrasilPreview");
    if (!gst_bin_add(GST_BIN(pipeline_), bin)) {
        GRAPH_ERROR("ERR: the preview source could not join the graph.", nullptr);
        return false;
    }
    Render(0);
    Render(1);
    return true;
}

void GraphHelper::Render(int pin) {
    SinkFactory factory;
    {
        std::lock_guard g(gFactoryLock);
        factory = gFactory;
    }
    GstElement* chain = factory ? factory(pin) : DefaultChain(pin);
    if (!chain) return;
    gst_bin_add(GST_BIN(pipeline_), chain);
    GstPad* sink = gst_element_get_static_pad(chain, "sink");
    if (!sink) {
        // A chain made by hand: its first element's sink pad.
        GstIterator* it = gst_element_iterate_sink_pads(chain);
        GValue item = G_VALUE_INIT;
        if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) sink = GST_PAD(g_value_dup_object(&item));
        g_value_unset(&item);
        gst_iterator_free(it);
    }
    const GstPadLinkReturn linked = sink ? gst_pad_link(source_->OutputPad(pin), sink) : GST_PAD_LINK_REFUSED;
    if (sink) gst_object_unref(sink);
    if (linked != GST_PAD_LINK_OK)
        GRAPH_ERROR(pin == 0 ? "ERR: video pin could not be rendered." : "ERR: audio pin could not be rendered.",
                    gst_pad_link_get_name(linked));
    gst_element_sync_state_with_parent(chain);
}

int GraphHelper::VideoWidth() const { return source_ ? source_->Reader()->Width() : 0; }
int GraphHelper::VideoHeight() const { return source_ ? source_->Reader()->Height() : 0; }

bool GraphHelper::SetVideoWindow(guintptr window, int width, int height) {
    if (!source_) return false;
    GST_OBJECT_LOCK(pipeline_);
    window_ = window;
    windowWidth_ = width;
    windowHeight_ = height;
    GST_OBJECT_UNLOCK(pipeline_);
    ApplyWindow();
    return true;
}

void GraphHelper::SetFullScreenWindow(guintptr window, int width, int height) {
    if (!pipeline_) return;
    GST_OBJECT_LOCK(pipeline_);
    fullWindow_ = window;
    fullWidth_ = width;
    fullHeight_ = height;
    GST_OBJECT_UNLOCK(pipeline_);
}

// Hands the current target window and the letterboxed rectangle to the
// video sink, once it has asked for a window.
void GraphHelper::ApplyWindow() {
    if (!pipeline_) return;
    GST_OBJECT_LOCK(pipeline_);
    GstElement* overlay = overlay_ ? GST_ELEMENT(gst_object_ref(overlay_)) : nullptr;
    const bool full = fullScreen_ && fullWindow_;
    const guintptr window = full ? fullWindow_ : window_;
    const int w = full ? fullWidth_ : windowWidth_, h = full ? fullHeight_ : windowHeight_;
    GST_OBJECT_UNLOCK(pipeline_);
    if (!overlay) return;
    if (window) {
        const VideoRect r = LetterboxRect(w, h, VideoWidth(), VideoHeight());
        gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(overlay), window);
        gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(overlay), r.left, r.top, r.Width(), r.Height());
        gst_video_overlay_expose(GST_VIDEO_OVERLAY(overlay));
    }
    gst_object_unref(overlay);
}

GstBusSyncReply GraphHelper::OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* self = static_cast<GraphHelper*>(data);
    if (gst_is_video_overlay_prepare_window_handle_message(message)) {
        GstElement* sink = GST_ELEMENT(GST_MESSAGE_SRC(message));
        GST_OBJECT_LOCK(self->pipeline_);
        if (self->overlay_) gst_object_unref(self->overlay_);
        self->overlay_ = GST_ELEMENT(gst_object_ref(sink));
        const bool full = self->fullScreen_ && self->fullWindow_;
        const guintptr window = full ? self->fullWindow_ : self->window_;
        const int w = full ? self->fullWidth_ : self->windowWidth_;
        const int h = full ? self->fullHeight_ : self->windowHeight_;
        GST_OBJECT_UNLOCK(self->pipeline_);
        if (window) {
            const VideoRect r = LetterboxRect(w, h, self->VideoWidth(), self->VideoHeight());
            gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(sink), window);
            gst_video_overlay_set_render_rectangle(GST_VIDEO_OVERLAY(sink), r.left, r.top, r.Width(), r.Height());
        }
        gst_message_unref(message);
        return GST_BUS_DROP;
    }
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
        case GST_MESSAGE_ERROR: {
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                GError* error = nullptr;
                gchar* debug = nullptr;
                gst_message_parse_error(message, &error, &debug);
                LogLine("Preview playback error from %s: %s", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                        error ? error->message : "unknown");
                if (error) g_error_free(error);
                g_free(debug);
            }
            // Kept on the bus for NextEvent; the window is told to look.
            std::function<void()> notify;
            {
                std::lock_guard g(self->notifyLock_);
                notify = self->notify_;
            }
            if (notify) notify();
            return GST_BUS_PASS;
        }
        default:
            // Nothing else is read; dropping it keeps the bus from filling up.
            gst_message_unref(message);
            return GST_BUS_DROP;
    }
}

bool GraphHelper::Run(std::function<void()> notify) {
    if (!pipeline_) return false;
    if (notify) {
        std::lock_guard g(notifyLock_);
        notify_ = std::move(notify);
    }
    const GstStateChangeReturn r = gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    if (r == GST_STATE_CHANGE_FAILURE) {
        GRAPH_ERROR("ERR: run the graph failed.", "state change to PLAYING failed");
        return false;
    }
    playing_ = true;
    return true;
}

void GraphHelper::Pause() {
    if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_PAUSED);
}

bool GraphHelper::Stop() {
    if (!pipeline_) return false;
    Seek(0);
    if (gst_element_set_state(pipeline_, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) playing_ = false;
    return true;
}

bool GraphHelper::Seek(int64_t time) {
    if (!pipeline_) return false;
    if (time < 0) time = 0;
    const gboolean ok = gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                                                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                                time * kNsPerUnit);
    if (!ok) {
        char result[64];
        std::snprintf(result, sizeof result, "seek to %" PRId64 " refused", time);
        GRAPH_ERROR("Seek movie failed.", result);
    }
    return ok;
}

bool GraphHelper::CurrentPosition(int64_t* time) {
    if (!pipeline_ || !time) return false;
    gint64 position = 0;
    if (!gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position) || position < 0) return false;
    *time = position / kNsPerUnit;
    return true;
}

void GraphHelper::FullScreen(bool on) {
    if (!pipeline_) return;
    GST_OBJECT_LOCK(pipeline_);
    fullScreen_ = on;
    GST_OBJECT_UNLOCK(pipeline_);
    ApplyWindow();
}

int GraphHelper::NextEvent() {
    if (!bus_) return 0;
    GstMessage* message = gst_bus_pop_filtered(bus_, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (!message) return 0;
    const int code = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS ? EC_COMPLETE : EC_ERRORABORT;
    gst_message_unref(message);
    return code;
}

bool GraphHelper::WaitForState(int timeoutMs) {
    if (!pipeline_) return false;
    return gst_element_get_state(pipeline_, nullptr, nullptr, GstClockTime(timeoutMs) * GST_MSECOND) ==
           GST_STATE_CHANGE_SUCCESS;
}

}  // namespace kalvex

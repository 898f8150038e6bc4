#include "preview/GraphHelper.h"

#include <cinttypes>
#include <cmath>
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

GstElement* DefaultAudioChain() {
    const char* description = "audioconvert ! audioresample ! autoaudiosink";
    GError* error = nullptr;
    GstElement* chain = gst_parse_bin_from_description(description, TRUE, &error);
    if (!chain) {
        GRAPH_ERROR("ERR: audio renderer could not be made.", error ? error->message : nullptr);
        if (error) g_error_free(error);
    } else if (error) {
        g_error_free(error);
    }
    return chain;
}

// A mapped picture buffer; unmapping it gives the buffer back.
struct MappedPicture {
    GstVideoFrame frame{};
    bool mapped = false;
    ~MappedPicture() {
        if (mapped) gst_video_frame_unmap(&frame);
    }
};

}  // namespace

PictureReader::~PictureReader() {
    if (caps_) gst_caps_unref(caps_);
}

FramePtr PictureReader::Read(GstSample* sample) {
    GstCaps* caps = sample ? gst_sample_get_caps(sample) : nullptr;
    GstBuffer* buffer = sample ? gst_sample_get_buffer(sample) : nullptr;
    if (!caps || !buffer) return nullptr;
    if (!caps_ || !gst_caps_is_equal(caps, caps_)) {
        GstVideoInfo info;
        if (!gst_video_info_from_caps(&info, caps) || GST_VIDEO_INFO_FORMAT(&info) != kPictureFormat) {
            if (!complained_) {
                gchar* text = gst_caps_to_string(caps);
                GRAPH_ERROR("ERR: the preview picture has a layout that cannot be drawn.", text);
                g_free(text);
                complained_ = true;
            }
            return nullptr;
        }
        info_ = info;
        gst_caps_replace(&caps_, caps);
    }
    auto mapped = std::make_shared<MappedPicture>();
    if (!gst_video_frame_map(&mapped->frame, &info_, buffer, GST_MAP_READ)) {
        // A buffer smaller than its caps say: nothing is read from it.
        if (!complained_) {
            GRAPH_ERROR("ERR: a preview picture could not be read.", "buffer smaller than its layout");
            complained_ = true;
        }
        return nullptr;
    }
    mapped->mapped = true;
    auto f = std::make_shared<PreviewFrame>();
    f->width = GST_VIDEO_FRAME_WIDTH(&mapped->frame);
    f->height = GST_VIDEO_FRAME_HEIGHT(&mapped->frame);
    f->stride = GST_VIDEO_FRAME_PLANE_STRIDE(&mapped->frame, 0);
    f->parN = GST_VIDEO_INFO_PAR_N(&info_);
    f->parD = GST_VIDEO_INFO_PAR_D(&info_);
    f->time = GST_BUFFER_PTS_IS_VALID(buffer) ? int64_t(GST_BUFFER_PTS(buffer) / kNsPerUnit) : -1;
    f->pixels = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&mapped->frame, 0));
    f->memory = std::move(mapped);
    return f;
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
    {
        // The streaming threads have ended: no picture comes any more.
        std::lock_guard g(frameLock_);
        latest_.reset();
    }
    if (pipeline_) gst_object_unref(pipeline_);
    pipeline_ = nullptr;
    // The pipeline held the source's bin; the source goes last, with its reader.
    source_.reset();
    playing_ = false;
    ForgetPlace();
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
    GstElement* chain = factory ? factory(pin) : nullptr;
    if (!chain) chain = pin == 0 ? PictureChain() : DefaultAudioChain();
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

// videoconvert into an appsink that hands each picture out at its time:
// sync keeps the pipeline clock (the audio sink's) the master, and the
// pictures are pulled in the sink's own callbacks, so none wait in a queue.
GstElement* GraphHelper::PictureChain() {
    GstElement* bin = gst_bin_new("PictureSink");
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", "picturesink");
    if (!bin || !convert || !sink) {
        GRAPH_ERROR("ERR: video renderer could not be made.", !convert ? "no videoconvert" : "no appsink");
        if (bin) gst_object_unref(gst_object_ref_sink(bin));
        if (convert) gst_object_unref(gst_object_ref_sink(convert));
        if (sink) gst_object_unref(gst_object_ref_sink(sink));
        return nullptr;
    }
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                        gst_video_format_to_string(kPictureFormat), nullptr);
    g_object_set(sink, "caps", caps, "sync", TRUE, "max-buffers", 1u, "drop", TRUE, "enable-last-sample", FALSE,
                 nullptr);
    gst_caps_unref(caps);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &GraphHelper::OnNewSample;
    callbacks.new_preroll = &GraphHelper::OnNewPreroll;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_bin_add_many(GST_BIN(bin), convert, sink, nullptr);
    gst_element_link(convert, sink);
    GstPad* pad = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", pad));
    gst_object_unref(pad);
    return bin;
}

GstFlowReturn GraphHelper::OnNewSample(GstAppSink* sink, gpointer self) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    static_cast<GraphHelper*>(self)->Deliver(sample);
    if (sample) gst_sample_unref(sample);
    return GST_FLOW_OK;
}

GstFlowReturn GraphHelper::OnNewPreroll(GstAppSink* sink, gpointer self) {
    GstSample* sample = gst_app_sink_pull_preroll(sink);
    static_cast<GraphHelper*>(self)->Deliver(sample);
    if (sample) gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void GraphHelper::Deliver(GstSample* sample) {
    FrameCallback callback;
    FramePtr frame;
    {
        std::lock_guard g(frameLock_);
        frame = reader_.Read(sample);
        if (!frame) return;
        latest_ = frame;
        callback = frameCallback_;
    }
    if (callback) callback(std::move(frame));
}

void GraphHelper::SetFrameCallback(FrameCallback callback) {
    std::lock_guard g(frameLock_);
    frameCallback_ = std::move(callback);
}

FramePtr GraphHelper::LatestFrame() const {
    std::lock_guard g(frameLock_);
    return latest_;
}

GstBusSyncReply GraphHelper::OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* self = static_cast<GraphHelper*>(data);
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
    ForgetPlace();  // running moves the position on
    playing_ = true;
    return true;
}

void GraphHelper::Pause() {
    if (!pipeline_) return;
    gst_element_set_state(pipeline_, GST_STATE_PAUSED);
    paused_ = true;  // where it stands is where playing got to (pausedAt_ stays unknown)
}

bool GraphHelper::Stop() {
    if (!pipeline_) return false;
    Seek(0);
    if (gst_element_set_state(pipeline_, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) playing_ = false;
    ForgetPlace();
    return true;
}

void GraphHelper::ForgetPlace() {
    paused_ = false;
    pausedAt_ = -1;
}

bool GraphHelper::Seek(int64_t time) {
    if (!pipeline_) return false;
    if (time < 0) time = 0;
    if (time == pausedAt_) return true;  // paused there already
    const gboolean ok = gst_element_seek_simple(pipeline_, GST_FORMAT_TIME,
                                                GstSeekFlags(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                                                time * kNsPerUnit);
    if (!ok) {
        char result[64];
        std::snprintf(result, sizeof result, "seek to %" PRId64 " refused", time);
        GRAPH_ERROR("Seek movie failed.", result);
    }
    pausedAt_ = ok && paused_ ? time : -1;
    return ok;
}

bool GraphHelper::CurrentPosition(int64_t* time) {
    if (!pipeline_ || !time) return false;
    gint64 position = 0;
    if (!gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position) || position < 0) return false;
    *time = position / kNsPerUnit;
    return true;
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

#include "preview/PreviewSource.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/ProgramLog.h"

namespace kalvex {

void EnsureGStreamer() {
    static const bool ready = [] {
        GError* error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) {
            LogLine("GStreamer could not start: %s", error ? error->message : "unknown error");
            if (error) g_error_free(error);
            return false;
        }
        return true;
    }();
    (void)ready;
}

int64_t PreviewFrameLength(uint32_t rate, uint32_t scale) {
    if (rate == 0 || scale == 0) return 0;
    const double fps = double(rate) / double(scale);
    return int64_t(int32_t(10000000.0 / fps + 0.5));
}

// ---------------------------------------------------------------- the pins

CPreviewStream::CPreviewStream(HRESULT* result, CPreviewSource* filter, const char* name, SourceReader* reader,
                               int64_t frameLength)
    : filter_(filter), reader_(reader), frameLength_(frameLength), name_(name) {
    start_ = 0;
    stop_ = duration_ = int64_t(reader->Length(SourceReader::kVideoLength)) * frameLength;
    appsrc_ = gst_element_factory_make("appsrc", name);
    if (!appsrc_) {
        LogLine("ERR: the GStreamer element appsrc is missing (package gstreamer1.0-plugins-base).");
        if (result) *result = E_FAIL;
        return;
    }
    gst_object_ref_sink(appsrc_);
}

CPreviewStream::~CPreviewStream() {
    if (appsrc_) gst_object_unref(appsrc_);
}

int64_t CPreviewStream::Start() const { std::lock_guard g(lock_); return start_; }
int64_t CPreviewStream::Stop() const { std::lock_guard g(lock_); return stop_; }
int64_t CPreviewStream::Duration() const { std::lock_guard g(lock_); return duration_; }
double CPreviewStream::Rate() const { std::lock_guard g(lock_); return rate_; }
int64_t CPreviewStream::CurrentPosition() const { std::lock_guard g(lock_); return currentPosition_; }
bool CPreviewStream::Seeking() const { std::lock_guard g(lock_); return seeking_; }
int CPreviewStream::Restarts() const { std::lock_guard g(lock_); return restarts_; }

void CPreviewStream::OnThreadCreate() {
    std::lock_guard g(lock_);
    sampleTime_ = 0;
    currentPosition_ = start_;
}

void CPreviewStream::OnThreadStartPlay() {
    std::lock_guard g(lock_);
    discontinuity_ = true;
    // The new segment (start, stop, rate) goes downstream from the appsrc
    // itself when its streaming starts again.
}

void CPreviewStream::Stamp(PreviewSample& sample, int64_t length) {
    sample.hasTimes = true;
    sample.start = sampleTime_;
    sample.end = sampleTime_ + length;
    sampleTime_ += length;
    currentPosition_ += length;
    sample.syncPoint = true;
    if (discontinuity_) {
        sample.discontinuity = true;
        discontinuity_ = false;
    }
}

void CPreviewStream::ChangeStartLocked(int64_t start) {
    start_ = start;
    sampleTime_ = 0;
    currentPosition_ = start;
    SeekReader(start);
    duration_ = stop_ - start;
}

HRESULT CPreviewStream::ChangeStart(int64_t start) {
    {
        std::lock_guard g(lock_);
        ChangeStartLocked(start);
    }
    RestartAfterSeek();
    return S_OK;
}

HRESULT CPreviewStream::ChangeStop(int64_t stop) {
    bool restart;
    {
        std::lock_guard g(lock_);
        stop_ = stop;
        duration_ = stop_ - start_;
        restart = currentPosition_ >= stop_;
    }
    if (restart) RestartAfterSeek();
    return S_OK;
}

HRESULT CPreviewStream::SetRate(double rate) {
    if (!(rate > 0.0)) return E_INVALIDARG;  // NaN is refused too
    {
        std::lock_guard g(lock_);
        rate_ = rate;
    }
    RestartAfterSeek();
    return S_OK;
}

// Flushes the pin's streaming and starts it again from the current position:
// a flushing seek on the appsrc stops its streaming task, calls SeekData
// (which re-arms the discontinuity) and starts the task again. Nothing to do
// while the pin does not stream.
void CPreviewStream::RestartAfterSeek() {
    if (!appsrc_) return;
    GstState state = GST_STATE_NULL;
    GST_OBJECT_LOCK(appsrc_);
    state = GST_STATE(appsrc_);
    GST_OBJECT_UNLOCK(appsrc_);
    if (state < GST_STATE_PAUSED) return;
    int64_t position, stop;
    double rate;
    {
        std::lock_guard g(lock_);
        seeking_ = true;
        position = currentPosition_;
        stop = stop_;
        rate = rate_;
    }
    const gboolean ok = gst_element_seek(appsrc_, rate, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_SET,
                                         position * kNsPerUnit, GST_SEEK_TYPE_SET, stop * kNsPerUnit);
    if (!ok) LogLine("Restart of %s after a seek failed.", name_.c_str());
    std::lock_guard g(lock_);
    seeking_ = false;
    ++restarts_;
}

void CPreviewStream::NeedData(GstAppSrc*, guint, gpointer self) { static_cast<CPreviewStream*>(self)->PushNext(); }

// A flushing seek reaching the video pin, on the thread that seeks: the
// picture being decoded now (a decode forward to the last place sought to,
// during a slider drag) is not wanted any more, and the seek would wait for
// it before it can flush. The read is given up at its next picture; the
// seek's SeekData (or any ChangeStart) lets reading go on from the new
// place.
GstPadProbeReturn CPreviewStream::SeekComing(GstPad*, GstPadProbeInfo* info, gpointer self) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (!event || GST_EVENT_TYPE(event) != GST_EVENT_SEEK) return GST_PAD_PROBE_OK;
    GstSeekFlags flags = GST_SEEK_FLAG_NONE;
    gst_event_parse_seek(event, nullptr, nullptr, &flags, nullptr, nullptr, nullptr, nullptr);
    if (flags & GST_SEEK_FLAG_FLUSH) static_cast<CPreviewStream*>(self)->reader_->GiveUpVideoReads(true);
    return GST_PAD_PROBE_OK;
}

gboolean CPreviewStream::SeekData(GstAppSrc*, guint64 offset, gpointer self) {
    auto* pin = static_cast<CPreviewStream*>(self);
    std::lock_guard g(pin->lock_);
    pin->ChangeStartLocked(int64_t(offset / kNsPerUnit));
    pin->startPlayPending_ = true;
    return TRUE;
}

// One round of the pin's streaming: fill one buffer and hand it on, or end
// the stream at the stop position.
void CPreviewStream::PushNext() {
    GstAppSrc* src = GST_APP_SRC(appsrc_);
    std::unique_lock g(lock_);
    if (!threadCreated_) {
        OnThreadCreate();
        threadCreated_ = true;
    }
    if (startPlayPending_) {
        OnThreadStartPlay();
        startPlayPending_ = false;
    }
    const size_t size = BufferSize();
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    if (!buffer) {
        LogLine("ERR: no memory for a %zu-byte buffer of %s.", size, name_.c_str());
        g.unlock();
        gst_app_src_end_of_stream(src);
        return;
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        // Nothing to write the sample into: the stream ends here rather
        // than hand on a buffer of whatever the memory held.
        LogLine("ERR: could not map a %zu-byte buffer of %s for writing (gst_buffer_map failed).", size,
                name_.c_str());
        g.unlock();
        gst_buffer_unref(buffer);
        gst_app_src_end_of_stream(src);
        return;
    }
    PreviewSample sample;
    sample.data = map.data;
    sample.size = map.size;
    const int64_t base = start_;
    gaveUp_ = false;
    const HRESULT hr = FillBuffer(sample);
    gst_buffer_unmap(buffer, &map);
    if (gaveUp_) {
        // The seek that gave the read up flushes the pin right after: its
        // black sample must not be shown meanwhile. The streaming round
        // ends with the flush; a seek that never flushes (refused on its
        // way) gets the sample after a while instead of a stalled stream.
        g.unlock();
        GstPad* pad = gst_element_get_static_pad(appsrc_, "src");
        for (int i = 0; i < 500 && pad && !GST_PAD_IS_FLUSHING(pad); ++i) g_usleep(1000);
        const bool flushing = pad && GST_PAD_IS_FLUSHING(pad);
        if (pad) gst_object_unref(pad);
        if (flushing) {
            gst_buffer_unref(buffer);
            return;
        }
        g.lock();
        reader_->GiveUpVideoReads(false);
    }
    if (hr == S_FALSE) {
        g.unlock();
        gst_buffer_unref(buffer);
        gst_app_src_end_of_stream(src);
        return;
    }
    if (sample.hasTimes) {
        // Stream time counts from the segment's start, which is the seek
        // position: the buffer's media time is that start plus the stamp.
        GST_BUFFER_PTS(buffer) = GstClockTime((base + sample.start) * kNsPerUnit);
        GST_BUFFER_DURATION(buffer) = GstClockTime((sample.end - sample.start) * kNsPerUnit);
    }
    if (!sample.syncPoint) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (sample.discontinuity) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    DescribeBuffer(buffer);
    g.unlock();
    gst_app_src_push_buffer(src, buffer);
}

namespace {

void SetUpAppSrc(CPreviewStream* pin, GstElement* appsrc, GstCaps* caps, int64_t duration) {
    GstAppSrc* src = GST_APP_SRC(appsrc);
    gst_app_src_set_caps(src, caps);
    gst_app_src_set_stream_type(src, GST_APP_STREAM_TYPE_SEEKABLE);
    gst_app_src_set_duration(src, GstClockTime(duration * kNsPerUnit));
    g_object_set(appsrc, "format", GST_FORMAT_TIME, "is-live", FALSE, "do-timestamp", FALSE, nullptr);
    gst_app_src_set_max_bytes(src, std::max<guint64>(pin->BufferSize(), 1));
}

}  // namespace

// ------------------------------------------------------------- video pin

CPreviewVideoStream::CPreviewVideoStream(HRESULT* result, CPreviewSource* filter, const char* name,
                                         SourceReader* reader, int64_t frameLength)
    : CPreviewStream(result, filter, name, reader, frameLength) {
    stride_ = reader->Width();
    height_ = reader->Height();
}

uint32_t CPreviewVideoStream::ImageSize(int width, int height) {
    return uint32_t(double(width) * double(height) * 1.5);
}

int CPreviewVideoStream::DestinationStride() const { std::lock_guard g(lock_); return stride_; }
int CPreviewVideoStream::DestinationHeight() const { std::lock_guard g(lock_); return height_; }

HRESULT CPreviewVideoStream::GetMediaType(int position, GstCaps** caps) const {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    if (!caps) return E_POINTER;
    const int fpsN = int(reader_->Rate()), fpsD = int(reader_->Scale());
    // The script's pictures hold BT.601 limited-range numbers at any size;
    // without saying so, a picture above 576 lines would be shown as BT.709.
    *caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "YV12", "width", G_TYPE_INT,
                                reader_->Width(), "height", G_TYPE_INT, reader_->Height(), "framerate",
                                GST_TYPE_FRACTION, fpsN, std::max(fpsD, 1), "pixel-aspect-ratio",
                                GST_TYPE_FRACTION, 1, 1, "colorimetry", G_TYPE_STRING, "bt601", nullptr);
    return *caps ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPreviewVideoStream::CheckMediaType(const GstCaps* caps) const {
    if (!caps) return E_POINTER;
    if (gst_caps_get_size(caps) < 1) return E_INVALIDARG;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const char* format = gst_structure_get_string(s, "format");
    if (!gst_structure_has_name(s, "video/x-raw") || !format || std::strcmp(format, "YV12") != 0)
        return E_INVALIDARG;
    return S_OK;
}

size_t CPreviewVideoStream::BufferSize() const {
    std::lock_guard g(lock_);
    // The source's image size, or the consumer's layout when it is larger.
    const size_t own = ImageSize(reader_->Width(), reader_->Height());
    const size_t asked = size_t(stride_) * size_t(reader_->Height()) * 3 / 2;
    return std::max(own, asked);
}

void CPreviewVideoStream::OnThreadCreate() {
    std::lock_guard g(lock_);
    CPreviewStream::OnThreadCreate();
    stride_ = reader_->Width();
    height_ = reader_->Height();
}

void CPreviewVideoStream::SeekReader(int64_t start) {
    reader_->GiveUpVideoReads(false);  // reading goes on from here
    reader_->SetVideoPosition(frameLength_ > 0 ? long(start / frameLength_) : 0);
}

HRESULT CPreviewVideoStream::FillBuffer(PreviewSample& sample) {
    std::lock_guard g(lock_);
    if (currentPosition_ >= stop_) return S_FALSE;
    if (sample.data && sample.size) std::memset(sample.data, 0, sample.size);
    if (sample.changedType) {
        const PreviewMediaType& t = *sample.changedType;
        if (t.format != PreviewMediaType::VideoInfo && t.format != PreviewMediaType::VideoInfo2)
            return S_OK;  // delivered as it stands: no frame, no stamps
        stride_ = std::abs(t.width);
        height_ = std::abs(t.height);
    }
    const uint8_t* frame = reader_->ReadVideoFrame();
    gaveUp_ = !frame && reader_->GivingUpVideoReads();
    const int w = reader_->Width(), h = reader_->Height();
    const size_t stride = size_t(stride_);
    // A consumer layout narrower than the picture, or a buffer too small for
    // it, would make the copy write past the buffer: the sample then stays
    // black rather than corrupting memory.
    const size_t needed = stride * size_t(h) * 5 / 4 + (stride * size_t(std::max(h / 2 - 1, 0))) / 2 + size_t(w / 2);
    if (frame && sample.data && stride >= size_t(w) && needed <= sample.size) {
        for (int r = 0; r < h; ++r) std::memcpy(sample.data + r * stride, frame + size_t(r) * w, size_t(w));
        const uint8_t* v = frame + size_t(w) * h;
        const uint8_t* u = v + size_t(w / 2) * (h / 2);
        for (int r = 0; r < h / 2; ++r) {
            std::memcpy(sample.data + stride * h + (stride * r) / 2, v + size_t(r) * (w / 2), size_t(w / 2));
            std::memcpy(sample.data + (stride * h * 5) / 4 + (stride * r) / 2, u + size_t(r) * (w / 2),
                        size_t(w / 2));
        }
    } else if (frame && sample.data) {
        LogLine("Preview frame skipped: a %zu-byte buffer with stride %zu cannot hold %dx%d.", sample.size, stride, w, h);
    }
    Stamp(sample, frameLength_);
    return S_OK;
}

// Downstream reads the planes at our offsets and strides (the chroma stride
// is half the luma stride, which GStreamer's default layout need not be).
void CPreviewVideoStream::DescribeBuffer(GstBuffer* buffer) const {
    const int h = reader_->Height();
    const gsize stride = gsize(stride_);
    gsize offset[GST_VIDEO_MAX_PLANES] = {0, stride * h, stride * h * 5 / 4, 0};
    gint strides[GST_VIDEO_MAX_PLANES] = {gint(stride), gint(stride / 2), gint(stride / 2), 0};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_YV12, guint(reader_->Width()),
                                   guint(h), 3, offset, strides);
}

// ------------------------------------------------------------- audio pin

CPreviewAudioStream::CPreviewAudioStream(HRESULT* result, CPreviewSource* filter, const char* name,
                                         SourceReader* reader, int64_t frameLength)
    : CPreviewStream(result, filter, name, reader, frameLength) {
    silent_ = !reader->HasAudio();
    if (silent_) {
        // A source without sound plays silence as long as its pictures, as
        // its conversion gets a silent track.
        sampleRate_ = kSilentPreviewRate;
        channels_ = 2;
        bits_ = 16;
    } else {
        sampleRate_ = reader->SampleRate();
        channels_ = reader->Channels();
        bits_ = reader->BitsPerSample();
    }
    samplesPerBlock_ = long(sampleRate_) / 10;
    if (!silent_) reader->SetSamplesPerRead(samplesPerBlock_);
    blockBytes_ = (long(bits_) * samplesPerBlock_ / 8) * channels_;
}

HRESULT CPreviewAudioStream::GetMediaType(int position, GstCaps** caps) const {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    if (!caps) return E_POINTER;
    const int bits = bits_;
    const char* format = bits == 8 ? "U8" : bits == 24 ? "S24LE" : bits == 32 ? "S32LE" : "S16LE";
    *caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, format, "layout", G_TYPE_STRING,
                                "interleaved", "rate", G_TYPE_INT, sampleRate_, "channels", G_TYPE_INT, channels_,
                                nullptr);
    return *caps ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPreviewAudioStream::CheckMediaType(const GstCaps* caps) const {
    if (!caps) return E_POINTER;
    if (gst_caps_get_size(caps) < 1) return E_INVALIDARG;
    return gst_structure_has_name(gst_caps_get_structure(caps, 0), "audio/x-raw") ? S_OK : E_INVALIDARG;
}

void CPreviewAudioStream::SeekReader(int64_t start) {
    if (silent_) return;
    reader_->SetAudioPosition(long(int32_t(double(reader_->SampleRate()) * (double(start) / 10000000.0))));
}

HRESULT CPreviewAudioStream::FillBuffer(PreviewSample& sample) {
    std::lock_guard g(lock_);
    if (currentPosition_ >= stop_) return S_FALSE;
    if (sample.data && sample.size) std::memset(sample.data, 0, sample.size);
    long bytes = 0;
    const uint8_t* block = silent_ ? nullptr : reader_->ReadAudio(&bytes);
    // Only a whole block is copied: a short last block is heard as silence.
    if (block && sample.data && bytes > 0 && size_t(bytes) == sample.size) std::memcpy(sample.data, block, sample.size);
    Stamp(sample, kUnitsPerSecond / 10);
    return S_OK;
}

// ------------------------------------------------------------- the source

CPreviewSource::CPreviewSource(void*, HRESULT* result, const std::string& scriptPath) {
    HRESULT hr = S_OK;
    EnsureGStreamer();
    reader_.reset(new (std::nothrow) SourceReader);
    if (!reader_) {
        if (result) *result = E_OUTOFMEMORY;
        return;
    }
    avs::OpenOptions options;
    options.keepPictures = kPreviewKeptPictures;
    const bool opened = reader_->OpenXXXFile(scriptPath, options);
    openError_ = reader_->OpenError();  // the caller tells the user
    if (!opened || !reader_->HasVideo()) {
        LogLine("Preview: the script %s did not open. %s", scriptPath.c_str(), openError_.c_str());
        if (result) *result = E_FAIL;
        return;
    }
    // Both pins are needed: a source without sound gets a silent sound pin;
    // sound that the pin cannot describe is refused like a script that does
    // not open.
    if (!reader_->HasAudio()) {
        LogLine("Preview: the script %s has no audio stream; silence is played.", scriptPath.c_str());
    } else if (reader_->SampleRate() < 10 || reader_->Channels() <= 0 || reader_->BitsPerSample() <= 0) {
        LogLine("Preview: the script %s has no audio stream.", scriptPath.c_str());
        if (result) *result = E_FAIL;
        return;
    }
    const int64_t frameLength = PreviewFrameLength(reader_->Rate(), reader_->Scale());
    if (frameLength <= 0 || reader_->Width() <= 0 || reader_->Height() <= 0) {
        LogLine("Preview: the script %s has no usable frame rate or size.", scriptPath.c_str());
        if (result) *result = E_FAIL;
        return;
    }
    video_.reset(new (std::nothrow) CPreviewVideoStream(&hr, this, "OmbrasilPreivewVideo", reader_.get(), frameLength));
    if (!video_) hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) {
        audio_.reset(new (std::nothrow) CPreviewAudioStream(&hr, this, "OmbrasilPreivewAudio", reader_.get(), frameLength));
        if (!audio_) hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
        audio_.reset();
        video_.reset();
        if (result) *result = hr;
        return;
    }

    bin_ = gst_bin_new(nullptr);
    gst_object_ref_sink(bin_);
    CPreviewStream* pins[2] = {video_.get(), audio_.get()};
    for (int i = 0; i < 2; ++i) {
        CPreviewStream* pin = pins[i];
        GstCaps* caps = nullptr;
        pin->GetMediaType(0, &caps);
        SetUpAppSrc(pin, pin->appsrc_, caps, pin->Duration());
        gst_caps_unref(caps);
        GstAppSrcCallbacks callbacks{};
        callbacks.need_data = &CPreviewStream::NeedData;
        callbacks.seek_data = &CPreviewStream::SeekData;
        gst_app_src_set_callbacks(GST_APP_SRC(pin->appsrc_), &callbacks, pin, nullptr);
        gst_bin_add(GST_BIN(bin_), pin->appsrc_);
        GstPad* target = gst_element_get_static_pad(pin->appsrc_, "src");
        if (i == 0)
            gst_pad_add_probe(target, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, &CPreviewStream::SeekComing, pin, nullptr);
        const std::string name = "src_" + std::to_string(i);
        GstPad* ghost = gst_ghost_pad_new(name.c_str(), target);
        gst_object_unref(target);
        gst_element_add_pad(bin_, ghost);
    }
    if (result) *result = S_OK;
}

CPreviewSource::~CPreviewSource() {
    if (bin_) {
        if (!GST_OBJECT_PARENT(bin_)) gst_element_set_state(bin_, GST_STATE_NULL);
        gst_object_unref(bin_);
    }
    audio_.reset();
    video_.reset();
    if (reader_) reader_->Close();
}

CPreviewStream* CPreviewSource::Pin(int index) const {
    if (index == 0) return video_.get();
    if (index == 1) return audio_.get();
    return nullptr;
}

GstPad* CPreviewSource::OutputPad(int index) const {
    if (!bin_ || index < 0 || index > 1) return nullptr;
    const std::string name = "src_" + std::to_string(index);
    GstPad* pad = gst_element_get_static_pad(bin_, name.c_str());
    if (pad) gst_object_unref(pad);  // the bin keeps it
    return pad;
}

}  // namespace kalvex

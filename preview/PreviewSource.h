#pragma once
// The preview source: a GStreamer bin of two appsrc elements (video pin 0,
// audio pin 1) fed from one SourceReader opened on the preview script.
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "media/SourceReader.h"

#include "platform/com/ComResult.h"

namespace kalvex {

// Times are counts of 100 ns; GStreamer counts nanoseconds.
constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kNsPerUnit = 100;
// The sample rate of the silence played for a source without sound.
constexpr int kSilentPreviewRate = 48000;

// Pictures the preview keeps after showing them, so that a seek back by up
// to this many frames is served without decoding.
constexpr int kPreviewKeptPictures = 16;

// One frame's length from the video stream's rate and scale, rounded to the
// nearest 100 ns: 25/1 gives 400,000, 30000/1001 gives 333,667.
int64_t PreviewFrameLength(uint32_t rate, uint32_t scale);

// A buffer layout asked for by the consumer while streaming (a changed
// media type on a sample). Only the two video-info formats carry a layout.
struct PreviewMediaType {
    enum Format { VideoInfo, VideoInfo2, Other };
    Format format = VideoInfo;
    int32_t width = 0;   // the stride the consumer wants
    int32_t height = 0;  // may be negative (bottom-up); its size counts
};

// One sample to fill: the buffer, and what FillBuffer stamps on it.
struct PreviewSample {
    uint8_t* data = nullptr;
    size_t size = 0;
    const PreviewMediaType* changedType = nullptr;  // null: the layout stays
    bool hasTimes = false;
    int64_t start = 0;  // stream time: counted from the start of the segment
    int64_t end = 0;
    bool syncPoint = false;
    bool discontinuity = false;
};

class CPreviewSource;

// The part both pins share: positions, seeking values and the appsrc that
// streams the pin's samples.
class CPreviewStream {
public:
    virtual ~CPreviewStream();
    CPreviewStream(const CPreviewStream&) = delete;
    CPreviewStream& operator=(const CPreviewStream&) = delete;

    const std::string& Name() const { return name_; }
    // The pin's appsrc element (owned by the source's bin).
    GstElement* Element() const { return appsrc_; }

    // position 0: the pin's caps (the caller owns them); below 0
    // E_INVALIDARG; above 0 VFW_S_NO_MORE_ITEMS.
    virtual HRESULT GetMediaType(int position, GstCaps** caps) const = 0;
    // S_OK for caps of the pin's kind; E_POINTER for null; else E_INVALIDARG.
    virtual HRESULT CheckMediaType(const GstCaps* caps) const = 0;
    // Bytes of the one buffer the pin fills at a time.
    virtual size_t BufferSize() const = 0;
    // Fills one sample. S_FALSE at the stop position (end of stream).
    virtual HRESULT FillBuffer(PreviewSample& sample) = 0;

    // Called when streaming begins (the worker starts) and, the second one,
    // again after every seek.
    virtual void OnThreadCreate();
    void OnThreadStartPlay();

    // Seeking. ChangeStart and ChangeStop take the new value; the streaming
    // is flushed and restarted when it runs.
    HRESULT ChangeStart(int64_t start);
    HRESULT ChangeStop(int64_t stop);
    HRESULT SetRate(double rate);
    HRESULT ChangeRate() { return S_OK; }

    int64_t FrameLength() const { return frameLength_; }
    int64_t Start() const;
    int64_t Stop() const;
    int64_t Duration() const;
    double Rate() const;
    int64_t CurrentPosition() const;
    bool Seeking() const;
    // Number of flush-and-restart rounds done so far.
    int Restarts() const;

protected:
    CPreviewStream(HRESULT* result, CPreviewSource* filter, const char* name, SourceReader* reader,
                   int64_t frameLength);
    // Moves the reader to the start (under the lock).
    virtual void SeekReader(int64_t start) = 0;
    // Attaches the layout the buffer was filled with (video only).
    virtual void DescribeBuffer(GstBuffer*) const {}
    // The common tail of FillBuffer: stamps, advance, flags.
    void Stamp(PreviewSample& sample, int64_t length);
    void ChangeStartLocked(int64_t start);
    void RestartAfterSeek();

    CPreviewSource* filter_;
    SourceReader* reader_;  // owned by the filter
    const int64_t frameLength_;
    std::string name_;
    GstElement* appsrc_ = nullptr;

    mutable std::recursive_mutex lock_;
    int64_t currentPosition_ = 0;
    int64_t sampleTime_ = 0;
    bool discontinuity_ = false;
    bool seeking_ = false;
    int64_t duration_ = 0;
    int64_t start_ = 0;
    // The last FillBuffer gave its read up for a seek on its way: the
    // sample is not handed on.
    bool gaveUp_ = false;
    int64_t stop_ = 0;
    double rate_ = 1.0;

private:
    friend class CPreviewSource;
    static void NeedData(GstAppSrc* src, guint length, gpointer self);
    static gboolean SeekData(GstAppSrc* src, guint64 offset, gpointer self);
    static GstPadProbeReturn SeekComing(GstPad* pad, GstPadProbeInfo* info, gpointer self);
    void PushNext();
    bool threadCreated_ = false;
    bool startPlayPending_ = true;
    int restarts_ = 0;
};

class CPreviewVideoStream : public CPreviewStream {
public:
    CPreviewVideoStream(HRESULT* result, CPreviewSource* filter, const char* name, SourceReader* reader,
                        int64_t frameLength);
    HRESULT GetMediaType(int position, GstCaps** caps) const override;
    HRESULT CheckMediaType(const GstCaps* caps) const override;
    size_t BufferSize() const override;
    HRESULT FillBuffer(PreviewSample& sample) override;
    void OnThreadCreate() override;
    int DestinationStride() const;
    int DestinationHeight() const;

    // width x height x 1.5, computed in floating point and truncated.
    static uint32_t ImageSize(int width, int height);

protected:
    void SeekReader(int64_t start) override;
    void DescribeBuffer(GstBuffer* buffer) const override;

private:
    int stride_ = 0;
    int height_ = 0;
};

class CPreviewAudioStream : public CPreviewStream {
public:
    CPreviewAudioStream(HRESULT* result, CPreviewSource* filter, const char* name, SourceReader* reader,
                        int64_t frameLength);
    HRESULT GetMediaType(int position, GstCaps** caps) const override;
    HRESULT CheckMediaType(const GstCaps* caps) const override;
    size_t BufferSize() const override { return size_t(blockBytes_); }
    HRESULT FillBuffer(PreviewSample& sample) override;
    long SamplesPerBlock() const { return samplesPerBlock_; }

protected:
    void SeekReader(int64_t start) override;

private:
    long samplesPerBlock_ = 0;
    long blockBytes_ = 0;
    bool silent_ = false;  // the script has no sound: the pin delivers silence
    int sampleRate_ = 0;
    int channels_ = 0;
    int bits_ = 0;
};

// The source: opens the script and owns the reader, the two pins and the bin
// that holds their appsrc elements (ghost pads "src_0" and "src_1").
class CPreviewSource {
public:
    // outer: always null (kept for the caller's shape). *result gets S_OK,
    // E_FAIL when the script does not open or its audio cannot be described
    // (no pins then; a script without audio gets a silent audio pin),
    // or E_OUTOFMEMORY.
    CPreviewSource(void* outer, HRESULT* result, const std::string& scriptPath);
    ~CPreviewSource();
    CPreviewSource(const CPreviewSource&) = delete;
    CPreviewSource& operator=(const CPreviewSource&) = delete;

    int PinCount() const { return audio_ ? 2 : video_ ? 1 : 0; }
    // 0: video, 1: audio; null for any other index or when there are no pins.
    CPreviewStream* Pin(int index) const;
    CPreviewVideoStream* VideoPin() const { return video_.get(); }
    CPreviewAudioStream* AudioPin() const { return audio_.get(); }
    // The bin to add to a pipeline (null without pins); the source keeps a
    // reference of its own.
    GstElement* Bin() const { return bin_; }
    // The ghost pad of pin 0 or 1 in the bin (not a new reference).
    GstPad* OutputPad(int index) const;
    SourceReader* Reader() const { return reader_.get(); }
    // The script engine's text when the script did not open.
    const std::string& OpenError() const { return openError_; }

private:
    std::unique_ptr<SourceReader> reader_;
    std::unique_ptr<CPreviewVideoStream> video_;
    std::unique_ptr<CPreviewAudioStream> audio_;
    GstElement* bin_ = nullptr;
    std::string openError_;
};

// Makes sure GStreamer is initialised (once per process).
void EnsureGStreamer();

}  // namespace kalvex

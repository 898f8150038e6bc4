#include "convert/EncodeToPsp.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/ProgramLog.h"
#include "convert/BoundedQueue.h"
#include "convert/OutputFile.h"
#include "convert/PspMetadata.h"
#include "convert/SoundEncoder.h"
#include "convert/psp/PspNames.h"
#include "media/ScriptBuilder.h"
#include "media/SourceReader.h"
#include "engine/AvHandles.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/ThreadName.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace kalvex {

namespace {

// The key picture interval of two seconds of pictures (at least the 12
// of the default encoding), for a context whose time base is set.
int TwoSecondGop(const AVCodecContext* c) {
    const double rate = double(c->time_base.den) / c->time_base.num;
    return std::max(12, int(std::lround(rate * 2)));
}

// The picture buffers go round between the read-ahead thread and the
// encoder through FFmpeg's buffer pool, whose reference counts are atomics
// inside FFmpeg. A ThreadSanitizer build cannot see those, so the hand-back
// is told to it: the encoder's last use of a picture happens before the
// pool hands the same memory to the read-ahead thread again. Nothing in
// other builds.
inline void PictureHandedBack(const uint8_t* data) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<uint8_t*>(data));
#else
    (void)data;
#endif
}
inline void PictureTakenFromPool(const uint8_t* data) {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<uint8_t*>(data));
#else
    (void)data;
#endif
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The PSP plays MPEG-4 Part 2 video, and from system software 3.30 on
// H.264/AVC, with AAC audio from its VIDEO folder. Today's "mp4" muxer
// names H.264 as its default, so the MP4 family used for the PSP takes the
// codec of the settings; other muxers keep their own defaults.
bool IsPspMuxer(const std::string& name) { return name == "mp4" || name == "psp"; }

AVCodecID VideoCodecFor(const AVOutputFormat* fmt, PspCodec codec) {
    if (fmt->video_codec == AV_CODEC_ID_NONE) return AV_CODEC_ID_NONE;
    if (!IsPspMuxer(fmt->name)) return fmt->video_codec;
    return codec == PspCodec::Avc ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG4;
}

AVCodecID AudioCodecFor(const AVOutputFormat* fmt) {
    if (fmt->audio_codec == AV_CODEC_ID_NONE) return AV_CODEC_ID_NONE;
    return IsPspMuxer(fmt->name) ? AV_CODEC_ID_AAC : fmt->audio_codec;
}

bool IsPcm16(AVCodecID id) {
    return id == AV_CODEC_ID_PCM_S16LE || id == AV_CODEC_ID_PCM_S16BE || id == AV_CODEC_ID_PCM_U16LE ||
           id == AV_CODEC_ID_PCM_U16BE;
}

// Reads the script's pictures ahead on a thread of its own, so that
// decoding and scaling (inside the script) overlap with encoding. Frames
// are still read strictly in order from frame 0, each copied once into a
// buffer of the picture pool; the queue is short, so a paused run holds
// only a few pictures. A picture the reader cannot deliver is never taken
// from whatever the pool buffer held before: it repeats the last good
// picture (black before the first one) and is counted.
class PictureReadAhead {
public:
    static constexpr size_t kDepth = 6;

    ~PictureReadAhead() { Finish(); }

    void Start(SourceReader* reader, long frames, AVBufferPool* pool, int size, int width, int height) {
        thread_ = std::thread([=, this] { Produce(reader, frames, pool, size, width, height); });
    }

    // The next picture in order; null when no buffer could be had. Must not
    // be called more often than frames were asked for.
    AVBufferRef* Next() {
        std::optional<BufferPtr> buf = queue_.Pop();
        return buf ? buf->release() : nullptr;
    }

    // Ends the thread (also in the middle of a file) and drops what it read.
    void Finish() {
        queue_.Close();
        if (thread_.joinable()) thread_.join();
    }

    // Pictures read so far that could not be read, and that were good.
    long Unreadable() const { return unreadable_.load(); }
    long Good() const { return good_.load(); }

private:
    using BufferPtr = avs::BufferPtr;

    void Produce(SourceReader* reader, long frames, AVBufferPool* pool, int size, int width, int height) {
        InstallThreadCrashStack();
        NameThisThread("picture-ahead");
        // A second reference to the last good picture's buffer, not a copy
        // of every picture: only an unreadable one is filled from it.
        BufferPtr lastGood;
        for (long i = 0; i < frames; ++i) {
            BufferPtr buf(av_buffer_pool_get(pool));
            if (!buf) break;
            PictureTakenFromPool(buf->data);
            const uint8_t* frame = reader->ReadVideoFrame();
            if (frame) {
                std::memcpy(buf->data, frame, size_t(size));
                lastGood.reset(av_buffer_ref(buf.get()));
                ++good_;
            } else {
                if (lastGood) {
                    std::memcpy(buf->data, lastGood->data, size_t(size));
                } else {
                    // Black in YV12: the luma plane 16, both chroma planes 128.
                    const size_t luma = size_t(width) * size_t(height);
                    std::memset(buf->data, 16, std::min(luma, size_t(size)));
                    if (size_t(size) > luma) std::memset(buf->data + luma, 128, size_t(size) - luma);
                }
                ++unreadable_;
            }
            if (!queue_.Push(std::move(buf))) break;  // closed: the run ends
        }
        queue_.Finish();
    }

    BoundedQueue<BufferPtr> queue_{kDepth};
    std::thread thread_;
    std::atomic<long> unreadable_{0};
    std::atomic<long> good_{0};
};

// One file's encoder state: the muxer, both streams and their encoders, the
// picture and sample buffers, the reader. Everything is released by the
// destructor, whatever step the file reached.
class FileEncoder {
public:
    FileEncoder(const EncodeRequest& request, EncodeControl& control)
        : entry_(request.entry),
          tracks_(request.tracks),
          outputPath_(request.outputPath),
          videoBitrate_(request.videoBitrate),
          audioBitrate_(request.audioBitrate),
          control_(control),
          settings_(request.settings) {}
    ~FileEncoder();

    EncodeResult Encode();

private:
    bool AddVideoStream(AVCodecID id, double rate);
    void SetUpAvc(AVCodecContext* c);
    bool OpenAvc(AVDictionary** options);
    void TakeThumbnail(const uint8_t* yv12);
    void WriteThumbnailBeside();
    bool AddAudioStream(AVCodecID id);
    bool OpenVideo();
    bool OpenAudio();
    bool CheckSource();
    bool WriteVideoFrame();
    bool SoundBefore(double seconds);
    bool WriteSoundPacket();
    bool Drain(AVCodecContext* ctx, AVStream* st, const char* errorText);
    bool SendAndWrite(AVCodecContext* ctx, AVStream* st, AVFrame* frame, const char* errorText);
    bool WritePacket(AVCodecContext* ctx, AVStream* st, AVPacket* packet, const char* errorText);
    double VideoTime() const;
    bool Run();
    // Logs the failure of a step once, with the library's error text, and
    // keeps the first reason for the result. `logged` is the line the log
    // has always had for the step (nullptr: none); the reason follows it on
    // the same line. Always false.
    bool Fail(const std::string& reason, int avError = 0, const char* logged = nullptr);

    const VideoFileEntry entry_;
    const TrackChoice tracks_;
    const std::string outputPath_;
    const int videoBitrate_;
    const int audioBitrate_;
    EncodeControl& control_;
    const ConvertSettings settings_;
    EncodeResult result_;
    TempOutput temp_;
    bool stopped_ = false;

    SourceReader reader_;
    std::string muxerName_;
    avs::OutputContextPtr oc_;  // closes the output file when it was opened
    AVStream* videoSt_ = nullptr;
    AVStream* audioSt_ = nullptr;
    avs::CodecContextPtr videoCtx_;
    avs::CodecContextPtr audioCtx_;
    AVCodecID videoId_ = AV_CODEC_ID_NONE;
    AVCodecID audioId_ = AV_CODEC_ID_NONE;
    double rate_ = 0;
    avs::PacketPtr packet_;

    // Picture: one contiguous YV12 frame per buffer of the pool, read as
    // planar YUV 4:2:0 by exchanging the second and third plane pointers.
    avs::BufferPoolPtr picturePool_;
    int pictureSize_ = 0;
    avs::AvFramePtr picture_;
    int64_t videoPts_ = 0;
    PictureReadAhead readAhead_;

    // Sound: encoded on a thread of its own; the next packet to write
    // waits in pendingSound_ until its time comes among the pictures.
    SoundEncoder sound_;
    avs::PacketPtr pendingSound_;
    bool soundDone_ = false;      // every sound packet was taken
    bool silent_ = false;         // the source has no sound: silence is encoded

    // The thumbnail's picture (YV12), from the picture at 10 % of the file
    // on: the first that is not black, else the one at 10 %.
    std::vector<uint8_t> thumbnail_;
    bool thumbnailFound_ = false;
    std::string title_;  // for the PSP's title box

    bool fileOpened_ = false;
    bool writeFailed_ = false;
    long totalFrames_ = 0;
    long framesDone_ = 0;
};

FileEncoder::~FileEncoder() {
    // The reading threads first: they use the reader and the picture pool.
    readAhead_.Finish();
    sound_.Finish();
    reader_.Close();
    oc_.reset();  // the output file is closed before it is removed
    temp_.Discard();
}

bool FileEncoder::Fail(const std::string& reason, int avError, const char* logged) {
    const std::string text = avError ? reason + ": " + AvError(avError) : reason;
    std::string line;
    if (logged) {
        line = logged;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        line += " - ";
    }
    line += text;
    LogLine("%s (%s)", line.c_str(), outputPath_.c_str());
    if (result_.reason.empty()) result_.reason = text;
    return false;
}

bool FileEncoder::AddVideoStream(AVCodecID id, double rate) {
    videoSt_ = avformat_new_stream(oc_.get(), nullptr);
    if (!videoSt_) return Fail("Could not create the video stream", AVERROR(ENOMEM), "Could not alloc stream\n");
    videoSt_->id = 0;
    // libx264 is given its own defaults (no limit of the quantiser that
    // suits MPEG-4, its own thread count); when it is missing, opening the
    // video fails with the reason.
    const AVCodec* defaults = id == AV_CODEC_ID_H264 ? avcodec_find_encoder_by_name(AvcEncoderName().c_str()) : nullptr;
    videoCtx_.reset(avcodec_alloc_context3(defaults));
    if (!videoCtx_) return Fail("Could not create the video encoder", AVERROR(ENOMEM), "Could not alloc stream\n");
    AVCodecContext* c = videoCtx_.get();
    c->codec_id = id;
    c->codec_type = AVMEDIA_TYPE_VIDEO;
    c->bit_rate = videoBitrate_;
    // Keep the rate near the setting within about a second of pictures (the
    // library's default lets short files run far over it).
    if (videoBitrate_ > 0) c->bit_rate_tolerance = videoBitrate_;
    c->width = settings_.width;
    c->height = settings_.height;
    const TimeBase tb = VideoTimeBase(rate);
    c->time_base = AVRational{tb.num, tb.den};
    c->gop_size = 12;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // The script's pictures are standard definition, BT.601 limited range;
    // the stream says so, so that no player guesses BT.709 from its size.
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    // MPEG-4 gets no B-frames (Simple Profile); the MPEG-1/2 settings are
    // those the program has always used for those muxers.
    c->max_b_frames = 0;
    if (id == AV_CODEC_ID_MPEG2VIDEO) c->max_b_frames = 2;
    if (id == AV_CODEC_ID_MPEG1VIDEO) c->mb_decision = 2;
    // Best quality spends about three times the encoding time on choices
    // that stay within Simple Profile: each macroblock coded the way that
    // costs the fewest bits for its error, trellis-searched coefficients,
    // and four motion vectors where a macroblock moves in parts (and, when
    // the encoder opens, the quantiser and coded blocks chosen the same
    // way, a zero vector always tried, a wider motion search). The PSP
    // decodes all of them; at 400 kbit/s they gain about 0.5 dB, the
    // sharper scaling of the script another 0.3 to 3 dB.
    if (id == AV_CODEC_ID_MPEG4 && settings_.quality == kBestQuality) {
        c->mb_decision = FF_MB_DECISION_RD;
        c->trellis = 1;
        c->flags |= AV_CODEC_FLAG_4MV;
        // The motion search judges each vector by the bits and error of the
        // coded macroblock, chroma included, not by a plain difference; and
        // key pictures get a finer quantiser than the default 0.8 of the
        // P pictures', since the eleven pictures after each one lean on it.
        // Measured at 400 kbit/s on the DVD source: +0.1 dB for a third more
        // encoding time, at the same bits.
        c->me_cmp = FF_CMP_RD | FF_CMP_CHROMA;
        c->me_sub_cmp = FF_CMP_RD | FF_CMP_CHROMA;
        c->i_quant_factor = -0.7f;
        // A key picture every two seconds, as in AVC output, instead of
        // every twelfth: a key picture costs several times a predicted one,
        // and at 400 kbit/s the bits it frees lift the whole picture
        // (DVD source: +0.33 dB at the same bits; every second +0.25, every
        // four seconds +0.36). The PSP still seeks to within two seconds.
        c->gop_size = TwoSecondGop(c);
        // The rate-distortion choices spend freely at the start of a busy
        // source: without a buffer model the first second of a noisy clip
        // reached 980 kbit/s at a setting of 400. The decoder's buffer of
        // one second at the PSP's 768 kbit/s keeps every second within what
        // the PSP plays. A higher setting is the user's own choice and is
        // left unbounded.
        const int64_t cap = int64_t(kPspMaxVideoBitrate) * 1000;
        if (c->bit_rate > 0 && c->bit_rate <= cap) {
            c->rc_max_rate = cap;
            c->rc_buffer_size = int(cap);
        }
    }
    if (MuxerWantsGlobalHeader(muxerName_)) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (id == AV_CODEC_ID_H264) SetUpAvc(c);
    return true;
}

// H.264 as the PSP plays it: Main Profile at level 2.1, at most two
// reference pictures, at most one B-frame and none kept as a reference
// (no pyramid), one slice per picture, CABAC, and at most 768 kbit/s held
// by the decoder's buffer model (maximum rate and buffer of one second).
// The sequence headers go into the MP4 sample description, which the PSP
// reads. A key picture every two seconds keeps seeking quick.
void FileEncoder::SetUpAvc(AVCodecContext* c) {
    const int64_t cap = int64_t(kPspMaxVideoBitrate) * 1000;
    if (c->bit_rate >= cap) {
        // The average the encoder aims at stays 3 % below the limit: over a
        // short, busy file it ends up to 3 % above its aim.
        const int64_t aim = cap * 97 / 100;
        LogLine("AVC video bit rate %lld bit/s: the PSP plays at most %lld bit/s, %lld bit/s is aimed at",
                static_cast<long long>(c->bit_rate), static_cast<long long>(cap), static_cast<long long>(aim));
        c->bit_rate = aim;
    }
    c->bit_rate_tolerance = int(c->bit_rate);
    c->rc_max_rate = cap;
    c->rc_buffer_size = int(cap);
    // The decoder's buffer starts half full, not nine tenths: the encoder
    // then has less to spend at the start, and a short file stays within
    // the rate on average too (measured: 761 instead of 792 kbit/s over
    // 10 s of DVD, for 0.1 dB).
    c->rc_initial_buffer_occupancy = int(cap / 2);
    c->profile = FF_PROFILE_H264_MAIN;
    c->level = 21;
    c->refs = 2;
    c->max_b_frames = 1;
    c->slices = 1;
    c->gop_size = TwoSecondGop(c);
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

bool FileEncoder::AddAudioStream(AVCodecID id) {
    audioSt_ = avformat_new_stream(oc_.get(), nullptr);
    if (!audioSt_) return Fail("Could not create the audio stream", AVERROR(ENOMEM), "Could not alloc stream\n");
    audioSt_->id = 1;
    audioCtx_.reset(avcodec_alloc_context3(nullptr));
    if (!audioCtx_) return Fail("Could not create the audio encoder", AVERROR(ENOMEM), "Could not alloc stream\n");
    AVCodecContext* c = audioCtx_.get();
    c->codec_id = id;
    c->codec_type = AVMEDIA_TYPE_AUDIO;
    c->bit_rate = audioBitrate_;
    c->sample_rate = settings_.audioResample != 0 ? settings_.audioResample : entry_.mediaInfo.sampleRate;
    // A source without sound (set again once the script is open) gets a
    // silent stereo track at the setting's rate or kSilentTrackRate.
    if (c->sample_rate <= 0) c->sample_rate = kSilentTrackRate;
    av_channel_layout_default(&c->ch_layout, entry_.mediaInfo.channels > 0 ? entry_.mediaInfo.channels : 2);
    c->time_base = AVRational{1, c->sample_rate > 0 ? c->sample_rate : 1};
    if (id == AV_CODEC_ID_AAC) {
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        c->profile = FF_PROFILE_AAC_LOW;
    }
    return true;
}

// The reader must deliver what the encoder was set up for: pictures of the
// encoder's size and, when the muxer carries sound, a sound stream.
bool FileEncoder::CheckSource() {
    const std::string source = FieldText(entry_.fullPath);
    if (videoCtx_) {
        if (!reader_.HasVideo()) return Fail("The script of " + source + " delivers no video");
        const int w = reader_.Width(), h = reader_.Height();
        if (w != videoCtx_->width || h != videoCtx_->height ||
            reader_.ImageSize() < DWORD(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, w, h, 1))) {
            return Fail("The script of " + source + " delivers " + std::to_string(w) + "x" + std::to_string(h) +
                        " pictures, not " + std::to_string(videoCtx_->width) + "x" + std::to_string(videoCtx_->height));
        }
        // The time base follows the rule for whole and 1000/1001 rates; a
        // rate outside both (24.5) would play at the wrong speed, so there
        // the time base is the script's own rate.
        const double scriptRate = reader_.Scale() ? double(reader_.Rate()) / reader_.Scale() : 0;
        const double tbRate = double(videoCtx_->time_base.den) / videoCtx_->time_base.num;
        if (scriptRate > 0 && std::fabs(tbRate - scriptRate) > scriptRate * 1e-4) {
            int num = 0, den = 0;
            av_reduce(&num, &den, reader_.Scale(), reader_.Rate(), 65535);
            LogLine("Frame rate %.3f of %s kept as time base %d/%d\n", scriptRate, source.c_str(), num, den);
            videoCtx_->time_base = AVRational{num, den};
        }
    }
    if (audioCtx_ && !reader_.HasAudio()) {
        // No sound track at all: the PSP plays the file only with one, so a
        // silent track of the pictures' length is made.
        // Stereo at the settings' rate whatever an older entry says of
        // the sound the file once had.
        silent_ = true;
        AVCodecContext* c = audioCtx_.get();
        c->sample_rate = settings_.audioResample != 0 ? settings_.audioResample : kSilentTrackRate;
        c->time_base = AVRational{1, c->sample_rate};
        av_channel_layout_uninit(&c->ch_layout);
        av_channel_layout_default(&c->ch_layout, 2);
        LogLine("%s has no sound track: a silent one is added", source.c_str());
    } else if (audioCtx_) {
        if (reader_.Channels() < 1 || reader_.SampleRate() < 1 || reader_.BitsPerSample() != 16)
            return Fail("The script of " + source + " delivers no 16-bit sound");
    }
    return true;
}

bool FileEncoder::OpenVideo() {
    const bool avc = videoCtx_->codec_id == AV_CODEC_ID_H264;
    const AVCodec* codec = avc ? avcodec_find_encoder_by_name(AvcEncoderName().c_str())
                               : avcodec_find_encoder(videoCtx_->codec_id);
    if (!codec && avc)
        return Fail("No H.264 encoder: the FFmpeg libraries have no " + AvcEncoderName() +
                        ", so AVC output cannot be made (choose MPEG-4 in the PSP settings)",
                    0, "codec not found\n");
    if (!codec)
        return Fail(std::string("No video encoder for ") + avcodec_get_name(videoCtx_->codec_id), 0,
                    "codec not found\n");
    videoCtx_->framerate = av_inv_q(videoCtx_->time_base);
    AVDictionary* options = nullptr;
    if (!avc && videoCtx_->codec_id == AV_CODEC_ID_MPEG4 && settings_.quality == kBestQuality) {
        // Measured at 400 kbit/s on a DVD source: +0.15 dB over the three
        // tools above, for a fifth more encoding time.
        av_dict_set(&options, "mpv_flags", "+qp_rd+cbp_rd+mv0", 0);
        av_dict_set(&options, "dia_size", "-3", 0);
        av_dict_set(&options, "last_pred", "2", 0);
    }
    if (avc && !OpenAvc(&options)) {
        av_dict_free(&options);
        return false;
    }
    int r = avcodec_open2(videoCtx_.get(), codec, &options);
    if (const AVDictionaryEntry* left = av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX))
        LogLine("The video encoder took no option %s=%s", left->key, left->value);
    av_dict_free(&options);
    if (r < 0) return Fail("Opening the video encoder failed", r, "could not open codec\n");
    r = avcodec_parameters_from_context(videoSt_->codecpar, videoCtx_.get());
    if (r < 0) return Fail("Setting up the video stream failed", r);
    videoSt_->time_base = videoCtx_->time_base;
    videoSt_->avg_frame_rate = videoCtx_->framerate;
    pictureSize_ = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, videoCtx_->width, videoCtx_->height, 1);
    if (pictureSize_ < 0) return Fail("Could not size the picture buffers", pictureSize_, "Could not allocate picture\n");
    picturePool_.reset(av_buffer_pool_init(size_t(pictureSize_), nullptr));
    picture_.reset(av_frame_alloc());
    if (!picturePool_ || !picture_)
        return Fail("Could not allocate the picture buffers", AVERROR(ENOMEM), "Could not allocate picture\n");
    return true;
}

// The checks and encoder options of AVC output, once the frame rate is
// known: the picture must fit level 2.1, which the PSP decodes.
bool FileEncoder::OpenAvc(AVDictionary** options) {
    const AVCodecContext* c = videoCtx_.get();
    const double rate = double(c->time_base.den) / c->time_base.num;
    if (!FitsAvcLevel21(c->width, c->height, rate))
        return Fail("AVC for the PSP (level 2.1) takes at most " + std::to_string(kAvcLevel21FrameMacroblocks) +
                    " macroblocks a picture and " + std::to_string(kAvcLevel21MacroblockRate) + " a second; " +
                    std::to_string(c->width) + "x" + std::to_string(c->height) + " at " + Format("%.3f", rate) +
                    " fps is more: choose a smaller size or a lower frame rate");
    // x264's "superfast" search keeps AVC within about 1.5 times the time
    // of MPEG-4 (whose pictures are 1.7 times smaller); best quality spends
    // more time on each picture with "medium". Both stay within the limits
    // set below, which are applied after the preset.
    const bool best = settings_.quality == kBestQuality;
    av_dict_set(options, "preset", best ? "medium" : "superfast", 0);
    av_dict_set(options, "profile", "main", 0);
    av_dict_set(options, "level", "2.1", 0);
    av_dict_set(options, "b-pyramid", "0", 0);  // none
    av_dict_set(options, "coder", "1", 0);      // CABAC
    // The same limits once more in x264's own words, applied last, so that
    // no preset can undo them. The fast mode keeps superfast's single
    // reference picture: on the DVD bench source a second one cost 10 % of
    // the encoder's time and gained nothing (31.45 dB with two, 31.49 with
    // one, at 768 kbit/s); best quality may use the two the PSP allows.
    const std::string limits =
        std::string("slices=1:ref=") + (best ? "2" : "1") + ":bframes=1:b-pyramid=none:cabac=1";
    av_dict_set(options, "x264-params", limits.c_str(), 0);
    return true;
}

bool FileEncoder::OpenAudio() {
    const AVCodec* codec = avcodec_find_encoder(audioCtx_->codec_id);
    if (!codec)
        return Fail(std::string("No audio encoder for ") + avcodec_get_name(audioCtx_->codec_id), 0,
                    "codec not found\n");
    audioCtx_->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
    int r = avcodec_open2(audioCtx_.get(), codec, nullptr);
    if (r < 0) return Fail("Opening the audio encoder failed", r, "could not open codec\n");
    r = avcodec_parameters_from_context(audioSt_->codecpar, audioCtx_.get());
    if (r < 0) return Fail("Setting up the audio stream failed", r);
    audioSt_->time_base = audioCtx_->time_base;

    const int channels = audioCtx_->ch_layout.nb_channels;
    int frameSize = 0;
    if (audioCtx_->frame_size > 1) {
        frameSize = audioCtx_->frame_size;
    } else {
        frameSize = 10000 / channels;
        if (IsPcm16(audioCtx_->codec_id)) frameSize /= 2;
    }
    // A silent track lasts as long as the pictures, at the encoder's rate.
    int64_t silentSamples = -1;
    if (silent_) {
        silentSamples = reader_.Rate() ? av_rescale_rnd(reader_.Length(SourceReader::kVideoLength),
                                                        int64_t(audioCtx_->sample_rate) * reader_.Scale(),
                                                        reader_.Rate(), AV_ROUND_NEAR_INF)
                                       : 0;
    }
    SoundEncoder::Failure why;
    if (!sound_.Prepare(audioCtx_.get(), frameSize, &reader_, silentSamples, &why))
        return Fail(why.reason, why.avError);
    return true;
}

double FileEncoder::VideoTime() const {
    if (!videoCtx_) return 0;
    return double(videoPts_) * videoCtx_->time_base.num / videoCtx_->time_base.den;
}

// Sends one frame (or the end, frame == nullptr) to the encoder and writes
// every packet it gives back.
bool FileEncoder::SendAndWrite(AVCodecContext* ctx, AVStream* st, AVFrame* frame, const char* errorText) {
    int r = avcodec_send_frame(ctx, frame);
    if (r < 0 && r != AVERROR_EOF) {
        writeFailed_ = true;
        return Fail("Encoding failed", r);
    }
    for (;;) {
        r = avcodec_receive_packet(ctx, packet_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) {
            writeFailed_ = true;
            return Fail("Encoding failed", r);
        }
        if (packet_->duration == 0 && ctx->codec_type == AVMEDIA_TYPE_VIDEO) packet_->duration = 1;
        if (!WritePacket(ctx, st, packet_.get(), errorText)) return false;
    }
}

// Writes one packet of `ctx` (in its time base) into stream `st`.
bool FileEncoder::WritePacket(AVCodecContext* ctx, AVStream* st, AVPacket* packet, const char* errorText) {
    av_packet_rescale_ts(packet, ctx->time_base, st->time_base);
    packet->stream_index = st->index;
    const int r = av_interleaved_write_frame(oc_.get(), packet);
    if (r != 0) {
        // A write that fails (a full disk) fails the file: what follows
        // it could not be played.
        writeFailed_ = true;
        return Fail("Writing the output failed", r, errorText);
    }
    return true;
}

// Whether the next sound packet starts before `seconds`; waits for the
// sound's thread when it has not encoded it yet. The sound's failure
// fails the file here.
bool FileEncoder::SoundBefore(double seconds) {
    if (!audioCtx_ || soundDone_) return false;
    if (!pendingSound_) {
        pendingSound_ = sound_.Next();
        if (!pendingSound_) {
            soundDone_ = true;
            if (sound_.Failed()) {
                writeFailed_ = true;
                const SoundEncoder::Failure why = sound_.Error();
                Fail(why.reason, why.avError);
            }
            return false;
        }
    }
    const int64_t pts = pendingSound_->pts;
    if (pts == AV_NOPTS_VALUE) return true;
    return double(pts) * audioCtx_->time_base.num / audioCtx_->time_base.den < seconds;
}

bool FileEncoder::WriteSoundPacket() {
    const bool ok = WritePacket(audioCtx_.get(), audioSt_, pendingSound_.get(), "Error while writing audio frame\n");
    pendingSound_.reset();
    return ok;
}

bool FileEncoder::Drain(AVCodecContext* ctx, AVStream* st, const char* errorText) {
    if (!ctx) return true;
    return SendAndWrite(ctx, st, nullptr, errorText);
}

bool FileEncoder::WriteVideoFrame() {
    AVBufferRef* buf = readAhead_.Next();
    if (!buf) {
        writeFailed_ = true;
        return Fail("Could not allocate a picture", AVERROR(ENOMEM), "Could not allocate picture\n");
    }
    // The buffer holds one YV12 frame (Y, V, U); with the two chroma
    // pointers exchanged it is a planar YUV 4:2:0 picture.
    picture_->buf[0] = buf;
    av_image_fill_arrays(picture_->data, picture_->linesize, buf->data, AV_PIX_FMT_YUV420P, videoCtx_->width,
                         videoCtx_->height, 1);
    std::swap(picture_->data[1], picture_->data[2]);
    std::swap(picture_->linesize[1], picture_->linesize[2]);
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = videoCtx_->width;
    picture_->height = videoCtx_->height;
    picture_->pts = videoPts_++;
    TakeThumbnail(buf->data);
    const bool ok = SendAndWrite(videoCtx_.get(), videoSt_, picture_.get(), "Error while writing video frame\n");
    PictureHandedBack(buf->data);
    av_frame_unref(picture_.get());
    if (ok) ++result_.framesWritten;
    return ok;
}

void FileEncoder::TakeThumbnail(const uint8_t* yv12) {
    if (thumbnailFound_ || size_t(framesDone_) < ThumbnailFrameIndex(size_t(totalFrames_))) return;
    const int w = videoCtx_->width, h = videoCtx_->height;
    if (!IsBlackPicture(yv12, w, h, w)) {
        thumbnail_.assign(yv12, yv12 + pictureSize_);
        thumbnailFound_ = true;
    } else if (thumbnail_.empty()) {
        thumbnail_.assign(yv12, yv12 + pictureSize_);
    }
}

// The thumbnail beside a converted file. One that cannot be written is
// logged; an older thumbnail of that name is removed, so that it is never
// copied with a video it does not show.
void FileEncoder::WriteThumbnailBeside() {
    const std::string path = ThumbnailPath(outputPath_);
    std::string why = "the file has no picture";
    if (!thumbnail_.empty() &&
        WriteThumbnail(thumbnail_.data(), videoCtx_->width, videoCtx_->height, path, &why))
        return;
    LogLine("No thumbnail %s: %s", path.c_str(), why.c_str());
    ::unlink(path.c_str());
}

EncodeResult FileEncoder::Encode() {
    result_ = EncodeResult{};
    const bool ok = Run();
    if (stopped_) {
        result_.outcome = FileOutcome::Stopped;
        result_.reason.clear();
        result_.failure = FailureKind::None;
    } else {
        result_.outcome = ok ? FileOutcome::Converted : FileOutcome::Failed;
        if (!ok && result_.reason.empty()) Fail("Conversion failed");
        if (!ok && result_.failure == FailureKind::None) result_.failure = FailureKind::Other;
    }
    // Nothing that is not complete stays behind, under any name.
    if (!ok || stopped_) temp_.Discard();
    return result_;
}

bool FileEncoder::Run() {
    const std::string fmtName(settings_.format, strnlen(settings_.format, sizeof settings_.format));
    const AVOutputFormat* fmt = av_guess_format(fmtName.c_str(), nullptr, nullptr);
    if (!fmt) return Fail("Unknown output format \"" + fmtName + "\"", 0, "Could not get psp format.");
    muxerName_ = fmt->name;

    AVFormatContext* oc = nullptr;
    int r = avformat_alloc_output_context2(&oc, fmt, nullptr, outputPath_.c_str());
    oc_.reset(oc);
    if (r < 0 || !oc_)
        return Fail("Could not create the output context", r < 0 ? r : AVERROR(ENOMEM), "Memory error\n");
    packet_.reset(av_packet_alloc());
    if (!packet_) return Fail("Could not allocate a packet", AVERROR(ENOMEM), "Memory error\n");

    // The same rate the script builder writes: the setting, else the
    // source's own, else 25.
    rate_ = settings_.fps != 0 ? settings_.fps : entry_.mediaInfo.fps;
    if (!(rate_ > 0)) rate_ = 25;

    videoId_ = VideoCodecFor(fmt, settings_.codec);
    audioId_ = AudioCodecFor(fmt);
    // A stream that cannot be made fails the file: without it the output
    // would lack the pictures or the sound of its source.
    if (videoId_ != AV_CODEC_ID_NONE && !AddVideoStream(videoId_, rate_)) return false;
    if (audioId_ != AV_CODEC_ID_NONE && !AddAudioStream(audioId_)) return false;
    // Without pictures the frame loop could never end.
    if (!videoCtx_) return Fail("The output format " + muxerName_ + " carries no video");

    const std::string source = FieldText(entry_.fullPath);
    // The title the PSP's video list shows. FFmpeg's "psp" muxer writes it
    // into the PSP's title box itself; its "mp4" muxer has no such box (and
    // the psp one writes no colour description), so for "mp4" the same box
    // is added to the finished file.
    if (IsPspMuxer(muxerName_)) {
        title_ = PspTitle(ReadSourceTitleTag(source), FieldText(entry_.fileName));
        if (!title_.empty() && muxerName_ == "psp") av_dict_set(&oc_->metadata, "title", title_.c_str(), 0);
    }
    std::string script;
    // The script is written with the run's settings, as the encoder is set
    // up: a change of the settings during the run changes neither.
    if (!WriteScript(entry_, ScriptVariant::Conversion, settings_, &script, tracks_)) {
        result_.failure = FailureKind::ScriptNotWritten;
        return Fail("The conversion script could not be written", 0, ScriptNotWrittenText(source).c_str());
    }

    // The source learns the size its pictures end at, so that it can leave
    // out decoding work the downscale would remove, and decodes with a
    // conversion's threads.
    const bool opened = reader_.OpenXXXFile(script, avs::ConversionOptions(settings_.width, settings_.height));
    if (!opened) {
        result_.failure = FailureKind::SourceNotOpened;
        result_.failureDetail = reader_.OpenError();
        return Fail("The source could not be opened" +
                        (reader_.OpenError().empty() ? std::string() : ": " + reader_.OpenError()),
                    0, Format("Open avs failed %s\n", source.c_str()).c_str());
    }
    if (!CheckSource()) return false;

    // A stream whose codec cannot be used fails the file before the output
    // file exists.
    if (!OpenVideo()) return false;
    if (audioCtx_ && !OpenAudio()) return false;

    if (!(fmt->flags & AVFMT_NOFILE)) {
        std::string why;
        const std::string logged = Format("Could not open '%s'\n", outputPath_.c_str());
        if (!temp_.Create(outputPath_, &why)) return Fail(why, 0, logged.c_str());
        r = avio_open(&oc_->pb, temp_.Path().c_str(), AVIO_FLAG_WRITE);
        if (r < 0) return Fail("Could not open the output file", r, logged.c_str());
        fileOpened_ = true;
    }
    r = avformat_write_header(oc_.get(), nullptr);
    if (r < 0) return Fail("Writing the output header failed", r);

    totalFrames_ = reader_.Length(SourceReader::kVideoLength);
    // The sound is encoded up to the end of the last picture.
    if (audioCtx_) sound_.Start(double(totalFrames_) * videoCtx_->time_base.num / videoCtx_->time_base.den);
    if (totalFrames_ > 0)
        readAhead_.Start(&reader_, totalFrames_, picturePool_.get(), pictureSize_, videoCtx_->width, videoCtx_->height);
    while (framesDone_ < totalFrames_ && !writeFailed_) {
        if (!control_.Proceed(framesDone_, totalFrames_)) {
            stopped_ = true;
            break;
        }
        if (SoundBefore(VideoTime())) {
            WriteSoundPacket();
        } else if (!writeFailed_) {
            WriteVideoFrame();
            ++framesDone_;
        }
    }
    readAhead_.Finish();
    result_.unreadableFrames = readAhead_.Unreadable();
    if (stopped_ || writeFailed_) {
        sound_.Finish();
        return false;
    }

    // The rest of the sound (up to the end of the last picture, then
    // whatever its encoder still held), then what the picture encoder holds.
    while (!writeFailed_ && SoundBefore(INFINITY)) WriteSoundPacket();
    if (!writeFailed_) Drain(videoCtx_.get(), videoSt_, "Error while writing video frame\n");
    sound_.Finish();
    reader_.Close();
    if (writeFailed_) return false;

    if (result_.unreadableFrames > 0) {
        LogLine("%ld of %ld pictures of %s could not be read and repeat the last good one",
                result_.unreadableFrames, totalFrames_, source.c_str());
        if (TooManyUnreadable(result_.unreadableFrames, totalFrames_))
            return Fail(std::to_string(result_.unreadableFrames) + " of " + std::to_string(totalFrames_) +
                        " pictures could not be read");
    }

    r = av_write_trailer(oc_.get());
    if (r < 0) return Fail("Writing the output trailer failed", r);
    if (fileOpened_) {
        r = avio_closep(&oc_->pb);
        fileOpened_ = false;
        if (r < 0) return Fail("Closing the output failed", r);
        std::string why;
        if (muxerName_ == "mp4" && !title_.empty() && !AppendPspTitleBox(temp_.Path(), title_, &why))
            LogLine("No title in %s: %s", outputPath_.c_str(), why.c_str());
        if (!temp_.Commit(&why)) return Fail(why);
        WriteThumbnailBeside();
    }
    return true;
}

}  // namespace

uint64_t TickCount() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TimeBase VideoTimeBase(double rate) {
    const int n = int(rate);
    if (double(n) == rate) return {1, n};
    return {1001, (n + 1) * 1000};
}

std::string& AvcEncoderName() {
    static std::string name = "libx264";
    return name;
}

bool FitsAvcLevel21(int width, int height, double rate) {
    if (width <= 0 || height <= 0 || !(rate > 0)) return false;
    const int64_t macroblocks = int64_t((width + 15) / 16) * ((height + 15) / 16);
    return macroblocks <= kAvcLevel21FrameMacroblocks && double(macroblocks) * rate <= kAvcLevel21MacroblockRate;
}

bool MuxerWantsGlobalHeader(const std::string& name) { return name == "mp4" || name == "mov" || name == "3gp"; }

bool TooManyUnreadable(long unreadable, long total) {
    if (unreadable <= 0) return false;
    if (unreadable >= total) return true;
    return unreadable * 100 > total;
}

EncodeResult EncodeToPsp(const EncodeRequest& request, EncodeControl& control) {
    FileEncoder encoder(request, control);
    return encoder.Encode();
}

std::string ScriptNotWrittenText(const std::string& source) {
    return Format("Generate avs file failed from %s!", source.c_str());
}

}  // namespace kalvex

#include "convert/SoundEncoder.h"

#include <algorithm>

#include "media/SourceReader.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/ThreadName.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace kalvex {

bool SoundEncoder::Prepare(AVCodecContext* ctx, int frameSize, SourceReader* reader, int64_t silentSamples,
                           Failure* why) {
    ctx_ = ctx;
    reader_ = reader;
    frameSize_ = frameSize;
    const int channels = ctx->ch_layout.nb_channels;
    silent_ = silentSamples >= 0;
    if (silent_) {
        // The silence is made at the encoder's own rate and layout.
        readerRate_ = ctx->sample_rate;
        readerChannels_ = channels;
        silentSamples_ = silentSamples;
        silence_.assign(size_t(frameSize_) * 2 * readerChannels_, 0);
    } else {
        readerRate_ = reader->SampleRate();
        readerChannels_ = reader->Channels();
        reader->SetSamplesPerRead(frameSize_);
    }

    AVChannelLayout in{};
    av_channel_layout_default(&in, readerChannels_);
    SwrContext* swr = nullptr;
    int r = swr_alloc_set_opts2(&swr, &ctx->ch_layout, ctx->sample_fmt, ctx->sample_rate, &in, AV_SAMPLE_FMT_S16,
                                readerRate_, 0, nullptr);
    swr_.reset(swr);
    av_channel_layout_uninit(&in);
    if (r < 0) {
        *why = {"Setting up the sound conversion failed", r};
        return false;
    }
    r = swr_init(swr_.get());
    if (r < 0) {
        *why = {"Starting the sound conversion failed", r};
        return false;
    }
    fifo_.reset(av_audio_fifo_alloc(ctx->sample_fmt, channels, frameSize_ * 4));
    samples_.reset(av_frame_alloc());
    if (!fifo_ || !samples_) {
        *why = {"Could not allocate the sound buffers", AVERROR(ENOMEM)};
        return false;
    }
    return true;
}

void SoundEncoder::Start(double until) {
    thread_ = std::thread([=, this] { Produce(until); });
}

avs::PacketPtr SoundEncoder::Next() { return queue_.Pop().value_or(avs::PacketPtr{}); }

bool SoundEncoder::Failed() const {
    std::lock_guard lock(errorLock_);
    return failed_;
}

SoundEncoder::Failure SoundEncoder::Error() const {
    std::lock_guard lock(errorLock_);
    return error_;
}

void SoundEncoder::Finish() {
    queue_.Close();
    if (thread_.joinable()) thread_.join();
    if (convertBuffer_) av_freep(&convertBuffer_[0]);
    av_freep(&convertBuffer_);
    convertCapacity_ = 0;
}

bool SoundEncoder::Fail(const std::string& reason, int avError) {
    std::lock_guard lock(errorLock_);
    if (!failed_) error_ = {reason, avError};
    failed_ = true;
    return false;
}

// The sound up to the end of the last picture, then whatever the
// conversion's buffer and the encoder still hold. A block counts as a
// whole frame of the reader's samples, read or not, as the writing thread
// counted it when it read the sound between pictures.
void SoundEncoder::Produce(double until) {
    InstallThreadCrashStack();
    NameThisThread("sound");
    bool ok = true;
    while (ok && !ended_ && double(samplesRead_) / readerRate_ < until) {
        const std::span<const uint8_t> read = NextBlock();
        if (Failed()) {
            ok = false;
            break;
        }
        ok = EncodeBlock(read);
    }
    if (ok && EncodeFrames(true)) SendAndQueue(nullptr);
    queue_.Finish();
}

// The next block of the sound: from the reader (its buffer, valid until
// the next read on this thread), or zeros up to the silent track's end and
// then a short block. Sound the source cannot deliver is a failure: its
// silence is no part of the sound.
std::span<const uint8_t> SoundEncoder::NextBlock() {
    if (silent_) {
        const int64_t left = std::clamp<int64_t>(silentSamples_ - samplesRead_, 0, frameSize_);
        return std::span<const uint8_t>(silence_).first(size_t(left) * 2 * readerChannels_);
    }
    long bytes = 0;
    const uint8_t* block = reader_->ReadAudio(&bytes);
    if (!reader_->AudioError().empty()) {
        Fail(reader_->AudioError());  // names the source, the step and the library's words
        return {};
    }
    if (!block || bytes < 0) return {};
    return {block, size_t(bytes)};
}

// Converts one block and encodes what makes whole frames. The end of the
// sound (a short or empty block) flushes the conversion.
bool SoundEncoder::EncodeBlock(std::span<const uint8_t> read) {
    const uint8_t* block = read.empty() ? nullptr : read.data();
    const int blockAlign = 2 * readerChannels_;
    const int got = block ? int(long(read.size()) / blockAlign) : 0;
    samplesRead_ += frameSize_;
    if (got < frameSize_) ended_ = true;

    const int64_t outMax = swr_get_out_samples(swr_.get(), got);
    if (outMax < 0) return Fail("Converting the sound failed", int(outMax));
    if (outMax > convertCapacity_) {
        if (convertBuffer_) av_freep(&convertBuffer_[0]);
        av_freep(&convertBuffer_);
        convertCapacity_ = 0;
        const int r = av_samples_alloc_array_and_samples(&convertBuffer_, nullptr, ctx_->ch_layout.nb_channels,
                                                         int(outMax), ctx_->sample_fmt, 0);
        if (r < 0) return Fail("Could not allocate an audio frame", r);
        convertCapacity_ = int(outMax);
    }
    const uint8_t* in[1] = {block};
    int out = swr_convert(swr_.get(), convertBuffer_, convertCapacity_, got > 0 ? in : nullptr, got);
    if (!QueueConverted(out)) return false;
    if (ended_) {
        // What the resampler still holds.
        do {
            out = swr_convert(swr_.get(), convertBuffer_, convertCapacity_, nullptr, 0);
            if (!QueueConverted(out)) return false;
        } while (out > 0);
    }
    return EncodeFrames(ended_);
}

// Puts n converted samples of convertBuffer_ into the FIFO.
bool SoundEncoder::QueueConverted(int n) {
    if (n < 0) return Fail("Converting the sound failed", n);
    if (n == 0) return true;
    const int r = av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(convertBuffer_), n);
    if (r != n) return Fail("Buffering the sound failed", r < 0 ? r : AVERROR(ENOMEM));
    return true;
}

// Encodes every whole frame in the FIFO; with flush, the rest as a last,
// shorter frame.
bool SoundEncoder::EncodeFrames(bool flush) {
    for (;;) {
        const int available = av_audio_fifo_size(fifo_.get());
        if (available <= 0 || (available < frameSize_ && !flush)) return true;
        const int n = std::min(available, frameSize_);
        av_frame_unref(samples_.get());
        samples_->nb_samples = n;
        samples_->format = ctx_->sample_fmt;
        samples_->sample_rate = ctx_->sample_rate;
        int r = av_channel_layout_copy(&samples_->ch_layout, &ctx_->ch_layout);
        if (r >= 0) r = av_frame_get_buffer(samples_.get(), 0);
        if (r < 0) return Fail("Could not allocate an audio frame", r);
        r = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(samples_->data), n);
        if (r != n) return Fail("Reading the sound buffer failed", r < 0 ? r : AVERROR_BUG);
        samples_->pts = pts_;
        pts_ += n;
        if (!SendAndQueue(samples_.get())) return false;
    }
}

// Sends one frame (or the end, frame == nullptr) to the encoder and queues
// every packet it gives back; false also when the writing thread quit.
bool SoundEncoder::SendAndQueue(AVFrame* frame) {
    int r = avcodec_send_frame(ctx_, frame);
    if (r < 0 && r != AVERROR_EOF) return Fail("Encoding failed", r);
    for (;;) {
        avs::PacketPtr packet(av_packet_alloc());
        if (!packet) return Fail("Encoding failed", AVERROR(ENOMEM));
        r = avcodec_receive_packet(ctx_, packet.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return Fail("Encoding failed", r);
        if (!queue_.Push(std::move(packet))) return false;
    }
}

}  // namespace kalvex

#pragma once
// Owning holders for FFmpeg objects, each released by FFmpeg's own free
// function, so that every way out of a function (a failure half-way through
// an open, an exception from a clip) leaves nothing behind.
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace kalvex::avs {

struct InputCloser {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvFrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct SwrFree {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct SwsFree {
    void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct AudioFifoFree {
    void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct BufferPoolFree {
    void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
};
struct BufferUnref {
    void operator()(AVBufferRef* p) const { av_buffer_unref(&p); }
};
// An output context: its file (when one was opened) is closed, then the
// context and its streams are freed.
struct OutputContextFree {
    void operator()(AVFormatContext* p) const {
        if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
        avformat_free_context(p);
    }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolFree>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

}  // namespace kalvex::avs

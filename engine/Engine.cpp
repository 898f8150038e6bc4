// The engine's own interface: scripts opened with their options, and the
// streams of an evaluated script read into the callers' buffers.
#include "engine/Engine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "engine/CpuKernels.h"
#include "engine/DecodeHint.h"
#include "engine/Prefetch.h"
#include "engine/ScriptEngine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace kalvex {
namespace {
std::atomic<void (*)(const char*)> gMessageSink{nullptr};
}  // namespace

void SetEngineMessageSink(void (*sink)(const char* line)) { gMessageSink.store(sink); }

namespace avs {

void EngineMessage(const std::string& line) {
    if (auto sink = gMessageSink.load()) sink(line.c_str());
}

namespace {

constexpr size_t kMaxScriptBytes = 1 << 20;

// FFmpeg's messages that pass the level (fatal ones, unless KALVEX_AVS_LOG
// asks for more) go where the engine's own go, never to the console.
void AvLogToSink(void* object, int level, const char* format, va_list args) {
    if (level > av_log_get_level()) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) EngineMessage(text);
}

DWORD Clamp32(int64_t v) { return DWORD(std::clamp<int64_t>(v, 0, 0xFFFFFFFFLL)); }

void DescribeVideo(const ClipInfo& ci, AVISTREAMINFOA& i, BITMAPINFOHEADER& h) {
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = ci.width;
    h.biHeight = ci.height;
    h.biPlanes = 1;
    if (IsYV12(ci.pixelFormat)) {
        h.biCompression = kFourCC_YV12;
        h.biBitCount = 12;
        h.biSizeImage = DWORD(ci.width) * ci.height + 2 * DWORD(ci.width / 2) * (ci.height / 2);
    } else {
        unsigned tag = avcodec_pix_fmt_to_codec_tag(ci.pixelFormat);
        h.biCompression = tag ? tag : MakeFourCC('K', 'V', 'X', '?');
        h.biBitCount = WORD(av_get_bits_per_pixel(av_pix_fmt_desc_get(ci.pixelFormat)));
        int size = av_image_get_buffer_size(ci.pixelFormat, ci.width, ci.height, 1);
        h.biSizeImage = size > 0 ? DWORD(size) : 0;
    }
    i.fccType = streamtypeVIDEO;
    i.fccHandler = h.biCompression;
    i.dwScale = DWORD(ci.fps.den);
    i.dwRate = DWORD(ci.fps.num);
    i.dwLength = Clamp32(ci.frameCount);
    i.dwSuggestedBufferSize = h.biSizeImage;
    i.dwQuality = DWORD(-1);
    i.rcFrame = RECT{0, 0, ci.width, ci.height};
    std::strcpy(i.szName, "Kalvex video");
}

void DescribeAudio(const ClipInfo& ci, AVISTREAMINFOA& i, PCMWAVEFORMAT& w) {
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = WORD(ci.channels);
    w.nSamplesPerSec = DWORD(ci.sampleRate);
    w.wBitsPerSample = 16;
    w.nBlockAlign = WORD(ci.BytesPerSample());
    w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
    i.fccType = streamtypeAUDIO;
    i.dwScale = w.nBlockAlign;
    i.dwRate = w.nAvgBytesPerSec;
    i.dwLength = Clamp32(ci.sampleCount);
    i.dwSampleSize = w.nBlockAlign;
    i.dwSuggestedBufferSize = w.nAvgBytesPerSec;
    i.dwQuality = DWORD(-1);
    std::strcpy(i.szName, "Kalvex audio");
}

// One frame into the caller's buffer: YV12 as Y, V, U planes without
// padding; other layouts packed as FFmpeg lays them out.
void CopyFrame(const AVFrame* f, const BITMAPINFOHEADER& h, uint8_t* dst) {
    const int w = h.biWidth, ht = h.biHeight;
    if (h.biCompression == kFourCC_YV12) {
        const int cw = w / 2, chh = ht / 2;
        if (!f) {
            std::memset(dst, 16, size_t(w) * ht);
            std::memset(dst + size_t(w) * ht, 128, size_t(cw) * chh * 2);
            return;
        }
        const int fw = std::min(w, f->width), fh = std::min(ht, f->height);
        auto plane = [&](const uint8_t* src, int ls, int pw, int ph, int cpw, int cph, uint8_t fill, uint8_t* out) {
            for (int y = 0; y < ph; ++y) {
                uint8_t* row = out + size_t(y) * pw;
                if (y < cph) {
                    std::memcpy(row, src + ptrdiff_t(y) * ls, cpw);
                    if (cpw < pw) std::memset(row + cpw, fill, pw - cpw);
                } else {
                    std::memset(row, fill, pw);
                }
            }
        };
        plane(f->data[0], f->linesize[0], w, ht, fw, fh, 16, dst);
        uint8_t* v = dst + size_t(w) * ht;
        uint8_t* u = v + size_t(cw) * chh;
        plane(f->data[2], f->linesize[2], cw, chh, fw / 2, fh / 2, 128, v);
        plane(f->data[1], f->linesize[1], cw, chh, fw / 2, fh / 2, 128, u);
        return;
    }
    if (!f || f->width != w || f->height != ht) {
        std::memset(dst, 0, h.biSizeImage);
        return;
    }
    av_image_copy_to_buffer(dst, int(h.biSizeImage), f->data, f->linesize, AVPixelFormat(f->format), w, ht, 1);
}

}  // namespace

void RouteLibraryMessages() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Broken files make the decoders talk; the program reports what matters itself.
        if (av_log_get_level() == AV_LOG_INFO && !std::getenv("KALVEX_AVS_LOG")) {
            av_log_set_level(AV_LOG_FATAL);
            av_log_set_callback(AvLogToSink);
        }
    });
}

Script::Script(ClipPtr clip, int keepPictures) : clip_(std::move(clip)), keepPictures_(keepPictures) {
    const ClipInfo& ci = clip_->Info();
    hasVideo_ = ci.hasVideo;
    hasAudio_ = ci.hasAudio && ci.channels > 0;
    if (hasVideo_) DescribeVideo(ci, videoInfo_, videoHeader_);
    if (hasAudio_) DescribeAudio(ci, audioInfo_, audioFormat_);
}

Script::~Script() {
    // The worker reading ahead stops before the clip it reads goes.
    prefetch_.reset();
}

HRESULT Script::ReadVideo(LONG start, LONG count, void* buffer, LONG bufferSize, LONG* bytesRead, LONG* framesRead) {
    if (bytesRead) *bytesRead = 0;
    if (framesRead) *framesRead = 0;
    if (!hasVideo_ || count < 0 || bufferSize < 0) return AVIERR_BADPARAM;
    const ClipInfo& ci = clip_->Info();
    const int64_t image = videoHeader_.biSizeImage;
    int64_t n = std::clamp<int64_t>(std::min<int64_t>(count, ci.frameCount - int64_t(start)), 0, count);
    if (start < 0) n = 0;
    if (!buffer) {
        if (bytesRead) *bytesRead = LONG(std::min<int64_t>(image * n, INT32_MAX));
        if (framesRead) *framesRead = LONG(n);
        return AVIERR_OK;
    }
    if (n > 0 && image > bufferSize) return AVIERR_BUFFERTOOSMALL;
    n = std::min<int64_t>(n, bufferSize / std::max<int64_t>(image, 1));
    std::lock_guard<std::mutex> lock(videoLock_);
    if (!prefetch_ && n > 0) prefetch_ = std::make_unique<FramePrefetcher>(clip_, 3, keepPictures_, "script-ahead");
    // A frame the source could not deliver comes as a stand-in picture
    // with the corrupt mark: it is copied all the same, but the read
    // fails, so the caller never takes it for the real picture.
    bool unreadable = false;
    for (int64_t i = 0; i < n; ++i) {
        FramePtr f = prefetch_->Get(start + i);
        if (!f || (f->flags & AV_FRAME_FLAG_CORRUPT)) unreadable = true;
        CopyFrame(f.get(), videoHeader_, static_cast<uint8_t*>(buffer) + i * image);
    }
    if (bytesRead) *bytesRead = LONG(n * image);
    if (framesRead) *framesRead = LONG(n);
    return unreadable ? AVIERR_FILEREAD : AVIERR_OK;
}

HRESULT Script::ReadAudio(LONG start, LONG count, void* buffer, LONG bufferSize, LONG* bytesRead, LONG* samplesRead,
                          std::string* error) {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    if (!hasAudio_ || count < 0 || bufferSize < 0) return AVIERR_BADPARAM;
    const ClipInfo& ci = clip_->Info();
    const int block = audioFormat_.nBlockAlign;
    int64_t n = std::clamp<int64_t>(std::min<int64_t>(count, ci.sampleCount - int64_t(start)), 0, count);
    if (start < 0) n = 0;
    HRESULT result = AVIERR_OK;
    if (buffer) {
        n = std::min<int64_t>(n, bufferSize / block);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(audioLock_);
            try {
                clip_->GetAudio(static_cast<int16_t*>(buffer), start, n);
                if (error) error->clear();
            } catch (const ReadError& e) {
                // The block is silence; the read fails and says why.
                std::memset(buffer, 0, size_t(n) * block);
                if (error) *error = e.what();
                result = AVIERR_FILEREAD;
            }
        }
    }
    if (bytesRead) *bytesRead = LONG(n * block);
    if (samplesRead) *samplesRead = LONG(n);
    return result;
}

OpenResult OpenScriptText(const std::string& text, const std::string& name, const OpenOptions& options) {
    RouteLibraryMessages();
    ChooseLibraryKernels();
    OpenResult result;
    // The options go down with the evaluation; what the source finds comes
    // back in the same context. A script without a source has no aspect
    // ratio.
    EvalContext context{options, SourceReport{}};
    ClipPtr clip;
    if (text.size() > kMaxScriptBytes) {
        result.error = "Script error: the script is too long\n(" + name + ")";
    } else {
        try {
            clip = EvaluateScript(text, name, context);
        } catch (const ScriptError& e) {
            result.error = e.what();
        } catch (const std::exception& e) {
            result.error = std::string("Script error: ") + e.what() + "\n(" + name + ")";
        }
    }
    result.source = context.source;
    if (result.error.empty() && clip) result.script = std::make_shared<Script>(std::move(clip), options.keepPictures);
    return result;
}

OpenResult OpenScriptFile(const std::string& path, const OpenOptions& options) {
    OpenResult result;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.fileError = AVIERR_FILEOPEN;
        return result;
    }
    std::string text;
    text.resize(kMaxScriptBytes + 1);
    in.read(text.data(), std::streamsize(text.size()));
    if (in.bad()) {
        result.fileError = AVIERR_FILEREAD;
        return result;
    }
    text.resize(size_t(in.gcount()));
    return OpenScriptText(text, path, options);
}

OpenOptions ConversionOptions(int width, int height) {
    OpenOptions options;
    options.outputWidth = width;
    options.outputHeight = height;
    // No size, no conversion: the library's own thread count.
    if (options.HasOutputSize()) options.decoderCores = av_cpu_count();
    // A conversion reads picture and sound forward together.
    options.readOnce = true;
    return options;
}

}  // namespace avs
}  // namespace kalvex

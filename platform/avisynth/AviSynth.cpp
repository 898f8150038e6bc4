// The Video for Windows style interface over the script engine. A script
// opened with MyAVIFileOpen becomes the calling thread's current file; its
// streams are handles that keep the clip chain alive on their own.
#include "platform/avisynth/AviSynth.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/avisynth/Prefetch.h"
#include "platform/avisynth/ScriptEngine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace kalvex {

using avs::ClipPtr;
using avs::FramePtr;

struct ScriptFile {
    ClipPtr clip;
    std::string error;
    // The video and the audio chains keep separate state, so one lock each:
    // a video reader and an audio reader may work at the same time.
    std::mutex videoLock;
    std::mutex audioLock;
    // Made at the first frame read; stopped before the clip goes.
    std::unique_ptr<avs::FramePrefetcher> prefetch;
};

struct AviStream {
    std::shared_ptr<ScriptFile> file;
    AVISTREAMINFOA info{};
    BITMAPINFOHEADER video{};
    PCMWAVEFORMAT audio{};
    bool isVideo = false;
    // Why the last read of this stream failed (empty: it did not).
    std::string error;
};

namespace {

std::atomic<int> gUsers{0};
std::atomic<void (*)(const char*)> gMessageSink{nullptr};

// FFmpeg's messages that pass the level (fatal ones, unless KALVEX_AVS_LOG
// asks for more) go where the engine's own go, never to the console.
void AvLogToSink(void* object, int level, const char* format, va_list args) {
    if (level > av_log_get_level()) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) avs::EngineMessage(text);
}
thread_local std::shared_ptr<ScriptFile> tCurrent;

constexpr size_t kMaxScriptBytes = 1 << 20;

DWORD Clamp32(int64_t v) { return DWORD(std::clamp<int64_t>(v, 0, 0xFFFFFFFFLL)); }

void FillVideo(AviStream& s, const avs::ClipInfo& ci) {
    s.isVideo = true;
    BITMAPINFOHEADER& h = s.video;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = ci.width;
    h.biHeight = ci.height;
    h.biPlanes = 1;
    if (avs::IsYV12(ci.pixelFormat)) {
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
    AVISTREAMINFOA& i = s.info;
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

void FillAudio(AviStream& s, const avs::ClipInfo& ci) {
    PCMWAVEFORMAT& w = s.audio;
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = WORD(ci.channels);
    w.nSamplesPerSec = DWORD(ci.sampleRate);
    w.wBitsPerSample = 16;
    w.nBlockAlign = WORD(ci.BytesPerSample());
    w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
    AVISTREAMINFOA& i = s.info;
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

void MyAVIFileInit() {
    if (gUsers.fetch_add(1) == 0) {
        // Broken files make the decoders talk; the program reports what matters itself.
        if (av_log_get_level() == AV_LOG_INFO && !std::getenv("KALVEX_AVS_LOG")) {
            av_log_set_level(AV_LOG_FATAL);
            av_log_set_callback(AvLogToSink);
        }
    }
}

void SetEngineMessageSink(void (*sink)(const char* line)) { gMessageSink.store(sink); }

namespace avs {
void EngineMessage(const std::string& line) {
    if (auto sink = gMessageSink.load()) sink(line.c_str());
}
}  // namespace avs

void MyAVIFileExit() {
    if (gUsers.fetch_sub(1) <= 1) gUsers.store(0);
    tCurrent.reset();
}

HRESULT MyAVIFileOpen(const char* path) {
    tCurrent.reset();
    if (!path) return AVIERR_BADPARAM;
    std::ifstream in(path, std::ios::binary);
    if (!in) return AVIERR_FILEOPEN;
    std::string text;
    text.resize(kMaxScriptBytes + 1);
    in.read(text.data(), std::streamsize(text.size()));
    if (in.bad()) return AVIERR_FILEREAD;
    text.resize(size_t(in.gcount()));
    auto file = std::make_shared<ScriptFile>();
    std::string name = path;
    avs::SetLastDAR(0, 0);  // a script without a source has no aspect ratio
    if (text.size() > kMaxScriptBytes) {
        file->error = "Script error: the script is too long\n(" + name + ")";
    } else {
        try {
            file->clip = avs::EvaluateScript(text, name);
        } catch (const avs::ScriptError& e) {
            file->error = e.what();
        } catch (const std::exception& e) {
            file->error = std::string("Script error: ") + e.what() + "\n(" + name + ")";
        }
    }
    if (!file->error.empty()) file->clip.reset();
    tCurrent = std::move(file);
    return AVIERR_OK;
}

HRESULT MyAVIFileGetStream(PAVISTREAM* stream, DWORD type, LONG index) {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    if (!tCurrent || !tCurrent->clip || index != 0) return AVIERR_NODATA;
    const avs::ClipInfo& ci = tCurrent->clip->Info();
    auto s = std::make_unique<AviStream>();
    s->file = tCurrent;
    if (type == streamtypeVIDEO && ci.hasVideo)
        FillVideo(*s, ci);
    else if (type == streamtypeAUDIO && ci.hasAudio && ci.channels > 0)
        FillAudio(*s, ci);
    else
        return AVIERR_NODATA;
    *stream = s.release();
    return AVIERR_OK;
}

int MyAVIFileGetError(const char** text) {
    if (!tCurrent || tCurrent->error.empty()) {
        if (text) *text = nullptr;
        return 0;
    }
    if (text) *text = tCurrent->error.c_str();
    return 1;
}

LONG MyAVIStreamClose(PAVISTREAM stream) {
    delete stream;
    return 0;
}

LONG MyAVIFileClose(PAVIFILE) { return 0; }

HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, LONG size) {
    if (!stream || !info || size < 0) return AVIERR_BADPARAM;
    std::memcpy(info, &stream->info, std::min<size_t>(size_t(size), sizeof(AVISTREAMINFOA)));
    return AVIERR_OK;
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, LONG, void* format, LONG* size) {
    if (!stream || !size) return AVIERR_BADPARAM;
    const void* src = stream->isVideo ? static_cast<const void*>(&stream->video) : &stream->audio;
    LONG full = stream->isVideo ? LONG(sizeof(BITMAPINFOHEADER)) : LONG(sizeof(PCMWAVEFORMAT));
    if (!format) {
        *size = full;
        return AVIERR_OK;
    }
    if (*size < 0) return AVIERR_BADPARAM;
    *size = std::min(*size, full);
    std::memcpy(format, src, size_t(*size));
    return AVIERR_OK;
}

HRESULT AVIStreamRead(PAVISTREAM stream, LONG start, LONG count, void* buffer, LONG bufferSize, LONG* bytesRead,
                      LONG* samplesRead) {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    if (!stream || count < 0 || bufferSize < 0) return AVIERR_BADPARAM;
    ScriptFile& file = *stream->file;
    const avs::ClipInfo& ci = file.clip->Info();
    if (stream->isVideo) {
        const int64_t image = stream->video.biSizeImage;
        int64_t n = std::clamp<int64_t>(std::min<int64_t>(count, ci.frameCount - int64_t(start)), 0, count);
        if (start < 0) n = 0;
        if (!buffer) {
            if (bytesRead) *bytesRead = LONG(std::min<int64_t>(image * n, INT32_MAX));
            if (samplesRead) *samplesRead = LONG(n);
            return AVIERR_OK;
        }
        if (n > 0 && image > bufferSize) return AVIERR_BUFFERTOOSMALL;
        n = std::min<int64_t>(n, bufferSize / std::max<int64_t>(image, 1));
        std::lock_guard<std::mutex> lock(file.videoLock);
        if (!file.prefetch && n > 0) file.prefetch = std::make_unique<avs::FramePrefetcher>(file.clip);
        // A frame the source could not deliver comes as a stand-in picture
        // with the corrupt mark: it is copied all the same, but the read
        // fails, so the caller never takes it for the real picture.
        bool unreadable = false;
        for (int64_t i = 0; i < n; ++i) {
            FramePtr f = file.prefetch->Get(start + i);
            if (!f || (f->flags & AV_FRAME_FLAG_CORRUPT)) unreadable = true;
            CopyFrame(f.get(), stream->video, static_cast<uint8_t*>(buffer) + i * image);
        }
        if (bytesRead) *bytesRead = LONG(n * image);
        if (samplesRead) *samplesRead = LONG(n);
        return unreadable ? AVIERR_FILEREAD : AVIERR_OK;
    }
    const int block = stream->audio.nBlockAlign;
    int64_t n = std::clamp<int64_t>(std::min<int64_t>(count, ci.sampleCount - int64_t(start)), 0, count);
    if (start < 0) n = 0;
    HRESULT result = AVIERR_OK;
    if (buffer) {
        n = std::min<int64_t>(n, bufferSize / block);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(file.audioLock);
            try {
                file.clip->GetAudio(static_cast<int16_t*>(buffer), start, n);
                stream->error.clear();
            } catch (const avs::ReadError& e) {
                // The block is silence; the read fails and says why.
                std::memset(buffer, 0, size_t(n) * block);
                stream->error = e.what();
                result = AVIERR_FILEREAD;
            }
        }
    }
    if (bytesRead) *bytesRead = LONG(n * block);
    if (samplesRead) *samplesRead = LONG(n);
    return result;
}

int MyAVIStreamGetError(PAVISTREAM stream, const char** text) {
    if (!stream || stream->error.empty()) {
        if (text) *text = nullptr;
        return 0;
    }
    if (text) *text = stream->error.c_str();
    return 1;
}

}  // namespace kalvex

extern "C" __attribute__((visibility("default"))) void KalvexAvsLastDAR(int* x, int* y) { kalvex::avs::GetLastDAR(x, y); }

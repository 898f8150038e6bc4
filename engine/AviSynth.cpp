// The Video for Windows style calls over the engine's own interface. A
// script opened with MyAVIFileOpen becomes the calling thread's current
// file, as these calls define it; its streams are handles that keep the
// evaluated script alive on their own.
#include "engine/AviSynth.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "engine/Engine.h"

namespace kalvex {

struct AviStream {
    std::shared_ptr<avs::Script> script;
    bool isVideo = false;
    // Why the last read of this stream failed (empty: it did not).
    std::string error;
};

namespace {

std::atomic<int> gUsers{0};

// The script opened last on this thread: what MyAVIFileGetStream and
// MyAVIFileGetError answer about. Only these calls use it.
thread_local avs::OpenResult tCurrent;

}  // namespace

void MyAVIFileInit() {
    if (gUsers.fetch_add(1) == 0) avs::RouteLibraryMessages();
}

void MyAVIFileExit() {
    if (gUsers.fetch_sub(1) <= 1) gUsers.store(0);
    tCurrent = avs::OpenResult{};
}

HRESULT MyAVIFileOpen(const char* path) {
    tCurrent = avs::OpenResult{};
    if (!path) return AVIERR_BADPARAM;
    avs::OpenResult result = avs::OpenScriptFile(path);
    if (result.fileError != AVIERR_OK) return result.fileError;
    tCurrent = std::move(result);
    return AVIERR_OK;
}

HRESULT MyAVIFileGetStream(PAVISTREAM* stream, DWORD type, LONG index) {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    const std::shared_ptr<avs::Script>& script = tCurrent.script;
    if (!script || index != 0) return AVIERR_NODATA;
    auto s = std::make_unique<AviStream>();
    s->script = script;
    if (type == streamtypeVIDEO && script->HasVideo())
        s->isVideo = true;
    else if (type == streamtypeAUDIO && script->HasAudio())
        s->isVideo = false;
    else
        return AVIERR_NODATA;
    *stream = s.release();
    return AVIERR_OK;
}

int MyAVIFileGetError(const char** text) {
    if (tCurrent.error.empty()) {
        if (text) *text = nullptr;
        return 0;
    }
    if (text) *text = tCurrent.error.c_str();
    return 1;
}

LONG MyAVIStreamClose(PAVISTREAM stream) {
    delete stream;
    return 0;
}

LONG MyAVIFileClose(PAVIFILE) { return 0; }

HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, LONG size) {
    if (!stream || !info || size < 0) return AVIERR_BADPARAM;
    const AVISTREAMINFOA& own = stream->isVideo ? stream->script->VideoInfo() : stream->script->AudioInfo();
    std::memcpy(info, &own, std::min<size_t>(size_t(size), sizeof(AVISTREAMINFOA)));
    return AVIERR_OK;
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, LONG, void* format, LONG* size) {
    if (!stream || !size) return AVIERR_BADPARAM;
    const void* src = stream->isVideo ? static_cast<const void*>(&stream->script->VideoHeader())
                                      : static_cast<const void*>(&stream->script->AudioFormat());
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
    if (!stream) {
        if (bytesRead) *bytesRead = 0;
        if (samplesRead) *samplesRead = 0;
        return AVIERR_BADPARAM;
    }
    if (stream->isVideo) return stream->script->ReadVideo(start, count, buffer, bufferSize, bytesRead, samplesRead);
    return stream->script->ReadAudio(start, count, buffer, bufferSize, bytesRead, samplesRead, &stream->error);
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

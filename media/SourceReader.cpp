#include "media/SourceReader.h"

#include <QString>
#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "common/ProgramLog.h"
#include "platform/registry/RegistryStore.h"
#include "subtitles/engine/SubtitleFilters.h"

namespace kalvex {

bool KLiteCodecPackIsMega() {
    auto key = RegistryKey::Open(RegRoot::LocalMachine, "Software\\KLCodecPack", false, true);
    if (!key) return false;
    auto type = key->GetString("type");
    if (!type || type->size() >= 260) return false;
    return strcasecmp(type->c_str(), "mega") == 0;
}

namespace {
void LogEngineMessage(const char* line) { LogLine("%s", line); }
}  // namespace

SourceReader::SourceReader() {
    // No COM here. The engine's messages go to the log; its scripts may
    // call the subtitle filters.
    avs::RouteLibraryMessages();
    SetEngineMessageSink(&LogEngineMessage);
    RegisterSubtitleFilters();
}

SourceReader::~SourceReader() { Close(); }

bool SourceReader::OpenXXXFile(const std::string& scriptPath, const avs::OpenOptions& options) {
    LogLine("Entering %s", "OpenXXXFile");
    nextFrame_ = 0;
    nextSample_ = 0;
    hasVideo_ = false;
    hasAudio_ = false;
    Close();  // a reader opened twice starts afresh rather than leaking its streams
    readFailureLogged_ = false;
    audioError_.clear();
    source_ = avs::SourceReport{};

    openError_.clear();
    avs::OpenOptions withStop = options;
    if (!withStop.stopVideo)
        withStop.stopVideo = [stop = stopVideo_] { return stop->load(std::memory_order_acquire); };
    avs::OpenResult opened = avs::OpenScriptFile(scriptPath, withStop);
    HRESULT r = opened.fileError;
    LogLine("#1 %x", unsigned(r));
    if (r != 0) {
        LogLine("Leaving %s", "OpenXXXFile");
        return false;
    }
    source_ = opened.source;

    LogLine("V---");
    const std::shared_ptr<avs::Script>& script = opened.script;
    videoStream_ = script && script->HasVideo();
    r = videoStream_ ? AVIERR_OK : AVIERR_NODATA;
    LogLine("#2-1 %x", unsigned(r));
    if (!opened.error.empty()) {
        std::string text = "Open failure:\n" + opened.error;
        LogLine("AviSynthError:%s", text.c_str());
        openError_ = text;
        LogLine("Leaving %s", "OpenXXXFile");
        return false;
    }
    script_ = script;
    if (videoStream_) {
        // The stream's description and format, as the program has always
        // read them.
        videoInfo_ = script->VideoInfo();
        LogLine("#2-2 %x", 0u);
        LogLine("#2-3 %x", 0u);
        LogLine("#2-4 %x", 0u);
        videoHeaderRead_ = script->VideoHeader();
        hasVideo_ = true;
    }

    LogLine("A---");
    audioStream_ = script && script->HasAudio();
    r = audioStream_ ? AVIERR_OK : AVIERR_NODATA;
    LogLine("#3-1 %x", unsigned(r));
    if (audioStream_) {
        audioInfo_ = script->AudioInfo();
        LogLine("#3-2 %x", 0u);
        LogLine("#3-3 %x", 0u);
        audioFormat_ = script->AudioFormat();
        LogLine("#3-4 %x", 0u);
        hasAudio_ = true;
    }

    if (!hasVideo_ && !hasAudio_) {
        LogLine("Leaving %s", "OpenXXXFile");
        return false;
    }
    if (hasVideo_) {
        videoHeader_ = videoHeaderRead_;
        scale_ = videoInfo_.dwScale;
        rate_ = videoInfo_.dwRate;
        videoLength_ = long(videoInfo_.dwLength);
    } else {
        scale_ = audioInfo_.dwScale;
        rate_ = audioInfo_.dwRate;
    }
    if (hasAudio_) audioLength_ = long(audioInfo_.dwLength);
    LogLine("Leaving %s", "OpenXXXFile");
    return true;
}

long SourceReader::Length(int kind) const {
    switch (kind) {
    case 0:
    case 1:
    case 3: return videoLength_;
    case 2: return audioLength_;
    default: return 0;
    }
}

void SourceReader::VideoType(char out[5]) const {
    std::memcpy(out, &videoInfo_.fccType, 4);
    out[4] = 0;
}

void SourceReader::AudioType(char out[5]) const {
    std::memcpy(out, &audioInfo_.fccType, 4);
    out[4] = 0;
}

void SourceReader::SetSamplesPerRead(long n) {
    samplesPerRead_ = n;
    if (n > 0) audioLength_ /= n;
}

uint8_t* SourceReader::ReadVideoFrame() {
    LONG bytes = 0, frames = 0;
    if (GivingUpVideoReads()) {
        ++nextFrame_;
        return nullptr;
    }
    // The buffers are made by the first read (Close drops them): an
    // examination reads nothing, and zeroing megabytes it never uses (two
    // picture sizes, 25 MB for a 4K source) held up every file added.
    if (script_ && videoStream_ && !videoBuffer_) videoBuffer_ = new uint8_t[VideoBufferBytes()]();
    HRESULT r = script_ && videoStream_ && videoBuffer_
                    ? script_->ReadVideo(LONG(nextFrame_), 1, videoBuffer_, LONG(videoHeader_.biSizeImage), &bytes, &frames)
                    : AVIERR_BADPARAM;
    ++nextFrame_;
    // A frame the source could not deliver (or nothing delivered at all)
    // leaves a stand-in or an old picture in the buffer: never hand that on
    // as the frame asked for.
    if (r != 0 || frames < 1) {
        if (GivingUpVideoReads()) return nullptr;  // given up on the way, not a fault of the source
        // Into the log, once per opening: a damaged file can fail thousands
        // of reads, and their number is its user's to report.
        if (!readFailureLogged_) LogLine("Read Failed at frame %ld", nextFrame_ - 1);
        readFailureLogged_ = true;
        return nullptr;
    }
    return videoBuffer_;
}

uint8_t* SourceReader::ReadAudio(long* bytesRead) {
    LONG bytes = 0, samples = 0;
    if (script_ && audioStream_ && !audioBuffer_) audioBuffer_ = new uint8_t[kAudioBufferBytes]();
    if (script_ && audioStream_ && audioBuffer_) {
        std::string why;
        const HRESULT r = script_->ReadAudio(LONG(nextSample_), LONG(samplesPerRead_), audioBuffer_, kAudioReadBytes,
                                             &bytes, &samples, &why);
        // The block is silence then; the first reason is kept.
        if (r != 0 && audioError_.empty() && !why.empty()) audioError_ = why;
    }
    nextSample_ += samplesPerRead_;
    if (bytesRead) *bytesRead = bytes;
    return audioBuffer_;
}

long SourceReader::AudioBytesPerRead() const {
    return long(audioFormat_.wBitsPerSample) * samplesPerRead_ / 8 * audioFormat_.nChannels;
}

size_t SourceReader::BufferBytes() const {
    return (videoBuffer_ ? VideoBufferBytes() : 0) + (audioBuffer_ ? size_t(kAudioBufferBytes) : 0);
}

void SourceReader::Close() {
    delete[] videoBuffer_;
    videoBuffer_ = nullptr;
    delete[] audioBuffer_;
    audioBuffer_ = nullptr;
    script_.reset();
    videoStream_ = false;
    audioStream_ = false;
}

}  // namespace kalvex

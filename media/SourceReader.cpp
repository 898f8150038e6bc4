#include "media/SourceReader.h"

#include <QString>
#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

#include "common/ProgramLog.h"
#include "platform/registry/RegistryStore.h"

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
    // No COM here; the engine counts its users. Its messages go to the log.
    MyAVIFileInit();
    SetEngineMessageSink(&LogEngineMessage);
}

SourceReader::~SourceReader() {
    Close();
    MyAVIFileExit();
}

bool SourceReader::OpenXXXFile(const std::string& scriptPath) {
    LogLine("Entering %s", "OpenXXXFile");
    nextFrame_ = 0;
    nextSample_ = 0;
    hasVideo_ = false;
    hasAudio_ = false;
    Close();  // a reader opened twice starts afresh rather than leaking its streams
    readFailureLogged_ = false;
    audioError_.clear();

    openError_.clear();
    HRESULT r = MyAVIFileOpen(scriptPath.c_str());
    LogLine("#1 %x", unsigned(r));
    if (r != 0) {
        LogLine("Leaving %s", "OpenXXXFile");
        return false;
    }

    LogLine("V---");
    r = MyAVIFileGetStream(&videoStream_, streamtypeVIDEO, 0);
    LogLine("#2-1 %x", unsigned(r));
    const char* error = nullptr;
    if (MyAVIFileGetError(&error)) {
        std::string text = std::string("Open failure:\n") + (error ? error : "");
        LogLine("AviSynthError:%s", text.c_str());
        openError_ = text;
        LogLine("Leaving %s", "OpenXXXFile");
        return false;
    }
    if (r == 0 && videoStream_) {
        r = AVIStreamInfoA(videoStream_, &videoInfo_, sizeof videoInfo_);
        LogLine("#2-2 %x", unsigned(r));
        if (r == 0) {
            LONG size = 0;
            r = AVIStreamReadFormat(videoStream_, 0, nullptr, &size);
            LogLine("#2-3 %x", unsigned(r));
            std::vector<uint8_t> format(size_t(std::max<LONG>(size, LONG(sizeof(BITMAPINFOHEADER)))), 0);
            LONG got = size;
            r = AVIStreamReadFormat(videoStream_, 0, format.data(), &got);
            LogLine("#2-4 %x", unsigned(r));
            if (r == 0) {
                std::memcpy(&videoHeaderRead_, format.data(), sizeof(BITMAPINFOHEADER));
                hasVideo_ = true;
            }
        }
    }

    LogLine("A---");
    r = MyAVIFileGetStream(&audioStream_, streamtypeAUDIO, 0);
    LogLine("#3-1 %x", unsigned(r));
    if (r == 0 && audioStream_) {
        delete[] audioBuffer_;
        audioBuffer_ = new uint8_t[kAudioBufferBytes]();
        r = AVIStreamInfoA(audioStream_, &audioInfo_, sizeof audioInfo_);
        LogLine("#3-2 %x", unsigned(r));
        LONG size = 0;
        r = AVIStreamReadFormat(audioStream_, 0, nullptr, &size);
        LogLine("#3-3 %x", unsigned(r));
        size = std::clamp<LONG>(size, 0, LONG(sizeof(PCMWAVEFORMAT)));  // the PCM part only
        r = AVIStreamReadFormat(audioStream_, 0, &audioFormat_, &size);
        LogLine("#3-4 %x", unsigned(r));
        hasAudio_ = true;
    }

    if (!hasVideo_ && !hasAudio_) {
        LogLine("Leaving %s", "OpenXXXFile");
        return false;
    }
    if (hasVideo_) {
        videoHeader_ = videoHeaderRead_;
        delete[] videoBuffer_;
        videoBuffer_ = new uint8_t[size_t(videoHeader_.biSizeImage) * 2 + 1]();
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
    HRESULT r = videoStream_ && videoBuffer_
                    ? AVIStreamRead(videoStream_, LONG(nextFrame_), 1, videoBuffer_, LONG(videoHeader_.biSizeImage), &bytes, &frames)
                    : AVIERR_BADPARAM;
    ++nextFrame_;
    // A frame the source could not deliver (or nothing delivered at all)
    // leaves a stand-in or an old picture in the buffer: never hand that on
    // as the frame asked for.
    if (r != 0 || frames < 1) {
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
    if (audioStream_ && audioBuffer_) {
        const HRESULT r = AVIStreamRead(audioStream_, LONG(nextSample_), LONG(samplesPerRead_), audioBuffer_,
                                        kAudioReadBytes, &bytes, &samples);
        // The block is silence then; the first reason is kept.
        const char* why = nullptr;
        if (r != 0 && audioError_.empty() && MyAVIStreamGetError(audioStream_, &why) && why) audioError_ = why;
    }
    nextSample_ += samplesPerRead_;
    if (bytesRead) *bytesRead = bytes;
    return audioBuffer_;
}

long SourceReader::AudioBytesPerRead() const {
    return long(audioFormat_.wBitsPerSample) * samplesPerRead_ / 8 * audioFormat_.nChannels;
}

void SourceReader::Close() {
    delete[] videoBuffer_;
    videoBuffer_ = nullptr;
    delete[] audioBuffer_;
    audioBuffer_ = nullptr;
    if (videoStream_) MyAVIStreamClose(videoStream_);
    if (audioStream_) MyAVIStreamClose(audioStream_);
    videoStream_ = nullptr;
    audioStream_ = nullptr;
}

}  // namespace kalvex

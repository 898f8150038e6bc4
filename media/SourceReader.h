#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Engine.h"

namespace kalvex {

// Opens one script through the script engine and reads its YV12 frames and
// PCM audio blocks. The subtitle filters are registered with the engine
// when the first reader is made, so every script a reader opens may burn
// subtitles in. One reader per use (an examination, a conversion, a
// preview source), used by one thread at a time, owned by its user.
class SourceReader {
public:
    static constexpr LONG kAudioBufferBytes = 2097252;   // allocated
    static constexpr LONG kAudioReadBytes = 2097152;     // declared to each read

    // Length kinds for Length(): 0, 1 and 3 give the video length in frames,
    // 2 the audio length.
    enum LengthKind { kVideoLength = 0, kVideoLength1 = 1, kAudioLength = 2, kVideoLength3 = 3 };

    SourceReader();
    ~SourceReader();
    SourceReader(const SourceReader&) = delete;
    SourceReader& operator=(const SourceReader&) = delete;

    // Opens the script and its streams. False when the script cannot be read,
    // fails to evaluate (see OpenError) or has no stream. The options go to
    // the script's source (a conversion's output-size hint and decoder
    // threads); none: decoded in full with the library's own threads.
    bool OpenXXXFile(const std::string& scriptPath, const avs::OpenOptions& options = {});

    // What the script's source reported at the last open: the display
    // aspect ratio (0:0 unknown) and how its video is decoded.
    const avs::SourceReport& Source() const { return source_; }

    // The script engine's error text of the last open that failed to
    // evaluate ("Open failure:\n..."); empty otherwise. The reader never
    // shows it: its user decides (a box, the codec-pack offer, a line).
    const std::string& OpenError() const { return openError_; }

    int Width() const { return videoHeader_.biWidth; }
    int Height() const { return videoHeader_.biHeight; }
    DWORD Scale() const { return scale_; }
    DWORD Rate() const { return rate_; }
    long Length(int kind) const;
    bool HasVideo() const { return hasVideo_; }
    bool HasAudio() const { return hasAudio_; }
    int Channels() const { return audioFormat_.nChannels; }
    int SampleRate() const { return int(audioFormat_.nSamplesPerSec); }
    int BitsPerSample() const { return audioFormat_.wBitsPerSample; }

    // First four characters of each stream's fccType and a NUL (5 bytes).
    void VideoType(char out[5]) const;
    void AudioType(char out[5]) const;

    // Stores n and turns the audio length into a count of reads.
    void SetSamplesPerRead(long n);
    long SamplesPerRead() const { return samplesPerRead_; }

    // Reads the frame at the next video index (then index + 1). The buffer
    // holds ImageSize() bytes: Y, V, U planes. A failed read (a frame the
    // source could not deliver, or one past the end) returns nullptr (the
    // first of each opening is logged); the index still goes up by one.
    uint8_t* ReadVideoFrame();
    // Reads samples-per-read samples at the next audio index (then index +
    // samples per read); *bytesRead gets the bytes delivered (0 at the end).
    // When the source's sound cannot be delivered the block is silence and
    // AudioError() says why; every later read is silence too.
    uint8_t* ReadAudio(long* bytesRead);
    // Why the sound could not be read (the engine's text); empty while it
    // can.
    const std::string& AudioError() const { return audioError_; }

    // While on, a video read in progress gives up (its decoding stops at
    // the next picture) and reads fail at once, without a log record: the
    // user of a reader that moves elsewhere (a preview seeking) no longer
    // wants the picture being read. Safe to call from any thread.
    void GiveUpVideoReads(bool on) { stopVideo_->store(on, std::memory_order_release); }
    bool GivingUpVideoReads() const { return stopVideo_->load(std::memory_order_acquire); }

    void SetVideoPosition(long frame) { nextFrame_ = frame; }
    void SetAudioPosition(long sample) { nextSample_ = sample; }
    long VideoPosition() const { return nextFrame_; }
    long AudioPosition() const { return nextSample_; }

    // bits per sample x samples per read / 8 x channels.
    long AudioBytesPerRead() const;
    const PCMWAVEFORMAT& AudioFormat() const { return audioFormat_; }
    const BITMAPINFOHEADER& VideoHeader() const { return videoHeader_; }
    const AVISTREAMINFOA& VideoInfo() const { return videoInfo_; }
    const AVISTREAMINFOA& AudioInfo() const { return audioInfo_; }
    DWORD ImageSize() const { return videoHeader_.biSizeImage; }

    // The bytes the reader holds for pictures and sound: none until the
    // first read of each (an examination holds none).
    size_t BufferBytes() const;

    // Frees the buffers and closes the streams. Safe to call twice.
    void Close();

private:
    // Room for two pictures, as the reader has always kept.
    size_t VideoBufferBytes() const { return size_t(videoHeader_.biSizeImage) * 2 + 1; }

    BITMAPINFOHEADER videoHeaderRead_{};  // as read from the stream
    BITMAPINFOHEADER videoHeader_{};      // working copy
    AVISTREAMINFOA videoInfo_{};
    AVISTREAMINFOA audioInfo_{};
    PCMWAVEFORMAT audioFormat_{};
    std::shared_ptr<avs::Script> script_;  // the evaluated script while open
    // GiveUpVideoReads; handed to every script the reader opens.
    std::shared_ptr<std::atomic<bool>> stopVideo_ = std::make_shared<std::atomic<bool>>(false);
    bool videoStream_ = false;            // its video stream is read
    bool audioStream_ = false;            // its audio stream is read
    avs::SourceReport source_;
    long nextFrame_ = 0;
    long nextSample_ = 0;
    long samplesPerRead_ = 0;
    uint8_t* videoBuffer_ = nullptr;
    uint8_t* audioBuffer_ = nullptr;
    bool hasVideo_ = false;
    bool hasAudio_ = false;
    DWORD scale_ = 0;
    DWORD rate_ = 0;
    long videoLength_ = 0;
    long audioLength_ = 0;
    std::string openError_;
    std::string audioError_;
    bool readFailureLogged_ = false;
};

// True when HKEY_LOCAL_MACHINE\Software\KLCodecPack opens for reading and
// writing and its value "type" is "mega" (without regard to case).
bool KLiteCodecPackIsMega();

}  // namespace kalvex

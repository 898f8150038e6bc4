#pragma once
// A file's sound, encoded on a thread of its own: the script's 16-bit
// blocks (or silence, for a source without sound) are converted to the
// encoder's sample format and rate, cut into the encoder's frames and
// encoded, and the packets wait in a short queue for the thread that
// writes the file. Encoding the sound (AAC costs about as much as the
// MPEG-4 pictures of a DVD) then no longer waits its turn between the
// pictures on the writing thread.
//
// The sound is read block by block up to the end of the last picture, as
// the writing thread would read it between pictures: the packets, and so
// the file, are the same whichever thread encodes them.
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "convert/BoundedQueue.h"
#include "engine/AvHandles.h"

struct AVCodecContext;

namespace kalvex {

class SourceReader;

class SoundEncoder {
public:
    // Why the sound could not be encoded: the text for the file's result
    // and log, and the library's error code (0: none).
    struct Failure {
        std::string reason;
        int avError = 0;
    };

    // About a second and a half of AAC frames at 24 kHz.
    static constexpr size_t kDepth = 32;

    SoundEncoder() = default;
    SoundEncoder(const SoundEncoder&) = delete;
    SoundEncoder& operator=(const SoundEncoder&) = delete;
    ~SoundEncoder() { Finish(); }

    // Sets up the conversion for `ctx`, an opened encoder taking frames of
    // `frameSize` samples, from `reader`'s sound (which is then read
    // `frameSize` samples at a time); with `silentSamples` of 0 or more
    // the sound is that many samples of silence at the encoder's own rate
    // and layout and the reader is not read. False with the reason when a
    // step fails.
    bool Prepare(AVCodecContext* ctx, int frameSize, SourceReader* reader, int64_t silentSamples, Failure* why);

    // Starts encoding: blocks up to and including the first one that
    // reaches `until` seconds (the end of the last picture) or ends the
    // sound, then whatever the buffers and the encoder still hold.
    void Start(double until);

    // The next packet, in the encoder's time base; null once there are no
    // more (the end, or a failure: see Error).
    avs::PacketPtr Next();

    // Set before the queue ends, so it is there once Next comes back null.
    bool Failed() const;
    Failure Error() const;

    // Ends the thread at once (also on a full queue) and drops what it
    // encoded.
    void Finish();

private:
    void Produce(double until);
    std::span<const uint8_t> NextBlock();
    bool EncodeBlock(std::span<const uint8_t> read);
    bool QueueConverted(int n);
    bool EncodeFrames(bool flush);
    bool SendAndQueue(AVFrame* frame);
    bool Fail(const std::string& reason, int avError = 0);

    AVCodecContext* ctx_ = nullptr;
    SourceReader* reader_ = nullptr;
    bool silent_ = false;
    int64_t silentSamples_ = 0;  // the silent track's length, at readerRate_
    int frameSize_ = 0;
    int readerRate_ = 0;
    int readerChannels_ = 0;
    int64_t samplesRead_ = 0;  // at the reader's rate
    int64_t pts_ = 0;          // at the encoder's rate
    bool ended_ = false;       // the sound's last block was read
    std::vector<uint8_t> silence_;  // one block of zeros, for the silent track

    avs::SwrPtr swr_;
    avs::AudioFifoPtr fifo_;
    avs::AvFramePtr samples_;
    uint8_t** convertBuffer_ = nullptr;  // av_samples_alloc_array_and_samples: data in [0]
    int convertCapacity_ = 0;

    BoundedQueue<avs::PacketPtr> queue_{kDepth};
    std::thread thread_;
    mutable std::mutex errorLock_;
    bool failed_ = false;
    Failure error_;
};

}  // namespace kalvex

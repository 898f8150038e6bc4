#pragma once
// Reads a clip's frames ahead on a worker thread, so that decoding and
// filtering of the next frames overlap with the consumer's work on the
// current one (the encoder, in a conversion). Only the worker touches the
// clip's video chain. A request for a frame that is neither read ahead nor
// among the last ones handed out drops what was read ahead and starts again
// from there.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/Clip.h"

namespace kalvex::avs {

class FramePrefetcher {
public:
    // depth: frames read ahead of the last request; keep: frames handed out
    // that stay at hand for a request going back to them (a preview moved
    // back a little), 0 for readers that only go forward. threadName labels
    // the worker in profiles (at most 15 bytes are kept).
    explicit FramePrefetcher(ClipPtr clip, int depth = 3, int keep = 0, const char* threadName = "frame-ahead");
    ~FramePrefetcher();
    FramePrefetcher(const FramePrefetcher&) = delete;
    FramePrefetcher& operator=(const FramePrefetcher&) = delete;

    // The picture of frame n; null when its read was given up (the clip
    // threw ReadAbandoned): the next request reads it afresh.
    FramePtr Get(int64_t n);

private:
    void Run();

    ClipPtr clip_;
    const int depth_;
    const int keep_;
    std::mutex lock_;
    std::condition_variable wake_;   // the worker waits here
    std::condition_variable ready_;  // the consumer waits here
    // Frames next_ - done_.size() ... next_ - 1, in order: those handed out
    // and kept, then those read ahead.
    std::deque<std::pair<int64_t, FramePtr>> done_;
    int64_t next_ = 0;       // the frame the worker makes next
    int64_t wanted_ = -1;    // the consumer's last request
    int64_t gaveUp_ = -1;    // the frame whose read was given up (next_); the worker waits
    uint64_t generation_ = 0;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace kalvex::avs

#pragma once
// Reads a clip's frames ahead on a worker thread, so that decoding and
// filtering of the next frames overlap with the consumer's work on the
// current one (the encoder, in a conversion). Only the worker touches the
// clip's video chain. A request for a frame that is not the next one drops
// what was read ahead and starts again from there.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/Clip.h"

namespace kalvex::avs {

class FramePrefetcher {
public:
    explicit FramePrefetcher(ClipPtr clip, int depth = 3);
    ~FramePrefetcher();
    FramePrefetcher(const FramePrefetcher&) = delete;
    FramePrefetcher& operator=(const FramePrefetcher&) = delete;

    FramePtr Get(int64_t n);

private:
    void Run();

    ClipPtr clip_;
    const int depth_;
    std::mutex lock_;
    std::condition_variable wake_;   // the worker waits here
    std::condition_variable ready_;  // the consumer waits here
    std::deque<std::pair<int64_t, FramePtr>> done_;
    int64_t next_ = 0;      // the frame the worker makes next
    int64_t wanted_ = -1;   // the consumer's last request
    uint64_t generation_ = 0;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace kalvex::avs

#include "engine/Prefetch.h"

#include <algorithm>
#include <string>

#include "platform/system/CrashSignal.h"
#include "platform/system/ThreadName.h"

namespace kalvex::avs {

FramePrefetcher::FramePrefetcher(ClipPtr clip, int depth, int keep, const char* threadName)
    : clip_(std::move(clip)), depth_(depth), keep_(std::max(keep, 0)) {
    worker_ = std::thread([this, name = std::string(threadName ? threadName : "")] {
        InstallThreadCrashStack();
        NameThisThread(name.c_str());
        Run();
    });
}

FramePrefetcher::~FramePrefetcher() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    worker_.join();
}

FramePtr FramePrefetcher::Get(int64_t n) {
    const int64_t count = clip_->Info().frameCount;
    if (count <= 0) return nullptr;
    n = std::clamp<int64_t>(n, 0, count - 1);
    std::unique_lock<std::mutex> g(lock_);
    while (!done_.empty() && done_.front().first < n - keep_) done_.pop_front();
    const int64_t first = next_ - int64_t(done_.size());
    // At hand, or the one the worker makes next: the worker goes on (also
    // with a frame whose read was given up: it is read again).
    const bool coming = (n >= first && n < next_) || (n == next_ && wanted_ >= 0);
    gaveUp_ = -1;
    if (!coming) {
        done_.clear();
        next_ = n;
        ++generation_;
    }
    wanted_ = n;
    wake_.notify_all();
    auto at = [&]() -> const FramePtr* {
        const int64_t from = next_ - int64_t(done_.size());
        return n >= from && n < next_ ? &done_[size_t(n - from)].second : nullptr;
    };
    ready_.wait(g, [&] { return at() || gaveUp_ == n; });
    const FramePtr* f = at();
    return f ? *f : nullptr;
}

void FramePrefetcher::Run() {
    const int64_t count = clip_->Info().frameCount;
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [&] {
            return stop_ || (wanted_ >= 0 && gaveUp_ < 0 && next_ < count && next_ <= wanted_ + depth_);
        });
        if (stop_) return;
        const int64_t n = next_;
        const uint64_t generation = generation_;
        g.unlock();
        FramePtr f;
        bool gaveUp = false;
        try {
            f = clip_->GetFrame(n);
        } catch (const ReadAbandoned&) {
            gaveUp = true;
        }
        g.lock();
        if (generation != generation_) continue;  // the consumer jumped meanwhile
        if (gaveUp) {
            // Nothing more is read until the next request.
            gaveUp_ = n;
        } else {
            done_.emplace_back(n, std::move(f));
            ++next_;
        }
        ready_.notify_all();
    }
}

}  // namespace kalvex::avs

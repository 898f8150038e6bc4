#include "engine/Prefetch.h"

#include <algorithm>

#include "platform/system/CrashSignal.h"

namespace kalvex::avs {

FramePrefetcher::FramePrefetcher(ClipPtr clip, int depth) : clip_(std::move(clip)), depth_(depth) {
    worker_ = std::thread([this] {
        InstallThreadCrashStack();
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
    while (!done_.empty() && done_.front().first < n) done_.pop_front();
    bool coming = (!done_.empty() && done_.front().first == n) || (done_.empty() && next_ == n && wanted_ >= 0);
    if (!coming) {
        // Not on the way: start over at n.
        done_.clear();
        next_ = n;
        ++generation_;
    }
    wanted_ = n;
    wake_.notify_all();
    ready_.wait(g, [&] { return !done_.empty() && done_.front().first == n; });
    FramePtr f = done_.front().second;
    wake_.notify_all();
    return f;
}

void FramePrefetcher::Run() {
    const int64_t count = clip_->Info().frameCount;
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [&] { return stop_ || (wanted_ >= 0 && next_ < count && next_ <= wanted_ + depth_); });
        if (stop_) return;
        const int64_t n = next_;
        const uint64_t generation = generation_;
        g.unlock();
        FramePtr f = clip_->GetFrame(n);
        g.lock();
        if (generation != generation_) continue;  // the consumer jumped meanwhile
        done_.emplace_back(n, std::move(f));
        ++next_;
        ready_.notify_all();
    }
}

}  // namespace kalvex::avs

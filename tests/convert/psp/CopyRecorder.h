#pragma once
// An observer of a copy to the PSP for tests: keeps every progress report
// and the summary; Finished() waits for the job's end.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "convert/psp/PspCopyJob.h"

namespace kalvex::test {

class CopyRecorder : public PspCopyObserver {
public:
    // Called on the job's thread with each progress, after it was kept.
    std::function<void(const PspCopyProgress&)> hook;

    void OnProgress(const PspCopyProgress& p) override {
        {
            std::lock_guard lock(mutex_);
            progress_.push_back(p);
        }
        if (hook) hook(p);
    }
    void OnFinished(const PspCopySummary& s) override {
        std::lock_guard lock(mutex_);
        summary_ = s;
        ++finished_;
        done_.notify_all();
    }
    // The summary once the job finished; fails the test when it does not.
    bool Finished(PspCopySummary& summary) {
        std::unique_lock lock(mutex_);
        if (!done_.wait_for(lock, std::chrono::seconds(120), [this] { return finished_ > 0; })) return false;
        summary = summary_;
        return true;
    }
    std::vector<PspCopyProgress> Progress() {
        std::lock_guard lock(mutex_);
        return progress_;
    }
    // The percents delivered for one file, in order.
    std::vector<int> Percents(int file) {
        std::vector<int> out;
        for (const auto& p : Progress())
            if (p.fileIndex == file) out.push_back(p.percent);
        return out;
    }
    int FinishedCount() {
        std::lock_guard lock(mutex_);
        return finished_;
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<PspCopyProgress> progress_;
    PspCopySummary summary_;
    int finished_ = 0;
};

}  // namespace kalvex::test

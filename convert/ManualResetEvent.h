#pragma once
#include <condition_variable>
#include <mutex>

namespace kalvex {

// A manual-reset event: once set it stays set, and every waiter passes,
// until it is reset. Pause and stop of the conversion worker are two of them.
class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initiallySet = false) : set_(initiallySet) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        set_ = false;
    }
    // Tests the state without waiting.
    bool IsSet() const {
        std::lock_guard lock(mutex_);
        return set_;
    }
    // Waits without limit until the event is set.
    void Wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return set_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_;
};

}  // namespace kalvex

#pragma once
// A queue of at most `capacity` items between one producer thread and one
// consumer thread. The producer waits while it is full, the consumer while
// it is empty. Finish (the producer's end) lets the consumer take what is
// left and then tells it there is no more; Close (the consumer quitting)
// wakes a waiting producer at once and makes every later Push fail, so a
// producer blocked on a full queue never holds up a stop.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

namespace kalvex {

template <typename T>
class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity_(capacity ? capacity : 1) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Waits for room; false (the item dropped) once the queue is closed or
    // finished.
    bool Push(T item) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return items_.size() < capacity_ || closed_ || finished_; });
        if (closed_ || finished_) return false;
        items_.push_back(std::move(item));
        changed_.notify_all();
        return true;
    }

    // Waits for the next item; nothing once the queue is closed, or
    // finished and empty.
    std::optional<T> Pop() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !items_.empty() || closed_ || finished_; });
        if (closed_ || items_.empty()) return std::nullopt;
        std::optional<T> item(std::move(items_.front()));
        items_.pop_front();
        changed_.notify_all();
        return item;
    }

    // The producer is done: what is queued can still be taken.
    void Finish() {
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

    // The consumer quits: the producer stops waiting and what is queued is
    // dropped.
    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        items_.clear();
        changed_.notify_all();
    }

    size_t Size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<T> items_;
    bool finished_ = false;
    bool closed_ = false;
};

}  // namespace kalvex

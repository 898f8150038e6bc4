// The queue between the encoder's read-ahead threads and the encoder:
// nothing lost or reordered, a producer on a full queue stops pulling and
// is released at once by a stop, and the end of the stream is seen only
// after the last item.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "convert/BoundedQueue.h"

using kalvex::BoundedQueue;

namespace {
// Waits (without sleeping a fixed time) until the condition holds; false
// when it still does not after ten seconds, so a fault fails the assertion
// instead of hanging the program.
template <typename Condition>
bool Await(Condition holds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!holds()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
}  // namespace

TEST(BoundedQueue, EveryItemArrivesInOrderThenTheEnd) {
    BoundedQueue<int> q(3);
    constexpr int kItems = 5000;
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i)
            if (!q.Push(i)) break;
        q.Finish();
    });
    std::vector<int> got;
    while (auto item = q.Pop()) got.push_back(*item);
    producer.join();
    ASSERT_EQ(got.size(), size_t(kItems));
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(got[size_t(i)], i) << "at " << i;
    // The end stays the end.
    EXPECT_FALSE(q.Pop().has_value());
}

TEST(BoundedQueue, FinishLeavesWhatIsQueuedToTake) {
    BoundedQueue<std::string> q(4);
    EXPECT_TRUE(q.Push("a"));
    EXPECT_TRUE(q.Push("b"));
    q.Finish();
    EXPECT_FALSE(q.Push("c"));  // nothing after the end
    EXPECT_EQ(q.Pop().value_or(""), "a");
    EXPECT_EQ(q.Pop().value_or(""), "b");
    EXPECT_FALSE(q.Pop().has_value());
}

TEST(BoundedQueue, AFullQueueStopsTheProducer) {
    // A consumer that takes nothing (a paused run): the producer fills the
    // queue and then waits in its next Push instead of reading on.
    BoundedQueue<int> q(4);
    std::atomic<int> pushed{0};
    std::atomic<bool> lastPush{true};
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            if (!q.Push(i)) {
                lastPush = false;
                return;
            }
            ++pushed;
        }
    });
    // The producer counts a push only after Push returned: wait for the
    // counter, not for the queue's size, or a slow producer looks stuck.
    EXPECT_TRUE(Await([&] { return pushed.load() == 4; }));
    for (int i = 0; i < 10000; ++i) std::this_thread::yield();
    EXPECT_EQ(pushed.load(), 4);
    EXPECT_EQ(q.Size(), 4u);
    // Taking one lets exactly one more in.
    EXPECT_EQ(q.Pop().value_or(-1), 0);
    EXPECT_TRUE(Await([&] { return pushed.load() == 5; }));
    for (int i = 0; i < 10000; ++i) std::this_thread::yield();
    EXPECT_EQ(pushed.load(), 5);
    EXPECT_EQ(q.Size(), 4u);
    // A stop on the full queue releases the waiting producer at once.
    q.Close();
    producer.join();
    EXPECT_FALSE(lastPush.load());
    EXPECT_EQ(pushed.load(), 5);
    EXPECT_FALSE(q.Pop().has_value());  // what was queued is dropped
}

TEST(BoundedQueue, CloseWakesAWaitingConsumer) {
    BoundedQueue<int> q(2);
    std::atomic<bool> ended{false};
    std::thread consumer([&] {
        EXPECT_FALSE(q.Pop().has_value());
        ended = true;
    });
    q.Close();
    consumer.join();
    EXPECT_TRUE(ended.load());
    EXPECT_FALSE(q.Push(1));
}

TEST(BoundedQueue, CapacityZeroHoldsOne) {
    BoundedQueue<int> q(0);
    EXPECT_TRUE(q.Push(7));
    EXPECT_EQ(q.Size(), 1u);
    q.Finish();
    EXPECT_EQ(q.Pop().value_or(-1), 7);
}

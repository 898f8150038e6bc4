// The copy to the PSP on its own thread, under ThreadSanitizer: several
// files onto a folder standing in for the PSP, once to the end and once
// cancelled from another thread while a file is half copied. The test
// thread reads the job's state all the while, as the copying dialog does.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "convert/psp/PspCopyJob.h"
#include "tests/convert/psp/CopyRecorder.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 6;
constexpr size_t kFileBytes = 3 * 1024 * 1024 + 17;  // not a whole number of copy blocks

using test::CopyRecorder;

struct Lists {
    std::vector<std::string> sources, targets;
};

Lists MakeFiles() {
    Lists l;
    const std::string root = test::TestRoot();
    fs::create_directories(root + "/out");
    fs::create_directories(root + "/PSP/VIDEO");
    for (int i = 0; i < kFiles; ++i) {
        std::string bytes(kFileBytes, '\0');
        for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = char((k * 7 + size_t(i) * 13) & 0xFF);
        l.sources.push_back(root + "/out/clip" + std::to_string(i) + ".mp4");
        test::WriteFile(l.sources.back(), bytes);
    }
    l.targets = BuildTargetList(l.sources, root + "/PSP/VIDEO/");
    return l;
}

// Watches the job from the test thread until it ends.
void Watch(PspCopyJob& job, std::atomic<bool>& over) {
    while (!over.load()) {
        (void)job.IsRunning();
        (void)job.CancelRequested();
        std::this_thread::yield();
    }
}

}  // namespace

TEST(PspCopyThreads, EveryFileArrivesWhileTheWindowThreadWatches) {
    const Lists l = MakeFiles();
    CopyRecorder rec;
    PspCopyJob job;
    std::atomic<bool> over{false};
    ASSERT_TRUE(job.Start(l.sources, l.targets, &rec));
    std::thread watcher([&] { Watch(job, over); });
    PspCopySummary s;
    const bool finished = rec.Finished(s);
    job.Wait();
    over = true;
    watcher.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(s.Succeeded());
    EXPECT_EQ(s.copied, kFiles);
    for (const std::string& t : l.targets) EXPECT_EQ(fs::file_size(t), kFileBytes) << t;
    EXPECT_GE(rec.Progress().size(), size_t(kFiles));
}

TEST(PspCopyThreads, ACancelFromAnotherThreadKeepsWholeFilesOnly) {
    const Lists l = MakeFiles();
    CopyRecorder rec;
    PspCopyJob job;
    std::atomic<bool> over{false}, asked{false};
    std::mutex m;
    std::condition_variable cv;
    // Half-way into the third file, the job's thread tells the test thread,
    // which cancels (as the dialog's Cancel button does); the job goes on
    // only once the cancel was asked, so it lands in the middle of that file.
    rec.hook = [&](const PspCopyProgress& p) {
        if (p.fileIndex == 2 && p.percent >= 50 && !asked.exchange(true)) {
            {
                std::lock_guard lock(m);
                cv.notify_all();
            }
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!job.CancelRequested() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        }
    };
    ASSERT_TRUE(job.Start(l.sources, l.targets, &rec));
    std::thread watcher([&] { Watch(job, over); });
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(60), [&] { return asked.load(); });
    }
    job.Cancel();
    PspCopySummary s;
    const bool finished = rec.Finished(s);
    job.Wait();
    over = true;
    watcher.join();
    ASSERT_TRUE(asked.load());
    ASSERT_TRUE(finished);
    EXPECT_TRUE(s.cancelled);
    EXPECT_FALSE(s.Succeeded());
    // The files before the cancel are whole; nothing of the others is left.
    EXPECT_EQ(s.copied, 2);
    for (int i = 0; i < kFiles; ++i) {
        if (i < s.copied)
            EXPECT_EQ(fs::file_size(l.targets[size_t(i)]), kFileBytes) << i;
        else
            EXPECT_FALSE(fs::exists(l.targets[size_t(i)])) << i;
    }
}

}  // namespace kalvex

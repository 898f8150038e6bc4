// The copy to a fake PSP without any window: detection as data, the plan's
// clashes and shortage, the steps before copying, and the copy job with its
// progress, cancel and failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "convert/psp/PspCopyJob.h"
#include "convert/psp/PspDetect.h"
#include "platform/storage/Storage.h"
#include "tests/convert/psp/CopyRecorder.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;
using test::CopyRecorder;
using test::FakeDisks;
using test::ReadFile;
using test::TestRoot;
using test::WriteFile;

std::string Bytes(size_t size, int seed) {
    std::string b(size, '\0');
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<char>((i * 11 + seed * 17 + i / 613) & 0xFF);
    return b;
}

class PspCopyJobTest : public testing::Test {
protected:
    void SetUp() override {
        psp_ = fake_.AddPsp();
        video_ = psp_ + "VIDEO/";
        fs::create_directories(video_);
        fs::create_directories(TestRoot() + "/out/a");
        fs::create_directories(TestRoot() + "/out/b");
    }
    void TearDown() override {
        storage::SetCopyFlushHook(nullptr);
        storage::SetDiskFreeSpaceHook(nullptr);
    }
    std::string Output(const std::string& name, size_t size, int seed) {
        const std::string path = TestRoot() + "/out/" + name;
        WriteFile(path, Bytes(size, seed));
        return path;
    }
    // Runs a copy of sources into VIDEO to its end.
    PspCopySummary Copy(const std::vector<std::string>& sources) {
        PspCopySummary summary;
        EXPECT_TRUE(job_.Start(sources, BuildTargetList(sources, video_), &recorder_));
        EXPECT_TRUE(recorder_.Finished(summary)) << "the copy did not end";
        job_.Wait();
        return summary;
    }

    FakeDisks fake_;
    std::string psp_, video_;
    CopyRecorder recorder_;
    PspCopyJob job_;
};

TEST_F(PspCopyJobTest, CopiesEveryFileAndReportsEachFromZeroToFull) {
    const std::string one = Output("a/one.mp4", 3 * 1048576 + 17, 1);
    const std::string two = Output("b/two.mp4", 1000, 2);
    const std::string empty = Output("a/empty.mp4", 0, 3);
    const PspCopySummary summary = Copy({one, two, empty});
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(summary.copied, 3);
    EXPECT_FALSE(summary.cancelled);
    EXPECT_TRUE(summary.failures.empty());
    EXPECT_FALSE(job_.IsRunning());
    EXPECT_EQ(ReadFile(video_ + "one.mp4"), ReadFile(one));
    EXPECT_EQ(ReadFile(video_ + "two.mp4"), ReadFile(two));
    EXPECT_TRUE(fs::exists(video_ + "empty.mp4"));
    EXPECT_TRUE(fs::exists(one));  // the computer's copies stay

    // Four chunks of a file just over 3 MiB: each percent truncated, none
    // reaches 100 before the last byte.
    EXPECT_EQ(recorder_.Percents(0), (std::vector<int>{0, 33, 66, 99, 100}));
    EXPECT_EQ(recorder_.Percents(1), (std::vector<int>{0, 100}));
    EXPECT_EQ(recorder_.Percents(2), (std::vector<int>{0, 100}));  // empty: complete once it exists
    const auto progress = recorder_.Progress();
    ASSERT_FALSE(progress.empty());
    int last = 0;
    for (const auto& p : progress) {
        EXPECT_EQ(p.fileCount, 3);
        EXPECT_GE(p.fileIndex, last);  // files in list order
        last = p.fileIndex;
        EXPECT_EQ(p.fileName, (std::vector<std::string>{"one.mp4", "two.mp4", "empty.mp4"})[p.fileIndex]);
    }
}

TEST_F(PspCopyJobTest, CancelMidFileLeavesNoPartialFileAndKeepsTheFilesBefore) {
    const std::string first = Output("a/first.mp4", 2000, 1);
    const std::string big = Output("a/big.mp4", 8 * 1048576, 2);
    const std::string last = Output("a/last.mp4", 3000, 3);
    recorder_.hook = [this](const PspCopyProgress& p) {
        if (p.fileIndex == 1 && p.percent > 0 && p.percent < 100) job_.Cancel();
    };
    const PspCopySummary summary = Copy({first, big, last});
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_TRUE(summary.cancelled);
    EXPECT_TRUE(summary.failures.empty());  // a cancel is no failure
    EXPECT_EQ(summary.copied, 1);
    EXPECT_EQ(ReadFile(video_ + "first.mp4"), ReadFile(first));
    EXPECT_FALSE(fs::exists(video_ + "big.mp4"));
    EXPECT_FALSE(fs::exists(video_ + "last.mp4"));
    EXPECT_TRUE(recorder_.Percents(2).empty());  // never started
    EXPECT_LT(recorder_.Percents(1).back(), 100);
    EXPECT_TRUE(fs::exists(big));
    EXPECT_EQ(recorder_.FinishedCount(), 1);
}

TEST_F(PspCopyJobTest, CancelWhileTheLastFileIsFlushedCountsAsCancelled) {
    const std::string first = Output("a/first.mp4", 2000, 1);
    const std::string last = Output("a/last.mp4", 1048576 + 3, 2);
    storage::SetCopyFlushHook([this](const std::string& target) {
        if (target == video_ + "last.mp4") job_.Cancel();
    });
    const PspCopySummary summary = Copy({first, last});
    EXPECT_TRUE(summary.cancelled);
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_EQ(summary.copied, 1);
    EXPECT_EQ(recorder_.Percents(1).back(), 100);  // every byte was written, still not done
    EXPECT_FALSE(fs::exists(video_ + "last.mp4"));
}

TEST_F(PspCopyJobTest, CopyThatFailsItsCheckIsNotReportedAsCopied) {
    const std::string a = Output("a/one.mp4", 4000, 1);
    const std::string b = Output("a/two.mp4", 5000, 2);
    const std::string c = Output("a/three.mp4", 6000, 3);
    // The device ends up holding one byte more than was written, then one
    // byte less: neither is the file.
    storage::SetCopyFlushHook([this](const std::string& target) {
        if (target == video_ + "two.mp4") std::ofstream(target, std::ios::app | std::ios::binary) << 'x';
    });
    PspCopySummary summary = Copy({a, b, c});
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_FALSE(summary.cancelled);
    EXPECT_EQ(summary.copied, 1);
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].kind, PspCopyError::CopyFailed);
    EXPECT_EQ(summary.failures[0].source, b);
    EXPECT_EQ(summary.failures[0].target, video_ + "two.mp4");
    EXPECT_EQ(summary.failures[0].reason, std::strerror(EIO));
    EXPECT_FALSE(fs::exists(video_ + "two.mp4"));    // no broken copy stays
    EXPECT_FALSE(fs::exists(video_ + "three.mp4"));  // the copy stopped there
    EXPECT_TRUE(fs::exists(b));

    fs::remove(video_ + "one.mp4");
    storage::SetCopyFlushHook([this](const std::string& target) {
        if (target == video_ + "one.mp4") fs::resize_file(target, 3999);
    });
    CopyRecorder again;
    ASSERT_TRUE(job_.Start({a}, {video_ + "one.mp4"}, &again));
    ASSERT_TRUE(again.Finished(summary));
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_EQ(summary.copied, 0);
    EXPECT_FALSE(fs::exists(video_ + "one.mp4"));
}

TEST_F(PspCopyJobTest, FailuresCarryTheirKindAndOnlyUnreadableSourcesLetTheCopyGoOn) {
    const std::string a = Output("a/one.mp4", 4000, 1);
    const std::string gone = TestRoot() + "/out/b/gone.mp4";
    const std::string c = Output("b/three.mp4", 6000, 3);
    const std::string d = Output("b/four.mp4", 7000, 4);
    const std::string e = Output("b/five.mp4", 8000, 5);
    fs::create_directories(video_ + "four.mp4/inside");  // a folder holds the name
    const PspCopySummary summary = Copy({a, gone, c, d, e});
    EXPECT_FALSE(summary.Succeeded());
    EXPECT_EQ(summary.copied, 2);
    ASSERT_EQ(summary.failures.size(), 2u);
    EXPECT_EQ(summary.failures[0].kind, PspCopyError::SourceUnreadable);
    EXPECT_EQ(summary.failures[0].source, gone);
    EXPECT_EQ(summary.failures[0].reason, std::strerror(ENOENT));
    EXPECT_EQ(summary.failures[1].kind, PspCopyError::CopyFailed);
    EXPECT_EQ(summary.failures[1].source, d);
    EXPECT_EQ(summary.failures[1].reason, std::strerror(EISDIR));
    EXPECT_EQ(ReadFile(video_ + "three.mp4"), ReadFile(c));  // after the missing file
    EXPECT_FALSE(fs::exists(video_ + "five.mp4"));           // not after the failed write
    EXPECT_EQ(recorder_.Percents(1), std::vector<int>{0});   // the missing file was started, then failed
}

TEST_F(PspCopyJobTest, OneCopyAtATimeAndAStoppedJobWaitsForItsThread) {
    const std::string a = Output("a/one.mp4", 3 * 1048576, 1);
    const std::string b = Output("a/two.mp4", 3 * 1048576, 2);
    EXPECT_FALSE(job_.Start({a, b}, {video_ + "one.mp4"}, &recorder_));  // lists of different length

    // The job is held inside its first report until the test has tried a
    // second start.
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false;
    recorder_.hook = [&](const PspCopyProgress& p) {
        if (p.fileIndex != 0 || p.percent != 0) return;
        std::unique_lock lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    ASSERT_TRUE(job_.Start({a}, {video_ + "one.mp4"}, &recorder_));
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return inside; }));
    }
    EXPECT_TRUE(job_.IsRunning());
    CopyRecorder other;
    EXPECT_FALSE(job_.Start({b}, {video_ + "two.mp4"}, &other));
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    PspCopySummary summary;
    ASSERT_TRUE(recorder_.Finished(summary));
    EXPECT_TRUE(summary.Succeeded());
    EXPECT_EQ(other.FinishedCount(), 0);
    EXPECT_FALSE(fs::exists(video_ + "two.mp4"));

    // A job that goes away mid-copy cancels it and waits: no partial file,
    // and its observer heard the end before the job was gone.
    auto job = std::make_unique<PspCopyJob>();
    CopyRecorder last;
    PspCopyJob* running = job.get();
    last.hook = [&](const PspCopyProgress& p) {
        if (p.percent == 0) return;
        while (!running->CancelRequested()) std::this_thread::yield();
    };
    ASSERT_TRUE(job->Start({b}, {video_ + "two.mp4"}, &last));
    job.reset();
    ASSERT_TRUE(last.Finished(summary));
    EXPECT_TRUE(summary.cancelled);
    EXPECT_FALSE(fs::exists(video_ + "two.mp4"));
}

TEST_F(PspCopyJobTest, PlanFitsAtTheExactLimitAndFallsShortOneByteOver) {
    const std::string a = Output("a/one.mp4", 1000, 1);
    const std::string b = Output("b/two.mp4", 2001, 2);
    const std::string gone = TestRoot() + "/out/b/gone.mp4";
    int64_t free = 3001;
    std::vector<std::string> asked;
    storage::SetDiskFreeSpaceHook([&](const std::string& path, int64_t& bytes) {
        asked.push_back(path);
        bytes = free;
        return true;
    });
    const PspLocation psp{1, psp_, video_};
    PspCopyPlan plan = PlanPspCopy({a, gone, b}, psp);
    EXPECT_EQ(plan.targets, (std::vector<std::string>{video_ + "one.mp4", video_ + "gone.mp4", video_ + "two.mp4"}));
    EXPECT_EQ(plan.needed, 3001);  // a missing file needs nothing
    EXPECT_TRUE(plan.space.ok());
    EXPECT_EQ(plan.freeBytes, 3001);
    EXPECT_EQ(plan.Shortage(), 0);  // exactly filling the PSP fits
    EXPECT_EQ(asked, std::vector<std::string>{psp_});

    free = 3000;
    EXPECT_TRUE(MeasurePspFreeSpace(plan).ok());
    EXPECT_EQ(plan.Shortage(), 1);
    free = 0;
    MeasurePspFreeSpace(plan);
    EXPECT_EQ(plan.Shortage(), 3001);
    free = 3002;
    MeasurePspFreeSpace(plan);
    EXPECT_EQ(plan.Shortage(), 0);

    // A query that fails says so; the last figure is not taken as measured.
    storage::SetDiskFreeSpaceHook([](const std::string&, int64_t&) { return false; });
    const PspStepResult failed = MeasurePspFreeSpace(plan);
    EXPECT_EQ(failed.error, PspCopyError::FreeSpaceUnknown);
    EXPECT_FALSE(plan.space.ok());
    EXPECT_FALSE(PlanPspCopy({a}, psp).space.ok());
}

TEST_F(PspCopyJobTest, PlanNamesTheFilesThatWouldBeReplaced) {
    const std::string a = Output("a/one.mp4", 1000, 1);
    const std::string b = Output("b/two.mp4", 2000, 2);
    const std::string gone = TestRoot() + "/out/b/gone.mp4";
    WriteFile(video_ + "one.mp4", "old one");
    WriteFile(video_ + "gone.mp4", "earlier copy");
    int measured = 0;
    storage::SetDiskFreeSpaceHook([&](const std::string&, int64_t& bytes) {
        bytes = ++measured * 1000;
        return true;
    });
    PspCopyPlan plan = PlanPspCopy({a, gone, b}, PspLocation{1, psp_, video_});
    // gone.mp4 has nothing to replace it: it is no clash and stays.
    EXPECT_EQ(plan.clashes, std::vector<std::string>{video_ + "one.mp4"});
    EXPECT_EQ(plan.freeBytes, 1000);
    RemoveClashes(plan);
    EXPECT_FALSE(fs::exists(video_ + "one.mp4"));
    EXPECT_EQ(ReadFile(video_ + "gone.mp4"), "earlier copy");
    EXPECT_EQ(plan.freeBytes, 2000);  // measured again: the deleted file's room counts
    EXPECT_TRUE(PlanPspCopy({a, b}, PspLocation{1, psp_, video_}).clashes.empty());
}

TEST_F(PspCopyJobTest, PrepareMakesTheVideoFolderOnlyOnAConnectedPsp) {
    fs::remove_all(video_);
    const PspDetection found = DetectPsp();
    ASSERT_EQ(found.result, PspDetectResult::Found);
    EXPECT_TRUE(PreparePspFolder(found.location).ok());
    EXPECT_TRUE(fs::is_directory(video_));
    EXPECT_TRUE(PreparePspFolder(found.location).ok());  // already there

    fs::remove_all(video_);
    fake_.Unmount(psp_);  // unplugged: the empty mount point stays behind
    const PspStepResult gone = PreparePspFolder(found.location);
    EXPECT_EQ(gone.error, PspCopyError::Disconnected);
    EXPECT_FALSE(fs::exists(video_));
}

TEST(PspDetection, ReportsWhatItFoundAsData) {
    FakeDisks fake;
    fake.AddDisk("sda", 8, 0, "ATA", "Disk");
    fake.Mount("system", 8, 1);
    EXPECT_EQ(DetectPsp().result, PspDetectResult::NoPsp);

    fake.AddDisk("sdb", 8, 16, "Sony    ", "PSP");  // connected, not mounted
    PspDetection found = DetectPsp();
    EXPECT_EQ(found.result, PspDetectResult::NoVolume);

    const std::string root = fake.Mount("PSP", 8, 17);
    found = DetectPsp();
    ASSERT_EQ(found.result, PspDetectResult::Found);
    EXPECT_EQ(found.location.disk, 1);
    EXPECT_EQ(found.location.root, root);
    EXPECT_EQ(found.location.videoFolder, root + "VIDEO/");
}

}  // namespace
}  // namespace kalvex

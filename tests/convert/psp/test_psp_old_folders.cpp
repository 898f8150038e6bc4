// Thumbnails going along with their videos, and the numbered folders that
// older PSP system software reads.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "convert/psp/PspCopyJob.h"
#include "convert/psp/PspDetect.h"
#include "convert/psp/PspNames.h"
#include "platform/storage/Storage.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TestRoot;
using test::WriteFile;

TEST(PspNames, ThumbnailBesideTheVideo) {
    EXPECT_EQ(ThumbnailPath("/out/clip.mp4"), "/out/clip.THM");
    EXPECT_EQ(ThumbnailPath("/out/clip.part1.mp4"), "/out/clip.part1.THM");
    EXPECT_EQ(ThumbnailPath("/out.d/clip"), "/out.d/clip.THM");  // a dot in the folder is no extension
    EXPECT_EQ(ThumbnailPath("M4V00004.MP4"), "M4V00004.THM");
}

TEST(PspNames, NumbersFollowTheHighestPresentInAnyCase) {
    const std::string m4v = OldPspPrefix(PspCodec::Mpeg4);
    EXPECT_EQ(m4v, "M4V");
    EXPECT_EQ(OldPspPrefix(PspCodec::Avc), "MAQ");
    EXPECT_EQ(OldPspFolder(PspCodec::Mpeg4), "MP_ROOT/100MNV01/");
    EXPECT_EQ(OldPspFolder(PspCodec::Avc), "MP_ROOT/100ANV01/");

    EXPECT_EQ(HighestOldPspNumber({}, m4v), 0);
    // A gap is not filled: after 1 and 3 comes 4.
    EXPECT_EQ(HighestOldPspNumber({"M4V00001.MP4", "M4V00003.MP4"}, m4v), 3);
    EXPECT_EQ(OldPspFileName(m4v, 3 + 1, "mp4"), "M4V00004.MP4");
    EXPECT_EQ(OldPspFileName(m4v, 99 + 1, "MP4"), "M4V00100.MP4");
    EXPECT_EQ(OldPspFileName("maq", 7, "thm"), "MAQ00007.THM");
    // A thumbnail counts, lower case counts; other prefixes, four or six
    // digits, or no dot after the digits do not.
    EXPECT_EQ(HighestOldPspNumber({"m4v00007.thm", "M4V00002.MP4"}, m4v), 7);
    EXPECT_EQ(HighestOldPspNumber({"MAQ00050.MP4", "M4V0009.MP4", "M4V000099.MP4", "M4V00088MP4", "M4V0008x.MP4"}, m4v),
              0);
    EXPECT_EQ(HighestOldPspNumber({"M4V99999.MP4"}, m4v), kMaxOldPspNumber);
}

class OldFolders : public testing::Test {
protected:
    void SetUp() override {
        psp_ = fake_.AddPsp();
        fs::create_directories(psp_ + "VIDEO/");
        fs::create_directories(TestRoot() + "/out");
        storage::SetDiskFreeSpaceHook([](const std::string&, int64_t& bytes) {
            bytes = int64_t(1) << 30;
            return true;
        });
    }
    void TearDown() override {
        storage::SetDiskFreeSpaceHook(nullptr);
    }
    std::string Output(const std::string& name, const std::string& bytes) {
        const std::string path = TestRoot() + "/out/" + name;
        WriteFile(path, bytes);
        return path;
    }
    PspLocation Psp() const { return PspLocation{1, psp_, psp_ + "VIDEO/"}; }

    test::FakeDisks fake_;
    std::string psp_;
};

TEST_F(OldFolders, VideosAndThumbnailsGetTheNextNumbers) {
    const std::string a = Output("a.mp4", "video a"), b = Output("b.mp4", "video b");
    Output("a.THM", "thumb a");  // b has none
    const std::string folder = psp_ + "MP_ROOT/100MNV01/";
    fs::create_directories(folder);
    WriteFile(folder + "M4V00001.MP4", "old");
    WriteFile(folder + "M4V00003.MP4", "old");

    PspCopyOptions options;
    options.oldFolders = true;
    const PspCopyPlan plan = PlanPspCopy({a, b}, Psp(), options);
    EXPECT_TRUE(plan.naming.ok());
    EXPECT_EQ(plan.targetFolder, folder);
    EXPECT_EQ(plan.sources, (std::vector<std::string>{a, TestRoot() + "/out/a.THM", b}));
    EXPECT_EQ(plan.targets, (std::vector<std::string>{folder + "M4V00004.MP4", folder + "M4V00004.THM", folder + "M4V00005.MP4"}));
    EXPECT_TRUE(plan.clashes.empty());
    EXPECT_EQ(plan.needed, 7 + 7 + 7);  // the thumbnail's room counts

    // AVC: its own folder and prefix, numbered from its own files.
    options.codec = PspCodec::Avc;
    WriteFile(folder + "M4V00099.MP4", "old");
    const PspCopyPlan avc = PlanPspCopy({a}, Psp(), options);
    EXPECT_EQ(avc.targets.front(), psp_ + "MP_ROOT/100ANV01/MAQ00001.MP4");
    options.codec = PspCodec::Mpeg4;
    EXPECT_EQ(PlanPspCopy({b}, Psp(), options).targets.front(), folder + "M4V00100.MP4");

    // The default is VIDEO/ under the files' own names, thumbnails along.
    const PspCopyPlan video = PlanPspCopy({a, b}, Psp());
    EXPECT_EQ(video.targets, (std::vector<std::string>{psp_ + "VIDEO/a.mp4", psp_ + "VIDEO/a.THM", psp_ + "VIDEO/b.mp4"}));
}

TEST_F(OldFolders, NumbersRunningOutRefuseTheWholeCopy) {
    const std::string a = Output("a.mp4", "video a"), b = Output("b.mp4", "video b");
    const std::string folder = psp_ + "MP_ROOT/100MNV01/";
    fs::create_directories(folder);
    WriteFile(folder + "M4V99998.MP4", "old");
    PspCopyOptions options;
    options.oldFolders = true;
    EXPECT_TRUE(PlanPspCopy({a}, Psp(), options).naming.ok());  // 99999 is the last one
    const PspCopyPlan full = PlanPspCopy({a, b}, Psp(), options);
    EXPECT_EQ(full.naming.error, PspCopyError::NoFreeNumber);
}

TEST_F(OldFolders, MpRootThatIsAFileFailsClearlyAndIsKept) {
    const PspDetection found = DetectPsp();
    ASSERT_EQ(found.result, PspDetectResult::Found);
    WriteFile(psp_ + "MP_ROOT", "someone's file");
    const PspStepResult r = PreparePspFolder(found.location, psp_ + "MP_ROOT/100MNV01/");
    EXPECT_EQ(r.error, PspCopyError::FolderNotMade);
    EXPECT_NE(r.detail.find("MP_ROOT"), std::string::npos) << r.detail;
    EXPECT_EQ(ReadFile(psp_ + "MP_ROOT"), "someone's file");

    fs::remove(psp_ + "MP_ROOT");
    EXPECT_TRUE(PreparePspFolder(found.location, psp_ + "MP_ROOT/100ANV01/").ok());
    EXPECT_TRUE(fs::is_directory(psp_ + "MP_ROOT/100ANV01/"));
    // A file named like the last level fails the same way.
    WriteFile(psp_ + "MP_ROOT/100MNV01", "x");
    EXPECT_EQ(PreparePspFolder(found.location, psp_ + "MP_ROOT/100MNV01/").error, PspCopyError::FolderNotMade);
    EXPECT_TRUE(PreparePspFolder(found.location).ok());  // VIDEO/ still fine
}

class Finished : public PspCopyObserver {
public:
    void OnFinished(const PspCopySummary& s) override {
        std::lock_guard lock(m_);
        summary = s;
        done = true;
        cv_.notify_all();
    }
    bool Wait() {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(30), [this] { return done; });
    }
    PspCopySummary summary;
    bool done = false;

private:
    std::mutex m_;
    std::condition_variable cv_;
};

// A stick that fills up while the thumbnail is written: a copy failure like
// any other; the video before it stays, no partial thumbnail, nothing after.
TEST_F(OldFolders, FullStickWhileWritingTheThumbnailIsACopyFailure) {
    const std::string a = Output("a.mp4", std::string(5000, 'v')), b = Output("b.mp4", "video b");
    Output("a.THM", std::string(3000, 't'));
    const PspCopyPlan plan = PlanPspCopy({a, b}, Psp());
    ASSERT_EQ(plan.targets.size(), 3u);
    // The thumbnail's target writes into a device that is always full.
    fs::create_symlink("/dev/full", psp_ + "VIDEO/a.THM");
    Finished observer;
    PspCopyJob job;
    ASSERT_TRUE(job.Start(plan.sources, plan.targets, &observer));
    ASSERT_TRUE(observer.Wait());
    job.Wait();
    EXPECT_FALSE(observer.summary.Succeeded());
    EXPECT_EQ(observer.summary.copied, 1);
    ASSERT_EQ(observer.summary.failures.size(), 1u);
    EXPECT_EQ(observer.summary.failures[0].kind, PspCopyError::CopyFailed);
    EXPECT_EQ(observer.summary.failures[0].target, psp_ + "VIDEO/a.THM");
    EXPECT_EQ(observer.summary.failures[0].reason, std::strerror(ENOSPC));
    EXPECT_EQ(ReadFile(psp_ + "VIDEO/a.mp4"), std::string(5000, 'v'));
    EXPECT_FALSE(fs::exists(fs::symlink_status(psp_ + "VIDEO/a.THM")));  // nothing partial left
    EXPECT_FALSE(fs::exists(psp_ + "VIDEO/b.mp4"));
}

}  // namespace
}  // namespace kalvex

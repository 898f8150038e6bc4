// The conversion job on its worker thread: the walk over the list, what it
// reports to its observer, output names, pause and stop, and the files it
// leaves (never a source overwritten, never a partial file under a final
// name).
#include <gtest/gtest.h>

#include <chrono>

#include <QDir>
#include <QFile>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <sys/resource.h>

#include "common/AppSettings.h"
#include "convert/page/ProgressTexts.h"
#include "convert/ConvertJob.h"
#include "convert/OutputFile.h"
#include "convert/PspOutputList.h"
#include "common/ui/Dialogs.h"
#include "tests/convert/ProbeSupport.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::ExaminedEntry;
using test::MakeClip;
using test::TestPath;

// Records what the job reports, from its worker thread.
class Recorder : public ConvertObserver {
public:
    void OnProgress(const ConvertProgress& p) override {
        std::function<void(const ConvertProgress&)> hook;
        {
            std::lock_guard lock(mutex_);
            progress.push_back(p);
            times.push_back(std::chrono::steady_clock::now());
            hook = onProgress;
        }
        if (hook) hook(p);
    }
    void OnFileDone(const FileResult& r) override {
        std::lock_guard lock(mutex_);
        files.push_back(r);
    }
    void OnFinished(const RunSummary& s) override {
        std::lock_guard lock(mutex_);
        summary = s;
        ++finished;
        changed_.notify_all();
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return finished > 0; });
    }

    std::function<void(const ConvertProgress&)> onProgress;
    std::vector<ConvertProgress> progress;
    std::vector<std::chrono::steady_clock::time_point> times;  // of each progress report
    std::vector<FileResult> files;
    RunSummary summary;
    int finished = 0;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> out;
    for (const QString& n : QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden))
        out.push_back(n.toStdString());
    return out;
}

class Job : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        ClearOutputs();
        QDir().mkpath(QString::fromStdString(dest));
        // The worker never shows a box: any box here is a fault.
        SetMessageBoxHook([this](const MessageBoxRequest&) {
            ++boxes;
            return IDOK;
        });
    }
    void TearDown() override { SetMessageBoxHook(nullptr); }

    RunRequest Request(std::vector<VideoFileEntry> files) {
        RunRequest r;
        r.files = std::move(files);
        r.destinationFolder = dest;
        r.settings = AppSettings.convert;
        return r;
    }

    Recorder rec;
    ConvertJob job;
    std::string dest = test::TestRoot() + "/out/";
    int boxes = 0;
};

TEST(OutputList, AppendsClearsAndDeletes) {
    ClearOutputs();
    const std::string a = test::TestRoot() + "/a.mp4", b = test::TestRoot() + "/b.mp4";
    test::WriteFile(a, "a");
    AddOutput(a);
    AddOutput(b);  // never written
    AddOutput(a);  // a path may occur twice
    EXPECT_EQ(PspOutputList(), (std::vector<std::string>{a, b, a}));
    DeleteOutputs();
    EXPECT_FALSE(QFile::exists(QString::fromStdString(a)));
    EXPECT_EQ(PspOutputList().size(), 3u);
    ClearOutputs();
    EXPECT_TRUE(PspOutputList().empty());

    // The worker appends while the window thread reads.
    std::thread worker([] {
        for (int i = 0; i < 2000; ++i) AddOutput("w");
    });
    size_t seen = 0;
    while (seen < 2000) seen = PspOutputList().size();
    worker.join();
    EXPECT_EQ(PspOutputList().size(), 2000u);
    ClearOutputs();
}

TEST(OutputName, OnlyTheLastExtensionIsReplaced) {
    EXPECT_EQ(OutputPath("/v/out/", "clip.part1.avi"), "/v/out/clip.part1.mp4");
    EXPECT_EQ(OutputPath("/v/out/", "noext"), "/v/out/noext.mp4");
    EXPECT_EQ(OutputPath("/v/out/", "a.b.c.mkv"), "/v/out/a.b.c.mp4");
    EXPECT_EQ(OutputPath("/v/out/", ".hidden"), "/v/out/.mp4");
}

TEST(OutputName, NeverOneOfTheSources) {
    const std::string dir = test::TestRoot() + "/names/";
    QDir().mkpath(QString::fromStdString(dir));
    test::WriteFile(dir + "clip.mp4", "source");
    test::WriteFile(dir + "clip_psp.mp4", "another source");
    bool renamed = false;
    // Not a source: the plain name, also when a file of that name exists.
    EXPECT_EQ(OutputPathAvoiding(dir, "clip.avi", {dir + "clip.avi"}, &renamed), dir + "clip.mp4");
    EXPECT_FALSE(renamed);
    // The same file reached through another spelling of its path.
    EXPECT_EQ(OutputPathAvoiding(dir, "clip.mp4", {dir + "./../names/clip.mp4"}, &renamed), dir + "clip_psp.mp4");
    EXPECT_TRUE(renamed);
    EXPECT_EQ(OutputPathAvoiding(dir, "clip.mkv", {dir + "clip.mp4", dir + "clip_psp.mp4"}), dir + "clip_psp2.mp4");
    // A source that does not exist yet is compared by its resolved path.
    EXPECT_TRUE(SameFile(dir + "sub/../new.mp4", dir + "new.mp4"));
    EXPECT_FALSE(SameFile(dir + "a.mp4", dir + "b.mp4"));
}

TEST(OutputName, TemporaryNamesAreRecognisedStrictly) {
    EXPECT_TRUE(IsTempOutputName(".kalvex-123-0.mp4.part"));
    EXPECT_FALSE(IsTempOutputName(".kalvex--0.mp4.part"));
    EXPECT_FALSE(IsTempOutputName(".kalvex-12a-0.mp4.part"));
    EXPECT_FALSE(IsTempOutputName("kalvex-1-0.mp4.part"));
    EXPECT_FALSE(IsTempOutputName(".kalvex-1-0.mp4"));
    EXPECT_FALSE(IsTempOutputName("clip.mp4"));
}

TEST(OutputName, LeftoversAreRemovedUnlessARunHoldsThem) {
    const std::string dir = test::TestRoot() + "/left/";
    QDir().mkpath(QString::fromStdString(dir));
    test::WriteFile(dir + ".kalvex-99999-1.mp4.part", "killed run");
    test::WriteFile(dir + "keep.mp4", "a user's file");
    test::WriteFile(dir + ".kalvex-notours.part", "not ours");
    TempOutput held;
    std::string why;
    ASSERT_TRUE(held.Create(dir + "held.mp4", &why)) << why;
    EXPECT_EQ(RemoveStaleTempOutputs(dir), 1);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dir + ".kalvex-99999-1.mp4.part")));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(held.Path())));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(dir + "keep.mp4")));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(dir + ".kalvex-notours.part")));
    // Committed: under the final name, replacing the old file in one step.
    test::WriteFile(dir + "held.mp4", "old");
    test::WriteFile(held.Path(), "new");
    ASSERT_TRUE(held.Commit(&why)) << why;
    EXPECT_EQ(test::ReadFile(dir + "held.mp4"), "new");
    EXPECT_EQ(RemoveStaleTempOutputs(dir), 0);
}

TEST_F(Job, EmptyListFinishesWithZero) {
    ASSERT_TRUE(job.Start(Request({}), &rec));
    rec.Wait();
    job.Wait();
    EXPECT_EQ(rec.finished, 1);
    EXPECT_EQ(rec.summary.LastResult(), 0);
    EXPECT_TRUE(rec.summary.files.empty());
    EXPECT_FALSE(job.IsRunning());
    EXPECT_TRUE(PspOutputList().empty());
}

TEST_F(Job, ConvertsEveryFileAndReportsItAsData) {
    QString a = MakeClip("clip.part1.avi", 1.0, 160, 120, "25", 44100, 2);
    QDir().mkpath(TestPath("other"));
    QString b = MakeClip(TestPath("other/second.mkv"), 1.0, 160, 120, "25", 48000, 2);
    ASSERT_FALSE(a.isEmpty());
    ASSERT_FALSE(b.isEmpty());
    ASSERT_TRUE(job.Start(Request({ExaminedEntry(a), ExaminedEntry(b)}), &rec));
    EXPECT_TRUE(job.IsRunning());
    // A second run cannot start while the first one's thread works.
    Recorder other;
    EXPECT_FALSE(job.Start(Request({}), &other));
    rec.Wait();
    job.Wait();
    EXPECT_EQ(rec.summary.LastResult(), 1);
    EXPECT_FALSE(job.IsRunning());
    ASSERT_EQ(rec.files.size(), 2u);
    EXPECT_EQ(rec.files[0].outcome, FileOutcome::Converted);
    EXPECT_EQ(rec.files[1].outcome, FileOutcome::Converted);
    EXPECT_EQ(PspOutputList(), (std::vector<std::string>{dest + "clip.part1.mp4", dest + "second.mp4"}));
    for (const std::string& out : PspOutputList()) {
        test::Probe p = test::ProbeFile(QString::fromStdString(out));
        ASSERT_TRUE(p.ok) << out;
        EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4") << out;
        EXPECT_NEAR(p.Number(p.video, "duration"), 1.0, 0.05) << out;
    }
    // Nothing but the outputs and their thumbnails in the folder: no
    // temporary file left.
    EXPECT_EQ(Names(dest), (std::vector<std::string>{"clip.part1.mp4", "clip.part1.THM", "second.mp4", "second.THM"}));

    // Progress: at each change of file, with the file's place, name and
    // frame count, and never more than about once a second otherwise.
    ASSERT_GE(rec.progress.size(), 2u);
    bool sawFirst = false, sawSecond = false;
    for (const auto& p : rec.progress) {
        EXPECT_EQ(p.fileCount, 2);
        if (p.fileIndex == 0 && p.fileName == "clip.part1.avi" && p.frameCount > 0) sawFirst = true;
        if (p.fileIndex == 1 && p.fileName == "second.mkv" && p.frameCount == 25) sawSecond = true;
        EXPECT_LE(p.frame, p.frameCount);
        EXPECT_GE(p.Percent(), 0);
        EXPECT_LE(p.Percent(), 100);
    }
    EXPECT_TRUE(sawFirst);
    EXPECT_TRUE(sawSecond);
    EXPECT_LE(rec.progress.size(), 20u);  // not one per frame (50)
    // Within a file, a report follows the one before after a second at the
    // earliest (a little less, for the time the report itself takes).
    for (size_t i = 1; i < rec.progress.size(); ++i) {
        if (rec.progress[i].fileIndex != rec.progress[i - 1].fileIndex) continue;
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(rec.times[i] - rec.times[i - 1]).count(), 900)
            << "reports " << i - 1 << " and " << i;
    }
    EXPECT_EQ(boxes, 0);

    // The job serves the next run.
    Recorder again;
    ASSERT_TRUE(job.Start(Request({}), &again));
    again.Wait();
    EXPECT_EQ(again.summary.LastResult(), 0);
}

TEST_F(Job, AFailedFileSaysWhyAndTheLastFileDecides) {
    QString a = MakeClip("good.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty());
    VideoFileEntry bad = ExaminedEntry(a);
    SetFieldText(bad.fullPath, test::TestRoot() + "/vanished.avi");
    SetFieldText(bad.fileName, "vanished.avi");
    ASSERT_TRUE(job.Start(Request({ExaminedEntry(a), bad}), &rec));
    rec.Wait();
    EXPECT_EQ(rec.summary.LastResult(), 0);
    ASSERT_EQ(rec.files.size(), 2u);
    EXPECT_EQ(rec.files[0].outcome, FileOutcome::Converted);
    EXPECT_EQ(rec.files[1].outcome, FileOutcome::Failed);
    EXPECT_NE(rec.files[1].reason.find("could not be opened"), std::string::npos) << rec.files[1].reason;
    // The box the user is shown comes as data; the worker opened none.
    const std::optional<FailureBox> box = FailureBoxFor(rec.files[1]);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "Error!");
    EXPECT_NE(box->text.find("Open failure:"), std::string::npos);
    EXPECT_EQ(rec.files[1].failure, FailureKind::SourceNotOpened);
    EXPECT_EQ(rec.files[0].failure, FailureKind::None);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(rec.summary.Failed().size(), 1u);
    EXPECT_EQ(rec.summary.ConvertedOutputs(), std::vector<std::string>{dest + "good.mp4"});
    EXPECT_EQ(PspOutputList(), std::vector<std::string>{dest + "good.mp4"});

    // A failure followed by a success reports success.
    Recorder second;
    ASSERT_TRUE(job.Start(Request({bad, ExaminedEntry(a)}), &second));
    second.Wait();
    EXPECT_EQ(second.summary.LastResult(), 1);
}

TEST_F(Job, AFailedFileKeepsAnEarlierGoodOutput) {
    QString a = MakeClip("same.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty());
    ASSERT_TRUE(job.Start(Request({ExaminedEntry(a)}), &rec));
    rec.Wait();
    job.Wait();
    const std::string good = test::ReadFile(dest + "same.mp4");
    ASSERT_FALSE(good.empty());
    // The same title again, failing: the earlier file stays as it was.
    VideoFileEntry bad = ExaminedEntry(a);
    SetFieldText(bad.fullPath, test::TestRoot() + "/gone/same.avi");
    Recorder second;
    ASSERT_TRUE(job.Start(Request({bad}), &second));
    second.Wait();
    ASSERT_EQ(second.files.size(), 1u);
    EXPECT_EQ(second.files[0].outcome, FileOutcome::Failed);
    EXPECT_EQ(test::ReadFile(dest + "same.mp4"), good);
    EXPECT_EQ(Names(dest), (std::vector<std::string>{"same.mp4", "same.THM"}));
}

TEST_F(Job, ASourceInTheDestinationSurvivesByteForByte) {
    // clip.avi would become clip.mp4, which is a later source of the run;
    // clip.mp4 would become itself.
    const QString folder = QString::fromStdString(dest);
    QString avi = MakeClip(folder + "clip.avi", 1.0, 160, 120, "25", 44100, 2);
    QString mp4 = MakeClip(folder + "clip.mp4", 2.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(avi.isEmpty());
    ASSERT_FALSE(mp4.isEmpty());
    const std::string before = test::ReadFile(mp4.toStdString());
    ASSERT_TRUE(job.Start(Request({ExaminedEntry(avi), ExaminedEntry(mp4)}), &rec));
    rec.Wait();
    EXPECT_EQ(test::ReadFile(mp4.toStdString()), before);
    ASSERT_EQ(rec.files.size(), 2u);
    EXPECT_EQ(rec.files[0].output, dest + "clip_psp.mp4");
    EXPECT_EQ(rec.files[1].output, dest + "clip_psp.mp4");
    EXPECT_EQ(rec.summary.LastResult(), 1);
    // The later file of the same name wins, as it always has.
    test::Probe p = test::ProbeFile(QString::fromStdString(dest + "clip_psp.mp4"));
    ASSERT_TRUE(p.ok);
    EXPECT_NEAR(p.Number(p.video, "duration"), 2.0, 0.05);
}

TEST_F(Job, StopWhilePausedLeavesNothingOfTheStoppedFile) {
    QString a = MakeClip("first.mkv", 3.0, 160, 120, "25", 44100, 2);
    QString b = MakeClip("later.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty());
    ASSERT_FALSE(b.isEmpty());
    std::atomic<bool> paused{false};
    rec.onProgress = [&](const ConvertProgress& p) {
        // Pause part of the way into the first file, then stop: the stop
        // wakes the paused worker.
        if (!paused && p.fileIndex == 0) {
            paused = true;
            job.Pause();
            std::thread([this] { job.Stop(); }).detach();
        }
    };
    ASSERT_TRUE(job.Start(Request({ExaminedEntry(a), ExaminedEntry(b)}), &rec));
    rec.Wait();
    job.Wait();
    ASSERT_TRUE(paused);
    EXPECT_TRUE(rec.summary.stopped);
    ASSERT_EQ(rec.files.size(), 2u);
    EXPECT_EQ(rec.files[0].outcome, FileOutcome::Stopped);
    EXPECT_EQ(rec.files[1].outcome, FileOutcome::Stopped);
    EXPECT_EQ(rec.summary.LastResult(), 0);
    // Neither a shortened first file nor an empty later one.
    EXPECT_TRUE(Names(dest).empty());
    EXPECT_TRUE(PspOutputList().empty());
}

TEST_F(Job, LowPriorityLowersOnlyTheRunsThreads) {
    QString a = MakeClip("nice.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty());
    int workerNice = -100;
    rec.onProgress = [&](const ConvertProgress&) { workerNice = getpriority(PRIO_PROCESS, 0) ; };
    RunRequest r = Request({ExaminedEntry(a)});
    r.lowPriority = true;
    const int before = getpriority(PRIO_PROCESS, 0);
    ASSERT_TRUE(job.Start(std::move(r), &rec));
    rec.Wait();
    job.Wait();
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), before);  // this (the window's) thread is untouched
    EXPECT_EQ(workerNice, 19);
    // The next run without the box runs at normal priority again.
    Recorder second;
    second.onProgress = [&](const ConvertProgress&) { workerNice = getpriority(PRIO_PROCESS, 0); };
    ASSERT_TRUE(job.Start(Request({ExaminedEntry(a)}), &second));
    second.Wait();
    EXPECT_EQ(workerNice, before);
}

}  // namespace
}  // namespace kalvex

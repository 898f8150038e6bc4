// The conversion job on its worker thread: the walk over the list, its
// messages, pause and stop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <functional>
#include <thread>

#include "common/AppSettings.h"
#include "convert/ConvertJob.h"
#include "convert/PspOutputList.h"
#include "platform/shell/Shell.h"
#include "tests/convert/ProbeSupport.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::ExaminedEntry;
using test::MakeClip;
using test::TestPath;

// The page's side of a run: records the finishing message and ends the wait.
class Window : public QObject, public IMessageTarget {
public:
    LRESULT HandleMessage(unsigned msg, WPARAM w, LPARAM l) override {
        if (msg == WM_CONVERT_FINISHED) {
            ++finished;
            result = int(w);
            lparam = l;
            loop.quit();
        }
        if (msg == WM_CONVERT_TICK) ++ticks;
        return 0;
    }
    bool event(QEvent* e) override { return DispatchMessageEvent(e, this) || QObject::event(e); }
    void Wait() {
        if (!finished) loop.exec();
    }
    QEventLoop loop;
    int finished = 0;
    int result = -1;
    LPARAM lparam = -1;
    int ticks = 0;
};

// A frame bar that runs an action at the first position it is given.
class FrameBar : public TextControl {
public:
    std::function<void(int)> onPos;

protected:
    void Changed(unsigned msg) override {
        if (msg == PBM_SETPOS && onPos) onPos(Pos());
    }
};

class Job : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        ClearOutputs();
        job.SetNotifyWindow(&window);
        targets.filesBar = &filesBar;
        targets.frameBar = &frameBar;
        targets.statusText = &status;
        targets.filesText = &filesText;
        targets.tickWindow = &window;
        job.SetProgressTargets(targets);
    }
    Window window;
    TextControl filesBar, status, filesText;
    FrameBar frameBar;
    ProgressTargets targets;
    ConvertJob job;
    std::string dest = test::TestRoot() + "/out/";
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

TEST(OutputPath, OnlyTheLastExtensionIsReplaced) {
    EXPECT_EQ(ConvertJob::OutputPath("/v/out/Tmp.mpg", "clip.part1.avi"), "/v/out/clip.part1.mp4");
    EXPECT_EQ(ConvertJob::OutputPath("/v/out/", "noext"), "/v/out/noext.mp4");
    EXPECT_EQ(ConvertJob::OutputPath("/v/out/Tmp.mpg", "a.b.c.mkv"), "/v/out/a.b.c.mp4");
    // A destination without a folder part is used whole.
    EXPECT_EQ(ConvertJob::OutputPath("rel", "x.avi"), "relx.mp4");
}

TEST_F(Job, EmptyListFinishesWithZero) {
    ASSERT_TRUE(job.Start({}, dest + "Tmp.mpg"));
    window.Wait();
    EXPECT_EQ(window.finished, 1);
    EXPECT_EQ(window.result, 0);
    EXPECT_EQ(window.lparam, 0);
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(filesBar.High(), 0);
    EXPECT_TRUE(PspOutputList().empty());
}

TEST_F(Job, ConvertsEveryFileIntoTheDestinationFolder) {
    QDir().mkpath(QString::fromStdString(dest));
    QString a = MakeClip("clip.part1.avi", 1.0, 160, 120, "25", 44100, 2);
    QDir().mkpath(TestPath("other"));
    QString b = MakeClip(TestPath("other/second.mkv"), 1.0, 160, 120, "25", 48000, 2);
    ASSERT_FALSE(a.isEmpty());
    ASSERT_FALSE(b.isEmpty());
    ASSERT_TRUE(job.Start({ExaminedEntry(a), ExaminedEntry(b)}, dest + "Tmp.mpg"));
    EXPECT_TRUE(job.IsRunning());
    // A second run cannot start while the first one's thread works.
    EXPECT_FALSE(job.Start({}, dest + "Tmp.mpg"));
    window.Wait();
    EXPECT_EQ(window.result, 1);
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(job.Results(), (std::vector<bool>{true, true}));
    EXPECT_EQ(PspOutputList(), (std::vector<std::string>{dest + "clip.part1.mp4", dest + "second.mp4"}));
    for (const std::string& out : PspOutputList()) {
        test::Probe p = test::ProbeFile(QString::fromStdString(out));
        ASSERT_TRUE(p.ok) << out;
        EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4") << out;
        EXPECT_NEAR(p.Number(p.video, "duration"), 1.0, 0.05) << out;
    }
    EXPECT_EQ(filesBar.Low(), 0);
    EXPECT_EQ(filesBar.High(), 2);
    EXPECT_EQ(filesBar.Pos(), 2);
    EXPECT_EQ(filesText.Text(), "Files: 2/2");
    EXPECT_GT(frameBar.PosChanges(), 50);  // every frame

    // The job serves the next run.
    window.finished = 0;
    ASSERT_TRUE(job.Start({}, dest + "Tmp.mpg"));
    window.Wait();
    EXPECT_EQ(window.result, 0);
}

TEST_F(Job, TheLastFileDecidesTheResult) {
    QString a = MakeClip("good.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty());
    VideoFileEntry bad = ExaminedEntry(a);
    SetFieldText(bad.fullPath, test::TestRoot() + "/vanished.avi");
    SetFieldText(bad.fileName, "vanished.avi");
    QDir().mkpath(QString::fromStdString(dest));
    // The worker's message box is shown on the window thread.
    std::vector<std::string> boxes;
    bool onWindowThread = true;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        boxes.push_back(r.caption.toStdString());
        onWindowThread = onWindowThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        return IDOK;
    });
    ASSERT_TRUE(job.Start({ExaminedEntry(a), bad}, dest + "Tmp.mpg"));
    window.Wait();
    EXPECT_EQ(window.result, 0);
    EXPECT_EQ(boxes, std::vector<std::string>{"Error!"});
    EXPECT_TRUE(onWindowThread);
    EXPECT_EQ(job.Results(), (std::vector<bool>{true, false}));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(dest + "good.mp4")));

    // And a failure followed by a success reports success.
    window.finished = 0;
    ASSERT_TRUE(job.Start({bad, ExaminedEntry(a)}, dest + "Tmp.mpg"));
    window.Wait();
    EXPECT_EQ(window.result, 1);
}

TEST_F(Job, StopWhilePausedEndsTheFileAsAValidShorterMp4) {
    QDir().mkpath(QString::fromStdString(dest));
    QString a = MakeClip("first.mkv", 3.0, 160, 120, "25", 44100, 2);
    QString b = MakeClip("later.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty());
    ASSERT_FALSE(b.isEmpty());
    long framesAtPause = -1;
    int posAtPause = -1;
    frameBar.onPos = [&](int pos) {
        // Pause a third of the way through the first file; the worker waits
        // in this send, so the count is exact.
        if (framesAtPause < 0 && pos >= 33) {
            framesAtPause = FramesEncoded();
            job.Pause();
            posAtPause = frameBar.PosChanges();
            // Then, once the worker is on its way to the pause, stop: the
            // stop wakes it.
            QTimer::singleShot(0, [&] { job.Stop(); });
        }
    };
    ASSERT_TRUE(job.Start({ExaminedEntry(a), ExaminedEntry(b)}, dest + "Tmp.mpg"));
    window.Wait();
    ASSERT_GT(framesAtPause, 0);
    // A stopped run still reports its last file's result: the later file was
    // opened, given its header and trailer, and closed without frames.
    EXPECT_EQ(window.result, 1);
    EXPECT_EQ(job.Results(), (std::vector<bool>{true, true}));
    // Nothing moved the bar after the pause but the frame already under way.
    EXPECT_LE(frameBar.PosChanges(), posAtPause + 1);

    test::Probe first = test::ProbeFile(QString::fromStdString(dest + "first.mp4"));
    ASSERT_TRUE(first.ok);
    const long frames = first.video.value("nb_read_frames").toString().toLong();
    EXPECT_GE(frames, framesAtPause);
    EXPECT_LE(frames, framesAtPause + 1);
    EXPECT_LT(frames, 75);
    EXPECT_EQ(first.audio.value("codec_name").toString(), "aac");
    EXPECT_NEAR(first.Number(first.audio, "duration"), frames / 25.0, 1 / 25.0 + 1024 / 24000.0 + 1e-3);

    QString text;
    EXPECT_EQ(test::RunProgram("ffprobe", {"-v", "error", QString::fromStdString(dest + "later.mp4")}, &text), 0)
        << text.toStdString();
}

}  // namespace
}  // namespace kalvex

// The progress check: pause, stop, the frame bar and the once-a-second texts.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "app/MainMessages.h"
#include "convert/EncodeToPsp.h"

namespace kalvex {
namespace {

// Takes the title texts as the main window does, and keeps the last one.
class MainWindow : public QObject, public IMessageTarget {
public:
    LRESULT HandleMessage(unsigned msg, WPARAM w, LPARAM) override {
        if (msg == WM_SET_TITLE_TEXT) {
            char* text = reinterpret_cast<char*>(w);
            title = text;
            std::free(text);
            ++titles;
        }
        if (msg == WM_CONVERT_TICK) ++ticks;
        return 0;
    }
    bool event(QEvent* e) override { return DispatchMessageEvent(e, this) || QObject::event(e); }
    std::string title;
    int titles = 0;
    int ticks = 0;
};

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        SetAppMainWindow(&main);
        t.frameBar = &bar;
        t.statusText = &status;
        t.elapsedText = &elapsed;
        t.estimateText = &estimate;
        t.tickWindow = &main;
        ForgetLastTextUpdate();
    }
    void TearDown() override { SetAppMainWindow(nullptr); }
    MainWindow main;
    TextControl bar, status, elapsed, estimate;
    ProgressTargets t;
    ManualResetEvent run{true}, stop{false};
};

TEST_F(Progress, TextsAtMostOnceASecondAndTheBarEveryCall) {
    // Half-way after 1 h 2 min 3 s.
    const uint64_t start = TickCount() - 3723000;
    ASSERT_TRUE(ReportProgress(run, stop, t, 100, start, "movie.avi", 50));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(bar.Pos(), 50);
    EXPECT_EQ(status.Text(), "Converting movie.avi, 50/100, 0.01 fps");
    EXPECT_EQ(elapsed.Text(), "Elapse: 01:02:03");
    EXPECT_EQ(estimate.Text(), "Estimate: 01:02:03");
    EXPECT_EQ(main.title, "50% - Converting");
    EXPECT_EQ(main.ticks, 1);

    // Within the second: only the bar moves.
    ASSERT_TRUE(ReportProgress(run, stop, t, 300, start, "movie.avi", 100));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(bar.Pos(), 33);
    EXPECT_EQ(bar.PosChanges(), 2);
    EXPECT_EQ(status.TextChanges(), 1);
    EXPECT_EQ(main.titles, 1);
    EXPECT_EQ(main.ticks, 1);
}

TEST_F(Progress, FirstCallOfAFileShowsNoRate) {
    ASSERT_TRUE(ReportProgress(run, stop, t, 250, TickCount(), "a.avi", 0));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(bar.Pos(), 0);
    EXPECT_EQ(status.Text(), "Converting a.avi, 0/250, 0.00 fps");
    EXPECT_EQ(elapsed.Text(), "Elapse: 00:00:00");
    EXPECT_EQ(estimate.Text(), "Estimate: 00:00:00");
    EXPECT_EQ(main.title, "0% - Converting");
}

TEST_F(Progress, StopEndsTheFileAndWakesAPausedWorker) {
    stop.Set();
    EXPECT_FALSE(ReportProgress(run, stop, t, 10, TickCount(), "a.avi", 1));
    EXPECT_EQ(bar.PosChanges(), 0);

    // Paused: the worker waits in the check until the stop sets the run
    // event as well.
    stop.Reset();
    run.Reset();
    std::atomic<int> answer{-1};
    ProgressTargets none;
    std::thread worker([&] { answer = ReportProgress(run, stop, none, 10, TickCount(), "a.avi", 1) ? 1 : 0; });
    EXPECT_EQ(answer.load(), -1);
    stop.Set();
    run.Set();
    worker.join();
    EXPECT_EQ(answer.load(), 0);
}

TEST_F(Progress, WithoutAMainWindowTheTitleIsDropped) {
    SetAppMainWindow(nullptr);
    EXPECT_TRUE(ReportProgress(run, stop, t, 10, TickCount() - 3723000, "a.avi", 5));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(main.titles, 0);
    EXPECT_EQ(status.Text(), "Converting a.avi, 5/10, 0.00 fps");
    EXPECT_EQ(estimate.Text(), "Estimate: 01:02:03");
}

}  // namespace
}  // namespace kalvex

#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>

namespace kalvex {
namespace {

// The Convert page hands its own widgets over; the worker's sends reach them
// on the window thread.
TEST(ProgressWidgets, BarsAndTextsFromTheWorker) {
    QProgressBar bar;
    QLabel label;
    QEventLoop loop;
    std::thread worker([&] {
        SendProgressRange(&bar, 0, 7);
        SendProgressPos(&bar, 3);
        SendControlText(&label, "Files: 3/7");
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_EQ(bar.maximum(), 7);
    EXPECT_EQ(bar.value(), 3);
    EXPECT_EQ(label.text(), "Files: 3/7");
    // Null targets are skipped.
    SendProgressPos(nullptr, 1);
    SendControlText(nullptr, "x");
}

}  // namespace
}  // namespace kalvex

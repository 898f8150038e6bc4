// The Video Files page's playback controls on the offscreen platform. The
// graph is real GStreamer; its renderers are fakesinks (no sound card, no
// display needed). The controller is also driven through a recording view
// to see exactly which texts are written.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTreeView>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/ExamineSource.h"
#include "media/ScriptBuilder.h"
#include "media/TimeText.h"
#include "media/page/CAddFilePage.h"
#include "media/page/PreviewPanel.h"
#include "common/ui/grindel/Grindel.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "preview/GraphHelper.h"
#include "preview/PlaybackController.h"
#include "resources/resource.h"
#include "tests/preview/PreviewFixtures.h"
#include "tests/support/Media.h"
#include "tests/support/ListRows.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

constexpr int64_t kSecond = 10000000;

class PlaybackPageTest : public testing::Test {
protected:
    void SetUp() override {
        AppSettings.timeFormat = 0;
        AppSettings.convert.audioResample = 22050;
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([this](const QString& key, const QString& text) {
            hints.push_back({key, text});
            return false;
        });
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r.text);
            return IDOK;
        });
        GraphHelper::SetSinkFactory([this](int pin) { return test::FakeSinkChain(pin, syncSinks); });
        page = std::make_unique<CAddFilePage>();
        page->resize(900, 500);
    }
    void TearDown() override {
        page.reset();
        GraphHelper::SetSinkFactory(nullptr);
        SetHintDialogHook(nullptr);
        UnsetKeyboardHook();
    }
    QPushButton* Button(int id) { return page->findChild<QPushButton*>(res::ObjectName(id)); }
    QSlider* Slider() { return page->findChild<QSlider*>(res::ObjectName(res::IDC_POSITION_SLIDER)); }
    QLabel* TimeLabel() { return page->findChild<QLabel*>(res::ObjectName(res::IDC_TIME_LABEL)); }
    PlaybackController& Controller() { return page->Preview()->Controller(); }
    bool AddClip(const QString& name, double seconds) {
        const QString clip = test::MakeClip(name, seconds, 160, 120);
        return !clip.isEmpty() && page->AddFile(clip);
    }
    // Play, Stop, Pause, FullScreen, Set Start, Set End: enabled or not.
    std::vector<bool> States() {
        std::vector<bool> s;
        for (int id : {res::IDC_PLAY, res::IDC_STOP, res::IDC_PAUSE, res::IDC_FULLSCREEN, res::IDC_SET_START_TIME,
                       res::IDC_SET_END_TIME})
            s.push_back(Button(id)->isEnabled());
        return s;
    }
    // Pauses and moves the playing movie to t, waiting until it stands there.
    void PauseAt(int64_t t) {
        if (!Controller().Paused()) Button(res::IDC_PAUSE)->click();
        GraphHelper* g = Controller().Graph();
        ASSERT_TRUE(g->WaitForState(10000));
        ASSERT_TRUE(g->Seek(t));
        ASSERT_TRUE(g->WaitForState(10000));
    }
    QString RowText(int row, int column) { return test::CellText(page->ListControl(), row, column); }

    bool syncSinks = true;
    std::vector<std::pair<QString, QString>> hints;
    std::vector<QString> boxes;
    std::unique_ptr<CAddFilePage> page;
};

const std::vector<bool> kIdle = {false, false, false, false, false, false};
const std::vector<bool> kReady = {true, false, false, false, false, false};
const std::vector<bool> kPlaying = {false, true, true, true, true, true};

TEST_F(PlaybackPageTest, ButtonStatesInEveryState) {
    EXPECT_EQ(States(), kIdle);
    EXPECT_FALSE(Slider()->isEnabled());
    ASSERT_TRUE(AddClip("a.mkv", 3.0));
    EXPECT_EQ(States(), kIdle);  // nothing selected
    Button(res::IDC_PLAY)->click();  // (disabled: nothing happens)
    EXPECT_EQ(Controller().Graph(), nullptr);
    Controller().Play();  // without a selection the command does nothing either
    EXPECT_FALSE(Controller().Playing());

    page->SelectRows({0});
    EXPECT_EQ(States(), kReady);
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing()) << (boxes.empty() ? "" : boxes[0].toStdString());
    EXPECT_EQ(States(), kPlaying);
    EXPECT_TRUE(Slider()->isEnabled());
    EXPECT_EQ(Button(res::IDC_PAUSE)->text(), "Pa&use");
    GraphHelper* graph = Controller().Graph();
    Controller().Play();  // playing already: the same graph plays on
    EXPECT_EQ(Controller().Graph(), graph);

    Button(res::IDC_PAUSE)->click();
    EXPECT_TRUE(Controller().Paused());
    EXPECT_EQ(Button(res::IDC_PAUSE)->text(), "Resume");
    EXPECT_EQ(States(), kPlaying);
    Button(res::IDC_PAUSE)->click();
    EXPECT_FALSE(Controller().Paused());
    EXPECT_EQ(Button(res::IDC_PAUSE)->text(), "Pa&use");

    Button(res::IDC_FULLSCREEN)->click();
    EXPECT_TRUE(Controller().FullScreen());
    ASSERT_FALSE(hints.empty());
    EXPECT_EQ(hints.back().first, "FullScreen");
    EXPECT_EQ(hints.back().second, "You can press any key to exit full screen playback mode.");
    ASSERT_TRUE(page->Preview()->FullScreenWindow());
    EXPECT_TRUE(page->Preview()->FullScreenWindow()->isVisible());
    EXPECT_EQ(States(), kPlaying);
    // Any key, wherever it is pressed, leaves full screen.
    QTest::keyClick(page->ListControl(), Qt::Key_A);
    EXPECT_TRUE(test::WaitUntil([&] { return !Controller().FullScreen(); }));
    EXPECT_FALSE(page->Preview()->FullScreenWindow()->isVisible());
    EXPECT_TRUE(Controller().Playing());

    Button(res::IDC_PAUSE)->click();  // stop while paused: the caption comes back
    Button(res::IDC_STOP)->click();
    EXPECT_FALSE(Controller().Playing());
    EXPECT_EQ(Controller().Graph(), nullptr);
    EXPECT_EQ(States(), kReady);
    EXPECT_FALSE(Slider()->isEnabled());
    EXPECT_EQ(Button(res::IDC_PAUSE)->text(), "Pa&use");
    EXPECT_EQ(Slider()->value(), 0);
    EXPECT_EQ(TimeLabel()->text(), "00:00/00:03");
    page->SelectRows({});
    EXPECT_EQ(States(), kIdle);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PlaybackPageTest, MovieThatCannotPlaySaysSoAndStaysIdle) {
    ASSERT_TRUE(AddClip("gone.mkv", 1.0));
    QFile::remove(test::TestPath("gone.mkv"));
    page->SelectRows({0});
    Button(res::IDC_PLAY)->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Can't play movie.");
    EXPECT_FALSE(Controller().Playing());
    EXPECT_EQ(Controller().Graph(), nullptr);
    EXPECT_EQ(States(), kReady);
}

TEST_F(PlaybackPageTest, EndOfMovieInFullScreenStopsAndRemovesTheHook) {
    syncSinks = false;  // the movie runs to its end at once
    ASSERT_TRUE(AddClip("short.mkv", 1.0));
    page->SelectRows({0});
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing());
    Button(res::IDC_FULLSCREEN)->click();
    ASSERT_TRUE(Controller().FullScreen());
    ASSERT_TRUE(test::WaitUntil([&] { return !Controller().Playing(); }, 20000));
    EXPECT_FALSE(Controller().FullScreen());
    EXPECT_FALSE(page->Preview()->FullScreenWindow()->isVisible());
    EXPECT_EQ(States(), kReady);
    // The hook is gone: a key press now posts nothing (a second stop would
    // be harmless, but nothing may even try).
    QTest::keyClick(page->ListControl(), Qt::Key_B);
    QCoreApplication::processEvents();
    EXPECT_FALSE(Controller().FullScreen());
}

TEST_F(PlaybackPageTest, SliderDragPausesAndItsEndPlaysAgainAlsoAfterThePauseButton) {
    ASSERT_TRUE(AddClip("drag.mkv", 4.0));
    page->SelectRows({0});
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing());
    Controller().SliderScroll(TB_THUMBTRACK, 500);
    EXPECT_TRUE(Controller().Paused());
    ASSERT_TRUE(Controller().Graph()->WaitForState(10000));
    int64_t position = 0;
    ASSERT_TRUE(Controller().Graph()->CurrentPosition(&position));
    EXPECT_EQ(position, 2 * kSecond);  // 500 of 1000 of 4 s
    EXPECT_EQ(TimeLabel()->text(), "00:02/00:04");
    Controller().SliderScroll(TB_ENDTRACK, 500);
    EXPECT_FALSE(Controller().Paused());

    Button(res::IDC_PAUSE)->click();
    ASSERT_TRUE(Controller().Paused());
    Controller().SliderScroll(TB_THUMBTRACK, 250);
    Controller().SliderScroll(TB_THUMBPOSITION, 250);
    Controller().SliderScroll(TB_ENDTRACK, 250);
    EXPECT_FALSE(Controller().Paused());
    EXPECT_EQ(Button(res::IDC_PAUSE)->text(), "Pa&use");
}

TEST_F(PlaybackPageTest, SetStartAfterEndMovesTheEndAndTheRowShowsZeroLength) {
    ASSERT_TRUE(AddClip("trim.mkv", 4.0));
    page->SelectRows({0});
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing());
    PauseAt(3 * kSecond);
    Button(res::IDC_SET_END_TIME)->click();
    EXPECT_EQ(page->Entry(0).endTime, 3 * kSecond);
    EXPECT_EQ(page->Entry(0).startTime, 0);
    EXPECT_EQ(RowText(0, 2), "00:03");
    PauseAt(1 * kSecond);
    Button(res::IDC_SET_START_TIME)->click();
    EXPECT_EQ(page->Entry(0).startTime, 1 * kSecond);
    EXPECT_EQ(RowText(0, 1), "00:01");
    EXPECT_EQ(RowText(0, 2), "00:02");
    PauseAt(35000000);  // 3.5 s: after the end
    Button(res::IDC_SET_START_TIME)->click();
    EXPECT_EQ(page->Entry(0).startTime, 35000000);
    EXPECT_EQ(page->Entry(0).endTime, 35000000);
    EXPECT_EQ(RowText(0, 2), "00:00");
    // And the other way: an end before the start pulls the start along.
    PauseAt(5000000);
    Button(res::IDC_SET_END_TIME)->click();
    EXPECT_EQ(page->Entry(0).startTime, 5000000);
    EXPECT_EQ(page->Entry(0).endTime, 5000000);
    // The range of the running playback is the one it started with.
    EXPECT_EQ(Controller().PlayRangeLength(), 4 * kSecond);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PlaybackPageTest, TrimmedEntryTakesPositionsFromItsStart) {
    ASSERT_TRUE(AddClip("cut.mkv", 4.0));
    page->Entry(0).startTime = 1 * kSecond;
    page->Entry(0).endTime = 3 * kSecond;
    page->SelectRows({0});
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing());
    EXPECT_EQ(Controller().PlayRangeLength(), 2 * kSecond);
    PauseAt(5000000);  // half a second into the trimmed part
    Button(res::IDC_SET_END_TIME)->click();
    EXPECT_EQ(page->Entry(0).endTime, 15000000);  // 1 s + 0.5 s of the movie
    EXPECT_EQ(page->Entry(0).startTime, 1 * kSecond);
}

TEST_F(PlaybackPageTest, SetTimesWithoutThePlayingEntryAsksToSelectFirst) {
    ASSERT_TRUE(AddClip("one.mkv", 3.0));
    ASSERT_TRUE(AddClip("two.mkv", 3.0));
    page->SelectRows({1});
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing());
    page->SelectRows({1});
    page->RemoveSelected();  // the playing row is gone
    Controller().SetStartTime();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Please select movie first.");
    EXPECT_EQ(page->Entry(0).startTime, 0);
    Controller().Stop();
    Controller().SetEndTime();  // nothing plays
    EXPECT_EQ(boxes.size(), 2u);
}

TEST_F(PlaybackPageTest, AddingAFileStopsThePlayback) {
    ASSERT_TRUE(AddClip("first.mkv", 3.0));
    page->SelectRows({0});
    Button(res::IDC_PLAY)->click();
    ASSERT_TRUE(Controller().Playing());
    ASSERT_TRUE(AddClip("second.mkv", 1.0));
    EXPECT_FALSE(Controller().Playing());
    EXPECT_EQ(Controller().Graph(), nullptr);
}

TEST(SliderMaths, PositionsAndTimes) {
    EXPECT_EQ(PlaybackController::SliderPosition(0, 0), 0);
    EXPECT_EQ(PlaybackController::SliderPosition(5 * kSecond, 0), 0);
    EXPECT_EQ(PlaybackController::SliderPosition(5 * kSecond, 10 * kSecond), 500);
    EXPECT_EQ(PlaybackController::SliderPosition(10 * kSecond, 10 * kSecond), 1000);
    EXPECT_EQ(PlaybackController::SliderPosition(9999999, 10 * kSecond), 99);  // 99.99 truncates
    // 64-bit: a three-hour movie does not overflow.
    EXPECT_EQ(PlaybackController::SliderPosition(3LL * 3600 * kSecond, 3LL * 3600 * kSecond), 1000);
    EXPECT_EQ(PlaybackController::SliderTime(0, 10 * kSecond), 0);
    EXPECT_EQ(PlaybackController::SliderTime(1000, 10 * kSecond), 10 * kSecond);
    EXPECT_EQ(PlaybackController::SliderTime(333, 10 * kSecond), 33300000);
    EXPECT_EQ(PlaybackController::SliderTime(1, 3333), 3);  // 3.333 truncates
    EXPECT_EQ(PlaybackController::SliderTime(500, 3LL * 3600 * kSecond), 3LL * 1800 * kSecond);
}

// A view that records what the controller writes.
class RecordingView : public PlaybackView {
public:
    std::vector<VideoFileEntry> entries;
    int selected = 0;
    std::string label;
    int labelWrites = 0;
    std::vector<int> sliderPositions;
    std::vector<std::string> messages;
    int SelectedIndex() const override { return selected; }
    int EntryCount() const override { return int(entries.size()); }
    VideoFileEntry* Entry(int i) override { return &entries[size_t(i)]; }
    void RefreshRow(int) override {}
    void EnableButtons(bool, bool) override {}
    void SetPauseCaption(const std::string&) override {}
    void SetSliderPosition(int p) override { sliderPositions.push_back(p); }
    std::string TimeLabel() const override { return label; }
    void SetTimeLabel(const std::string& t) override {
        label = t;
        ++labelWrites;
    }
    void StartTimer(int) override {}
    void KillTimer() override {}
    void ShowMessage(const std::string& t) override { messages.push_back(t); }
    void ShowHint(const std::string&, const std::string&) override {}
    void SetKeyboardHook(bool) override {}
    void PresentFrame(FramePtr) override {}
    void ClearPicture() override {}
    void ShowFullScreen(bool) override {}
    void PostGraphNotify() override {}
    int timeFormat = 0;
    int TimeFormat() const override { return timeFormat; }
    ConvertSettings settings;
    ConvertSettings ScriptSettings() const override { return settings; }
};

TEST_F(PlaybackPageTest, TimeLabelIsWrittenOnlyWhenItsTextChanges) {
    const QString clip = test::MakeClip("label.mkv", 3.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    RecordingView view;
    VideoFileEntry e = ZeroEntry();
    SetFieldText(e.fullPath, clip.toStdString());
    SetFieldText(e.fileName, "label.mkv");
    std::string info;
    ASSERT_TRUE(ExamineSource(clip.toStdString(), e.mediaInfo, info));
    e.endTime = e.mediaInfo.duration;
    view.entries.push_back(e);
    PlaybackController c(view);
    c.Play();
    ASSERT_TRUE(c.Playing()) << (view.messages.empty() ? "" : view.messages[0]);
    c.SliderScroll(TB_THUMBTRACK, 500);  // paused at 1.5 s
    ASSERT_TRUE(c.Graph()->WaitForState(10000));
    EXPECT_EQ(view.label, "00:01/00:03");
    const int writes = view.labelWrites;
    c.TimerTick();
    c.TimerTick();
    c.RefreshTimeLabel(15000000);
    c.RefreshTimeLabel(19999999);  // still 00:01
    EXPECT_EQ(view.labelWrites, writes);
    EXPECT_EQ(view.sliderPositions.back(), 500);
    c.RefreshTimeLabel(20000000);
    EXPECT_EQ(view.label, "00:02/00:03");
    EXPECT_EQ(view.labelWrites, writes + 1);
    // The label takes the view's time format when it is written.
    view.timeFormat = 1;
    c.RefreshTimeLabel(25000000);
    EXPECT_EQ(view.label, "00:02.500/00:03.000");
}

// The preview's script is written with the settings the view hands over
// when Play is pressed, not with any stored record.
TEST_F(PlaybackPageTest, ThePreviewScriptTakesTheViewsSettings) {
    const QString clip = test::MakeClip("settings.mkv", 1.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    RecordingView view;
    VideoFileEntry e = ZeroEntry();
    SetFieldText(e.fullPath, clip.toStdString());
    SetFieldText(e.fileName, "settings.mkv");
    std::string info;
    ASSERT_TRUE(ExamineSource(clip.toStdString(), e.mediaInfo, info));
    e.endTime = e.mediaInfo.duration;
    view.entries.push_back(e);
    view.settings.fps = 12.5;
    view.settings.audioResample = 22050;
    PlaybackController c(view);
    c.Play();
    ASSERT_TRUE(c.Playing()) << (view.messages.empty() ? "" : view.messages[0]);
    const std::string script = test::ReadFile(ScriptPath(e));
    EXPECT_NE(script.find("ChangeFPS(12.500000)"), std::string::npos) << script;
    EXPECT_NE(script.find("ResampleAudio(22050)"), std::string::npos) << script;
    c.Stop();
}

}  // namespace
}  // namespace kalvex

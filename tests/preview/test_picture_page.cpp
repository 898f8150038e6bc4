// The preview draws its pictures itself: the video area and the full-screen
// window paint each picture scaled to their size with its shape kept, bars
// around it, nothing cut off. These run on the offscreen platform and once
// more on a real X server (Xvfb) and under a headless Wayland compositor
// (see CMakeLists.txt); grab() reads what the widget paints on each.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <thread>
#include <vector>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "common/ui/grindel/Grindel.h"
#include "media/page/CAddFilePage.h"
#include "media/page/PreviewPanel.h"
#include "platform/system/Folders.h"
#include "preview/GraphHelper.h"
#include "preview/PlaybackController.h"
#include "resources/resource.h"
#include "tests/preview/PreviewFixtures.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::Hue;

// A frame in plain memory: four coloured quarters, or one colour.
FramePtr Quarters(int w, int h, bool solid = false, uint32_t solidRgb = 0xff0000) {
    auto memory = std::make_shared<std::vector<uint32_t>>(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = 2 * x >= w, below = 2 * y >= h;
            const uint32_t rgb = solid ? solidRgb
                                       : (below ? (right ? 0xffff00u : 0x0000ffu) : (right ? 0x00ff00u : 0xff0000u));
            (*memory)[size_t(y) * size_t(w) + size_t(x)] = 0xff000000u | rgb;
        }
    auto f = std::make_shared<PreviewFrame>();
    f->width = w;
    f->height = h;
    f->stride = w * 4;
    f->time = 0;
    f->pixels = reinterpret_cast<const uint8_t*>(memory->data());
    f->memory = memory;
    return f;
}

Hue HueAt(const QImage& image, int x, int y) {
    const QRgb c = image.pixel(x, y);
    return test::HueOf(qRed(c), qGreen(c), qBlue(c));
}

// What `widget` paints: the picture exactly in FitRect of the widget's size
// and the picture's shape, its four corners in place (a few pixels in), and
// black bars just outside it where there are bars.
testing::AssertionResult ShowsWholePicture(QWidget* widget, double aspect, bool solid = false) {
    const QImage image = widget->grab().toImage();
    const int w = widget->width(), h = widget->height();
    if (image.width() < w || image.height() < h)
        return testing::AssertionFailure() << "grab is " << image.width() << "x" << image.height();
    const VideoRect r = FitRect(w, h, aspect);
    if (auto* picture = qobject_cast<PreviewPicture*>(widget)) {
        const QRect shown = picture->PictureRect();
        if (shown != QRect(r.left, r.top, r.Width(), r.Height()))
            return testing::AssertionFailure()
                   << "picture at " << shown.x() << "," << shown.y() << " " << shown.width() << "x" << shown.height()
                   << ", expected " << r.left << "," << r.top << " " << r.Width() << "x" << r.Height();
    }
    const int in = 3;
    const std::vector<std::pair<int, int>> corners = {
        {r.left + in, r.top + in}, {r.right - 1 - in, r.top + in},
        {r.left + in, r.bottom - 1 - in}, {r.right - 1 - in, r.bottom - 1 - in}};
    const Hue expected[4] = {Hue::Red, Hue::Green, Hue::Blue, Hue::Yellow};
    for (int i = 0; i < 4; ++i) {
        const Hue got = HueAt(image, corners[i].first, corners[i].second);
        const Hue want = solid ? Hue::Red : expected[i];
        if (got != want)
            return testing::AssertionFailure() << "corner " << i << " at " << corners[i].first << ","
                                               << corners[i].second << " is " << test::HueName(got) << ", not "
                                               << test::HueName(want) << " (area " << w << "x" << h << ")";
    }
    // The bars: two pixels outside the picture, on every side that has one.
    std::vector<std::pair<int, int>> bars;
    if (r.top >= 2) bars.push_back({w / 2, r.top - 2});
    if (h - r.bottom >= 2) bars.push_back({w / 2, r.bottom + 1});
    if (r.left >= 2) bars.push_back({r.left - 2, h / 2});
    if (w - r.right >= 2) bars.push_back({r.right + 1, h / 2});
    for (auto [x, y] : bars)
        if (HueAt(image, x, y) != Hue::Black)
            return testing::AssertionFailure() << "bar pixel " << x << "," << y << " is "
                                               << test::HueName(HueAt(image, x, y));
    return testing::AssertionSuccess();
}

bool AllBlack(QWidget* widget) {
    const QImage image = widget->grab().toImage();
    for (auto [x, y] : {std::pair{widget->width() / 2, widget->height() / 2}, std::pair{3, 3},
                        std::pair{widget->width() - 4, widget->height() - 4}})
        if (HueAt(image, x, y) != Hue::Black) return false;
    return true;
}

TEST(PreviewPictureWidget, EveryShapeLandsWholeInsideEveryAreaWithBars) {
    PreviewPicture area;
    area.show();
    EXPECT_TRUE(AllBlack(&area));  // no picture: black
    const QSize areas[] = {{400, 300}, {640, 200}, {200, 400}, {333, 187}};
    const QSize pictures[] = {{320, 180}, {180, 320}, {640, 480}, {368, 208}, {2, 2}};
    for (const QSize& a : areas) {
        area.resize(a);
        for (const QSize& p : pictures) {
            area.SetFrame(Quarters(p.width(), p.height()));
            EXPECT_TRUE(ShowsWholePicture(&area, double(p.width()) / p.height()))
                << p.width() << "x" << p.height() << " in " << a.width() << "x" << a.height();
        }
    }
    // Pixels that are not square: 720x480 at 32:27 is seen at 16:9.
    auto wide = std::const_pointer_cast<PreviewFrame>(Quarters(720, 480));
    wide->parN = 32;
    wide->parD = 27;
    area.resize(400, 400);
    area.SetFrame(wide);
    EXPECT_TRUE(ShowsWholePicture(&area, 16.0 / 9.0));
    area.SetFrame(nullptr);
    EXPECT_TRUE(AllBlack(&area));
}

TEST(PreviewPictureWidget, SizeChangesResizesTinyAndHugePicturesFitAgain) {
    PreviewPicture area;
    area.resize(480, 270);
    area.show();
    area.SetFrame(Quarters(320, 180));
    EXPECT_TRUE(ShowsWholePicture(&area, 16.0 / 9.0));
    // The picture changes its size: the next one is placed by its own shape,
    // nothing of the old one stays in the bars.
    area.SetFrame(Quarters(90, 160));
    EXPECT_TRUE(ShowsWholePicture(&area, 90.0 / 160.0));
    // The area is resized while the picture stands.
    area.resize(300, 500);
    EXPECT_TRUE(ShowsWholePicture(&area, 90.0 / 160.0));
    // One pixel.
    area.SetFrame(Quarters(1, 1, true));
    EXPECT_TRUE(ShowsWholePicture(&area, 1.0, true));
    // 8192 x 8192: scaled down into the area, not cut to its top-left.
    area.resize(400, 300);
    area.SetFrame(Quarters(8192, 8192));
    EXPECT_TRUE(ShowsWholePicture(&area, 1.0));
    area.SetFrame(Quarters(64, 36));
    EXPECT_TRUE(ShowsWholePicture(&area, 16.0 / 9.0));
}

class PreviewOnScreen : public testing::Test {
protected:
    void SetUp() override {
        AppSettings.timeFormat = 0;
        AppSettings.convert.audioResample = 22050;
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([](const QString&, const QString&) { return false; });
        GraphHelper::SetSinkFactory(test::PictureOnlyChain);
        page = std::make_unique<CAddFilePage>();
        page->resize(900, 500);
        page->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));
    }
    void TearDown() override {
        page.reset();
        GraphHelper::SetSinkFactory(nullptr);
        SetHintDialogHook(nullptr);
        UnsetKeyboardHook();
    }
    PreviewPanel* Panel() { return page->Preview(); }
    PlaybackController& Controller() { return Panel()->Controller(); }
    PreviewPicture* Area() { return Panel()->Area(); }
    QPushButton* Button(int id) { return page->findChild<QPushButton*>(res::ObjectName(id)); }
    bool Play(const std::string& clip) {
        if (clip.empty() || !page->AddFile(QString::fromStdString(clip))) return false;
        page->SelectRows({page->Count() - 1});
        Controller().Play();
        return Controller().Playing();
    }
    // The picture's shape as the area holds it (the script decides it).
    double Aspect() { return Area()->Frame() ? Area()->Frame()->DisplayAspect() : 0; }
    // The time of the picture the area shows, -1 without one.
    int64_t Shown() { return Area()->Frame() ? Area()->Frame()->time : -1; }
    std::unique_ptr<CAddFilePage> page;
};

TEST_F(PreviewOnScreen, PlayPauseSeekFullScreenAndBackShowTheWholePicture) {
    ASSERT_TRUE(Play(test::MakeQuarterClip("quarters.mkv", 8.0, 320, 180)));
    ASSERT_NE(Area(), nullptr);
    ASSERT_TRUE(test::WaitUntil([&] { return Area()->Frame() != nullptr; }, 10000));
    // The script keeps the clip's 16:9 shape.
    EXPECT_NEAR(Aspect(), 16.0 / 9.0, 0.02);
    EXPECT_TRUE(ShowsWholePicture(Area(), Aspect()));

    // Paused and moved: the picture of the new place shows without playing.
    Controller().SliderScroll(TB_THUMBTRACK, 250);
    ASSERT_TRUE(Controller().Paused());
    ASSERT_TRUE(test::WaitUntil([&] { return Shown() == 20000000; }, 10000));
    EXPECT_TRUE(ShowsWholePicture(Area(), Aspect()));

    // Full screen while paused: the standing picture fills the screen at
    // once, scaled the same way.
    const FramePtr standing = Area()->Frame();
    Button(res::IDC_FULLSCREEN)->click();
    ASSERT_TRUE(Controller().FullScreen());
    PreviewPicture* full = Panel()->FullScreenWindow();
    ASSERT_NE(full, nullptr);
    EXPECT_TRUE(full->isVisible());
    EXPECT_EQ(full->Frame(), standing);
    const QSize screen = full->screen()->geometry().size();
    ASSERT_TRUE(test::WaitUntil([&] { return full->size() == screen; }, 10000))
        << full->width() << "x" << full->height() << " on a screen of " << screen.width() << "x" << screen.height();
    EXPECT_TRUE(ShowsWholePicture(full, Aspect()));
    // Playing on in full screen: the pictures move on there.
    Controller().PauseButton();
    ASSERT_FALSE(Controller().Paused());
    ASSERT_TRUE(test::WaitUntil([&] { return full->Frame() && full->Frame()->time > standing->time; }, 5000));
    ASSERT_TRUE(Controller().Playing());
    EXPECT_TRUE(ShowsWholePicture(full, Aspect()));
    Controller().PauseButton();
    // Every key leaves it; Escape is one.
    QTest::keyClick(full, Qt::Key_Escape);
    ASSERT_TRUE(test::WaitUntil([&] { return !Controller().FullScreen(); }));
    EXPECT_FALSE(full->isVisible());
    EXPECT_TRUE(Controller().Playing());

    // Playing again, the window resized: the next picture fits the new area.
    Controller().PauseButton();
    ASSERT_FALSE(Controller().Paused());
    const QSize before = Area()->size();
    page->resize(1200, 760);
    ASSERT_TRUE(test::WaitUntil([&] { return Area()->size() != before; }));
    const int64_t shownAt = Shown();
    ASSERT_TRUE(test::WaitUntil([&] { return Shown() > shownAt; }, 5000));
    EXPECT_TRUE(ShowsWholePicture(Area(), Aspect()));

    // Hidden while playing, shown again: it goes on drawing.
    page->hide();
    QTest::qWait(300);
    page->show();
    const int64_t hiddenAt = Shown();
    ASSERT_TRUE(test::WaitUntil([&] { return Shown() > hiddenAt; }, 5000));
    EXPECT_TRUE(ShowsWholePicture(Area(), Aspect()));

    // Stopped: no picture stays in the area.
    Controller().Stop();
    EXPECT_EQ(Area()->Frame(), nullptr);
    EXPECT_TRUE(AllBlack(Area()));
}

TEST_F(PreviewOnScreen, PicturesFasterThanTheWindowGiveTheNewestAndAStopDropsTheRest) {
    // Pictures reach the window through one queued call; when many arrive
    // before the window thread looks, only the newest is drawn, and a stop
    // in between drops what was still waiting.
    ASSERT_TRUE(Play(test::MakeQuarterClip("late.mkv", 2.0, 320, 180)));
    ASSERT_TRUE(test::WaitUntil([&] { return Area()->Frame() != nullptr; }, 10000));
    Controller().PauseButton();
    ASSERT_TRUE(Controller().Graph()->WaitForState(10000));
    QApplication::processEvents();
    std::thread sender([this] {
        for (int i = 0; i < 50; ++i) {
            auto f = std::const_pointer_cast<PreviewFrame>(Quarters(32, 18));
            f->time = 1000 + i;
            Panel()->PresentFrame(f);
        }
    });
    sender.join();
    ASSERT_TRUE(test::WaitUntil([&] { return Area()->Frame() && Area()->Frame()->time == 1049; }));
    EXPECT_TRUE(ShowsWholePicture(Area(), 32.0 / 18.0));
    Controller().Stop();
    auto stale = std::const_pointer_cast<PreviewFrame>(Quarters(32, 18));
    Panel()->PresentFrame(stale);  // queued, then the picture is cleared
    Panel()->ClearPicture();
    QApplication::processEvents();
    EXPECT_EQ(Area()->Frame(), nullptr);
    EXPECT_TRUE(AllBlack(Area()));
}

}  // namespace
}  // namespace kalvex

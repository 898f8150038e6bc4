// The main window's page guards answer before the tab changes, and showing
// the Convert page stops a playing preview.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "app/CVideoConverterDlg.h"
#include "common/ui/HintOnce.h"
#include "media/page/CAddFilePage.h"
#include "media/page/PreviewPanel.h"
#include "common/ui/Dialogs.h"
#include "preview/GraphHelper.h"
#include "tests/support/Media.h"

using namespace kalvex;

namespace {

struct Guarded : testing::Test {
    void SetUp() override {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r.text);
            // What is on screen while the box is up.
            tabWhileBox.push_back(dlg ? dlg->tab()->currentIndex() : -1);
            return IDOK;
        });
        SetHintDialogHook([](const QString&, const QString&) { return false; });
        dlg = std::make_unique<CVideoConverterDlg>(nullptr);
        dlg->runFirstRunDialog = nullptr;
        dlg->OnInitDialog();
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
        spy = 0;
        QObject::connect(dlg->tab(), &QTabWidget::currentChanged, [this](int) { ++spy; });
    }
    void TearDown() override {
        dlg.reset();
        GraphHelper::SetSinkFactory(nullptr);
        SetHintDialogHook(nullptr);
    }
    std::unique_ptr<CVideoConverterDlg> dlg;
    std::vector<QString> boxes;
    std::vector<int> tabWhileBox;
    int spy = 0;
};

TEST_F(Guarded, ClickOnConvertWithAnEmptyListNeverShowsIt) {
    QTabBar* bar = dlg->tab()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Please add Video Files first.");
    EXPECT_EQ(tabWhileBox[0], 0);
    EXPECT_EQ(dlg->tab()->currentIndex(), 0);
    EXPECT_EQ(spy, 0);  // the tab never moved, not even for a moment
    EXPECT_TRUE(dlg->videoFilesPage()->isVisible());
}

TEST_F(Guarded, KeyboardSwitchIsGuardedTheSameWay) {
    QTest::keyClick(dlg->tab(), Qt::Key_Tab, Qt::ControlModifier);
    QTest::keyClick(dlg->tab()->tabBar(), Qt::Key_Right);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], "Please add Video Files first.");
    EXPECT_EQ(tabWhileBox, (std::vector<int>{0, 0}));
    EXPECT_EQ(spy, 0);
}

TEST_F(Guarded, ShowingTheConvertPageStopsThePreview) {
    GraphHelper::SetSinkFactory([](int pin) {
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", TRUE, nullptr);
        return sink;
    });
    const QString clip = test::MakeClip("guard.mkv", 3.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    CAddFilePage* page = dlg->videoFilesPage();
    ASSERT_TRUE(page->AddFile(clip));
    page->SelectRows({0});
    page->Preview()->Controller().Play();
    ASSERT_TRUE(page->Preview()->Controller().Playing());
    QTabBar* bar = dlg->tab()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
    EXPECT_EQ(dlg->tab()->currentIndex(), 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(page->Preview()->Controller().Playing());
}

}  // namespace

namespace {

TEST_F(Guarded, PagesGetTheRoomTheirControlsNeedAndGrowWithTheWindow) {
    CAddFilePage* page = dlg->videoFilesPage();
    const QSize need = page->minimumSizeHint();
    EXPECT_GE(page->width(), need.width());
    EXPECT_GE(page->height(), need.height());
    dlg->resize(1280, 900);
    QApplication::processEvents();
    EXPECT_GE(page->width(), 1200);
    EXPECT_GE(page->height(), 760);
}

}  // namespace

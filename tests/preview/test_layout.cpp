// The Video Files page's layout: at the size the main window gives it and at
// larger ones, with a long information text shown, the preview controls do
// not overlap and the list shows its three columns without scrolling.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QTreeView>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/page/CAddFilePage.h"
#include "platform/shell/Shell.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/ListRows.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

class LayoutTest : public testing::TestWithParam<QSize> {
protected:
    void SetUp() override {
        AppSettings.timeFormat = 0;
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([](const QString&, const QString&) { return false; });
    }
    void TearDown() override { SetHintDialogHook(nullptr); }
};

// The rectangle of a widget in the page's coordinates.
QRect In(QWidget* page, QWidget* w) { return QRect(w->mapTo(page, QPoint(0, 0)), w->size()); }

TEST_P(LayoutTest, PreviewControlsNeverOverlapAndTheColumnsFit) {
    CAddFilePage page;
    page.SetExaminer([](const std::string&, MediaInfo& info, SourceRefusal&) {
        info.width = 1280;
        info.height = 720;
        info.fps = 25;
        info.duration = 600LL * 10000000;
        return true;
    });
    ASSERT_TRUE(page.AddFile("/videos/a rather long folder name/and a long file name for the list.mkv"));
    page.resize(GetParam());
    page.show();
    page.SelectRows({0});
    // A long information text, as a real source gives.
    QString info;
    for (int i = 0; i < 14; ++i) info += QString("Line %1 of the movie information: some values here\n").arg(i);
    page.InfoLabel()->setText(info);
    QApplication::processEvents();
    page.layout()->activate();
    QApplication::processEvents();

    std::vector<QWidget*> parts;
    for (int id : {res::IDC_PREVIEW_AREA, res::IDC_POSITION_SLIDER, res::IDC_TIME_LABEL, res::IDC_PLAY, res::IDC_STOP,
                   res::IDC_PAUSE, res::IDC_FULLSCREEN, res::IDC_SET_START_TIME, res::IDC_SET_END_TIME}) {
        QWidget* w = page.findChild<QWidget*>(res::ObjectName(id));
        ASSERT_TRUE(w) << id;
        parts.push_back(w);
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const QRect a = In(&page, parts[i]);
        EXPECT_GT(a.width(), 0) << parts[i]->objectName().toStdString();
        EXPECT_GT(a.height(), 0) << parts[i]->objectName().toStdString();
        EXPECT_TRUE(page.rect().contains(a)) << parts[i]->objectName().toStdString();
        for (size_t j = i + 1; j < parts.size(); ++j)
            EXPECT_FALSE(a.intersects(In(&page, parts[j])))
                << parts[i]->objectName().toStdString() << " overlaps " << parts[j]->objectName().toStdString();
    }
    // Every button shows its whole caption.
    for (size_t i = 3; i < parts.size(); ++i)
        EXPECT_GE(parts[i]->width(), parts[i]->sizeHint().width()) << parts[i]->objectName().toStdString();
    EXPECT_GE(parts[0]->height(), 100);  // a usable picture

    QTreeView* list = page.ListControl();
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
    const int columns = list->header()->sectionSize(0) + list->header()->sectionSize(1) + list->header()->sectionSize(2);
    EXPECT_LE(columns, list->viewport()->width());
    // Begin and Length show their texts and titles whole.
    const QFontMetrics fm(list->font());
    for (int c : {1, 2}) {
        EXPECT_GE(list->header()->sectionSize(c), fm.horizontalAdvance(test::CellText(list, 0, c)));
        EXPECT_GE(list->header()->sectionSize(c), fm.horizontalAdvance(test::HeaderText(list, c)));
    }
    EXPECT_GE(list->header()->sectionSize(0), 150);  // the path keeps a useful width
}

// The page inside the main window at its default size, and in larger windows.
INSTANTIATE_TEST_SUITE_P(Sizes, LayoutTest, testing::Values(QSize(936, 415), QSize(1256, 790), QSize(1900, 1000)));

}  // namespace
}  // namespace kalvex

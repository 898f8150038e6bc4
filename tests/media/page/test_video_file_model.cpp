// The Video Files page's list model: its cells, the changes it reports, and
// a view shown over it following every kind of change.
#include <gtest/gtest.h>

#include <QAction>
#include <QPushButton>
#include <QSignalSpy>
#include <QHeaderView>
#include <QTreeView>
#include <memory>
#include <set>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/VideoFileList.h"
#include "media/page/CAddFilePage.h"
#include "media/page/VideoFileModel.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/ListRows.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

constexpr int64_t kSecond = 10000000;

std::unique_ptr<VideoFileEntry> Entry(const std::string& path, int64_t start, int64_t end) {
    auto e = std::make_unique<VideoFileEntry>();
    SetFieldText(e->fullPath, path);
    e->startTime = start;
    e->endTime = end;
    return e;
}

std::vector<QStringList> Rows(const VideoFileModel& model) {
    std::vector<QStringList> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < model.columnCount(); ++c) row << model.index(r, c).data().toString();
        rows.push_back(row);
    }
    return rows;
}

std::vector<QStringList> Rows(const QTreeView& tree) {
    std::vector<QStringList> rows;
    for (int r = 0; r < test::RowCount(&tree); ++r) {
        QStringList row;
        for (int c = 0; c < tree.header()->count(); ++c) row << test::CellText(&tree, r, c);
        rows.push_back(row);
    }
    return rows;
}

class VideoFileModelTest : public testing::Test {
protected:
    void SetUp() override {
        AppSettings.timeFormat = 0;
        tree_.setModel(&model_);
    }
    void Add(const std::string& path, int64_t start = 0, int64_t end = 10 * kSecond) {
        model_.Append(*Entry(path, start, end));
    }
    std::vector<QString> Paths() {
        std::vector<QString> out;
        for (const auto& row : Rows(model_)) out.push_back(row[0]);
        return out;
    }

    VideoFileModel model_;
    QTreeView tree_;
};

TEST_F(VideoFileModelTest, CellsAreThePathTheStartAndTheTrimmedLength) {
    Add("/v/one.avi", 2 * kSecond + kSecond / 2, 12 * kSecond);
    EXPECT_EQ(model_.columnCount(), 3);
    EXPECT_EQ(model_.headerData(0, Qt::Horizontal).toString(), "File Path");
    EXPECT_EQ(model_.headerData(2, Qt::Horizontal).toString(), "Length");
    ASSERT_EQ(model_.rowCount(), 1);
    EXPECT_EQ(Rows(model_)[0][0], "/v/one.avi");
    EXPECT_EQ(Rows(model_)[0][1], VideoFileModel::CellText(model_.At(0), 1));
    EXPECT_EQ(Rows(model_)[0][2], "00:09");  // 9.5 s shown truncated
    EXPECT_FALSE(model_.index(1, 0).data().isValid());  // one past the last row
    EXPECT_EQ(test::HeaderText(&tree_, 1), "Begin");
}

// The Begin and Length cells follow the display time format each time they
// are shown, and an unknown format shows as format 0.
TEST_F(VideoFileModelTest, CellsFollowTheTimeFormatEachTimeAndSurviveOddValues) {
    const int64_t t = (3600 + 5 * 60 + 7) * kSecond + 900 * 10000;  // 900 ms
    Add("/v/long.avi", t, 2 * t);
    EXPECT_EQ(Rows(model_)[0][1], "65:07");
    AppSettings.timeFormat = 3;
    EXPECT_EQ(Rows(model_)[0][1], "01:05:07.900");
    EXPECT_EQ(Rows(model_)[0][2], "01:05:07.900");
    AppSettings.timeFormat = 7;
    EXPECT_EQ(Rows(model_)[0][1], "65:07");
    AppSettings.timeFormat = 0;
}

TEST_F(VideoFileModelTest, InsertClampsAndRemoveRefusesRowsThatAreNotThere) {
    Add("/v/b.avi");
    QSignalSpy inserted(&model_, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model_, &QAbstractItemModel::rowsRemoved);
    model_.Insert(-3, *Entry("/v/a.avi", 0, kSecond));
    model_.Insert(99, *Entry("/v/c.avi", 0, kSecond));
    EXPECT_EQ(Paths(), (std::vector<QString>{"/v/a.avi", "/v/b.avi", "/v/c.avi"}));
    ASSERT_EQ(inserted.count(), 2);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[1][1].toInt(), 2);
    EXPECT_FALSE(model_.Remove(3));
    EXPECT_FALSE(model_.Remove(-1));
    EXPECT_EQ(removed.count(), 0);
    EXPECT_TRUE(model_.Remove(2));
    EXPECT_EQ(model_.Count(), 2);
}

TEST_F(VideoFileModelTest, TheViewFollowsEveryChange) {
    for (const char* p : {"/v/a.avi", "/v/b.avi", "/v/c.avi", "/v/d.avi"}) Add(p);
    EXPECT_EQ(Rows(tree_), Rows(model_));

    // A view that caches its rows redraws only the rows it is told of: both
    // rows of every swapped pair must be announced, in every column.
    auto announced = [](const QSignalSpy& spy) {
        std::set<int> rows;
        for (const auto& args : spy) {
            const auto from = args[0].value<QModelIndex>(), to = args[1].value<QModelIndex>();
            EXPECT_EQ(from.column(), 0);
            EXPECT_EQ(to.column(), VideoFileModel::ColumnCount - 1);
            for (int r = from.row(); r <= to.row(); ++r) rows.insert(r);
        }
        return rows;
    };
    std::vector<int> selected{1, 3};
    QSignalSpy up(&model_, &QAbstractItemModel::dataChanged);
    ASSERT_TRUE(model_.MoveUp(selected));
    EXPECT_EQ(Paths(), (std::vector<QString>{"/v/b.avi", "/v/a.avi", "/v/d.avi", "/v/c.avi"}));
    EXPECT_EQ(Rows(tree_), Rows(model_));
    EXPECT_EQ(announced(up), (std::set<int>{0, 1, 2, 3}));
    selected = {0};
    QSignalSpy changed(&model_, &QAbstractItemModel::dataChanged);
    EXPECT_FALSE(model_.MoveUp(selected));  // the top row cannot go up
    EXPECT_EQ(changed.count(), 0);
    selected = {3};
    EXPECT_FALSE(model_.MoveDown(selected));  // nor the bottom row down
    selected = {0, 2};
    QSignalSpy down(&model_, &QAbstractItemModel::dataChanged);
    ASSERT_TRUE(model_.MoveDown(selected));
    EXPECT_EQ(Rows(tree_), Rows(model_));
    EXPECT_EQ(announced(down), (std::set<int>{0, 1, 2, 3}));

    model_.At(2).startTime = 3 * kSecond;
    QSignalSpy refreshed(&model_, &QAbstractItemModel::dataChanged);
    model_.Refresh(2);
    EXPECT_EQ(announced(refreshed), (std::set<int>{2}));  // and every column of it
    EXPECT_EQ(Rows(tree_), Rows(model_));
    EXPECT_EQ(test::CellText(&tree_, 2, 2), "00:07");

    model_.Remove(0);
    model_.Insert(1, *Entry("/v/new.avi", 0, kSecond));
    EXPECT_EQ(Rows(tree_), Rows(model_));

    // Saved and loaded again: the tree shows the loaded list, not both.
    const std::string path = test::TestRoot() + "/files.dat";
    ASSERT_TRUE(model_.Save(path));
    const auto before = Rows(model_);
    model_.Clear();
    EXPECT_EQ(test::RowCount(&tree_), 0);
    EXPECT_EQ(model_.Load(path), 4);
    EXPECT_EQ(Rows(model_), before);
    EXPECT_EQ(Rows(tree_), before);
}

// Each command's menu entry and hidden button are enabled together: always
// (Add, Search), with a selected file (Remove, Up, Down, Modify Time, Load
// Subtitle), or with any file in the list (Auto Load).
TEST(VideoFilesCommands, MenuAndButtonsFollowTheListAndTheSelection) {
    AppSettings.timeFormat = 0;
    SetSettingsPath(AppDataFolder() + "set.ini");
    SetHintDialogHook([](const QString&, const QString&) { return false; });
    struct Expect {
        int menu, button;
        bool empty, files, selected;
    };
    const Expect expected[] = {
        {res::ID_FILES_ADD, res::IDC_BTN_ADD_FILES, true, true, true},
        {res::ID_FILES_REMOVE, res::IDC_BTN_REMOVE, false, false, true},
        {res::ID_FILES_MOVE_UP, res::IDC_BTN_MOVE_UP, false, false, true},
        {res::ID_FILES_MOVE_DOWN, res::IDC_BTN_MOVE_DOWN, false, false, true},
        {res::ID_FILES_MODIFY_TIME, res::IDC_BTN_MODIFY_TIME, false, false, true},
        {res::ID_FILES_LOAD_SUBTITLE, res::IDC_BTN_LOAD_SUBTITLE, false, false, true},
        {res::ID_FILES_AUTO_LOAD_SUBTITLES, res::IDC_BTN_AUTO_LOAD_SUBTITLES, false, true, true},
        {res::ID_FILES_SEARCH_SUBTITLES, 0, true, true, true},
    };
    CAddFilePage page;
    auto check = [&](const char* state, bool Expect::*on) {
        for (const Expect& e : expected) {
            QAction* action = page.MenuAction(e.menu);
            ASSERT_NE(action, nullptr) << e.menu;
            EXPECT_EQ(action->isEnabled(), e.*on) << state << " menu " << e.menu;
            if (!e.button) continue;
            auto* button = page.findChild<QPushButton*>(res::ObjectName(e.button));
            ASSERT_NE(button, nullptr) << e.button;
            EXPECT_EQ(button->isEnabled(), e.*on) << state << " button " << e.button;
            EXPECT_FALSE(button->isVisibleTo(&page));
        }
    };
    page.ClearAll();
    check("empty", &Expect::empty);
    page.InsertEntry(0, *Entry("/v/a.avi", 0, kSecond));
    page.InsertEntry(1, *Entry("/v/b.avi", 0, kSecond));
    check("files", &Expect::files);
    page.SelectRows({1});
    check("selected", &Expect::selected);
    page.SelectRows({});
    check("files again", &Expect::files);
    SetHintDialogHook(nullptr);
}

}  // namespace
}  // namespace kalvex

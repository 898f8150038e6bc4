// The Video Files page: its controls, adding, removing, reordering, the
// selection's information and subtitle choices, trimming, persistence.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <cstring>
#include <memory>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "common/ProgramLog.h"
#include "media/page/CAddFilePage.h"
#include "media/VideoFileList.h"
#include "media/page/CModifyTimeDlg.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/ListRows.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

namespace kalvex {
namespace {

constexpr int64_t kSecond = 10000000;

// A page whose examination is a stand-in: a path containing "bad" is refused,
// any other gets 320 x 240, 25 fps and a length from its name ("_12s" = 12 s).
class PageTest : public testing::Test {
protected:
    void SetUp() override {
        AppSettings.timeFormat = 0;
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([this](const QString& key, const QString& text) {
            hints.push_back({key, text});
            return dontShowHint;
        });
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            return IDOK;
        });
    }
    void TearDown() override {
        page.reset();
        SetHintDialogHook(nullptr);
    }

    static bool FakeExamine(std::vector<std::string>* examined, const std::string& path, MediaInfo& info) {
        examined->push_back(path);
        if (path.find("bad") != std::string::npos) return false;
        std::memset(&info, 0, sizeof info);
        std::strcpy(info.videoFormat, "vids");
        std::strcpy(info.audioFormat, "auds");
        info.width = 320;
        info.height = 240;
        info.fps = 25;
        size_t s = path.find("_");
        info.duration = (s == std::string::npos ? 10 : std::atoi(path.c_str() + s + 1)) * kSecond;
        info.channels = 2;
        info.sampleRate = 44100;
        return true;
    }

    CAddFilePage& MakePage() {
        page = std::make_unique<CAddFilePage>();
        page->SetExaminer([this](const std::string& p, MediaInfo& i, SourceRefusal&) { return FakeExamine(&examined, p, i); });
        return *page;
    }

    void AddThroughDialog(const QStringList& paths) {
        SetOpenFileDialogHook([this, paths](const FileDialogRequest& r) {
            dialogs.push_back(r);
            return paths;
        });
        page->AddFiles();
    }

    QTreeView* List() { return page->ListControl(); }
    QString Cell(int row, int col) { return test::CellText(List(), row, col); }
    QStringList Paths() {
        QStringList out;
        for (int i = 0; i < test::RowCount(List()); ++i) out << Cell(i, 0);
        return out;
    }
    // The entries and the rows say the same, in the same order.
    void ExpectRowsMatchEntries() {
        ASSERT_EQ(test::RowCount(List()), page->Count());
        for (int i = 0; i < page->Count(); ++i) EXPECT_EQ(Cell(i, 0).toStdString(), page->Entry(i).fullPath) << i;
    }
    template <class T>
    T* Control(int id) {
        return page->findChild<T*>(res::ObjectName(id));
    }

    std::unique_ptr<CAddFilePage> page;
    std::vector<std::string> examined;
    std::vector<std::pair<QString, QString>> hints;
    std::vector<MessageBoxRequest> boxes;
    std::vector<FileDialogRequest> dialogs;
    bool dontShowHint = false;
};

TEST_F(PageTest, ControlsOfTheTemplate) {
    MakePage();
    QTreeView* list = Control<QTreeView>(res::IDC_FILE_LIST);
    ASSERT_EQ(list, List());
    ASSERT_EQ(list->model()->columnCount(), 3);
    EXPECT_EQ(test::HeaderText(list, 0), "File Path");
    EXPECT_EQ(test::HeaderText(list, 1), "Begin");
    EXPECT_EQ(test::HeaderText(list, 2), "Length");
    // The path column takes what Begin and Length leave.
    EXPECT_EQ(list->header()->sectionResizeMode(0), QHeaderView::Stretch);
    EXPECT_GE(list->columnWidth(1), 80);
    EXPECT_GE(list->columnWidth(2), 80);
    EXPECT_GE(list->columnWidth(1), list->fontMetrics().horizontalAdvance("-00:00:00.000"));
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);

    QLabel* info = Control<QLabel>(res::IDC_MOVIE_INFO);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->font().pointSize(), 9);
    // Lucida Console, or a monospace face where it is missing.
    QFontInfo face(info->font());
    QFontMetrics metrics(info->font());
    EXPECT_TRUE(face.family() == "Lucida Console" ||
                metrics.horizontalAdvance("iiii") == metrics.horizontalAdvance("MMMM"))
        << face.family().toStdString();

    ASSERT_NE(Control<QComboBox>(res::IDC_SUBTITLE_FILES), nullptr);
    ASSERT_NE(Control<QComboBox>(res::IDC_SUBTITLE_STREAMS), nullptr);
    QCheckBox* use = Control<QCheckBox>(res::IDC_USE_SUBTITLE);
    ASSERT_NE(use, nullptr);
    EXPECT_EQ(use->text(), "&Use subtitle while playing && converting");

    for (int id : {res::IDC_BTN_ADD_FILES, res::IDC_BTN_REMOVE, res::IDC_BTN_MOVE_UP, res::IDC_BTN_MOVE_DOWN,
                   res::IDC_BTN_MODIFY_TIME, res::IDC_BTN_LOAD_SUBTITLE, res::IDC_BTN_AUTO_LOAD_SUBTITLES}) {
        QPushButton* b = Control<QPushButton>(id);
        ASSERT_NE(b, nullptr) << id;
        EXPECT_TRUE(b->isHidden()) << id;
    }
    for (int id : {res::IDC_PLAY, res::IDC_STOP, res::IDC_PAUSE, res::IDC_SET_START_TIME, res::IDC_SET_END_TIME,
                   res::IDC_FULLSCREEN}) {
        QPushButton* b = Control<QPushButton>(id);
        ASSERT_NE(b, nullptr) << id;
        EXPECT_FALSE(b->isEnabled()) << id;
    }
    EXPECT_EQ(Control<QPushButton>(res::IDC_SET_START_TIME)->text(), "Set S&tart Time");
    EXPECT_EQ(Control<QPushButton>(res::IDC_SET_END_TIME)->text(), "Set &End Time");

    QMenu* menu = page->FilesMenu();
    EXPECT_EQ(menu->title(), "&Files");
    const std::vector<std::pair<int, QString>> items = {
        {32772, "&Add Video Files"}, {32773, "&Remove Selected File"}, {32774, "&Move Up"},
        {32775, "Move &Down"},       {32776, "M&odify Time"},          {32777, "&Load Subtitle"},
        {32778, "&Auto Load Subtitles"}, {32799, "&Search Subtitles"}};
    ASSERT_EQ(menu->actions().size(), qsizetype(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(menu->actions()[int(i)]->objectName(), res::ObjectName(items[i].first));
        EXPECT_EQ(menu->actions()[int(i)]->text(), items[i].second);
    }
    // A right click on the list opens the menu.
    page->show();
    emit list->customContextMenuRequested(QPoint(10, 10));
    EXPECT_TRUE(menu->isVisible());
    menu->hide();

    // Empty list: nothing to remove, move or trim.
    EXPECT_FALSE(page->MenuAction(32773)->isEnabled());
    EXPECT_FALSE(page->MenuAction(32778)->isEnabled());
    EXPECT_TRUE(page->MenuAction(32772)->isEnabled());
}

TEST_F(PageTest, AddFilesInDialogOrderPastFailures) {
    MakePage();
    QSignalSpy changed(page.get(), &CAddFilePage::listChanged);
    AddThroughDialog({"/v/one_12.avi", "/v/bad.avi", "/v/two_75.mkv", "/v/one_12.avi"});
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_TRUE(dialogs[0].multiple);
    EXPECT_EQ(dialogs[0].filter.toStdString(), CAddFilePage::kVideoFilter);
    for (const char* ext : {"*.avi", "*.divx", "*.m2ts", "*.hdmov", "*.3gp2", "*.ogv", "*.rmvb", "(*)"})
        EXPECT_TRUE(dialogs[0].filter.contains(ext)) << ext;
    EXPECT_TRUE(dialogs[0].filter.startsWith("video file ("));
    EXPECT_TRUE(dialogs[0].filter.endsWith(";;all files (*)"));

    // Each file examined once, in order; the refused one is left out; the
    // same file twice gives two entries.
    EXPECT_EQ(examined, (std::vector<std::string>{"/v/one_12.avi", "/v/bad.avi", "/v/two_75.mkv", "/v/one_12.avi"}));
    EXPECT_EQ(Paths(), (QStringList{"/v/one_12.avi", "/v/two_75.mkv", "/v/one_12.avi"}));
    ExpectRowsMatchEntries();
    EXPECT_GE(changed.count(), 3);
    const VideoFileEntry& two = page->Entry(1);
    EXPECT_STREQ(two.fileName, "two_75.mkv");
    EXPECT_EQ(two.startTime, 0);
    EXPECT_EQ(two.endTime, 75 * kSecond);
    EXPECT_EQ(two.subtitleCount, 0);
    EXPECT_EQ(Cell(1, 1), "00:00");
    EXPECT_EQ(Cell(1, 2), "01:15");
    EXPECT_EQ(std::string(two.infoText),
              "two_75.mkv\n\nVideo Format = vids\n        size = 320x240\n         fps = 25.000\n"
              "Audio Format = auds\n    Channels = 2\n  SampleRate = 44100\nMovie Length = 01:15\n");

    // Cancel: nothing happens.
    examined.clear();
    AddThroughDialog({});
    EXPECT_TRUE(examined.empty());
    EXPECT_EQ(page->Count(), 3);
}

TEST_F(PageTest, AddingWritesTheLogLines) {
    MakePage();
    OpenProgramLog();
    ASSERT_NE(TheProgramLog(), nullptr);
    const std::string logPath = TheProgramLog()->Path();
    int stops = 0;
    page->SetPreviewStopper([&stops] { ++stops; });
    int linked = 0;
    page->SetSubtitleLinker([&linked](VideoFileEntry& e) {
        ++linked;
        e.subtitleCount = 1;
        std::strcpy(e.subtitlePaths[0], "/v/good.srt");
        e.useSubtitle = 1;
    });
    AddThroughDialog({"/v/good.avi", "/v/bad.avi"});
    CloseProgramLog();
    const std::string log = test::ReadFile(logPath);
    EXPECT_EQ(stops, 2);
    EXPECT_EQ(linked, 1);  // only for the file that was added
    EXPECT_EQ(page->Entry(0).subtitleCount, 1);
    EXPECT_NE(log.find("--- Adding file /v/good.avi---"), std::string::npos);
    EXPECT_NE(log.find("InfoStr=good.avi\n\nVideo Format = vids"), std::string::npos);
    EXPECT_NE(log.find("--- End /v/good.avi ---"), std::string::npos);
    EXPECT_NE(log.find("Add file failed. /v/bad.avi.\nPlease make sure you can play the file in your computer "
                       "correctly, you may miss some video or audio codec for decoding the file."),
              std::string::npos);
    EXPECT_NE(log.find("--- End /v/bad.avi ---"), std::string::npos);
    EXPECT_EQ(log.find("Add file failed. /v/good.avi"), std::string::npos);
}

TEST_F(PageTest, PathTooLongForTheRecordIsRefusedNotCut) {
    MakePage();
    const std::string longPath = "/v/" + std::string(3000, 'x') + ".avi";
    const std::string fits = "/v/" + std::string(252, 'y') + ".avi";  // 259 bytes
    ASSERT_EQ(fits.size(), 259u);
    AddThroughDialog({QString::fromStdString(longPath), QString::fromStdString(fits)});
    EXPECT_EQ(examined, std::vector<std::string>{fits});
    ASSERT_EQ(page->Count(), 1);
    EXPECT_EQ(std::string(page->Entry(0).fullPath), fits);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text.contains(QString::fromStdString(longPath))) << boxes[0].text.toStdString();
    EXPECT_TRUE(boxes[0].text.contains("too long") || boxes[0].text.contains("longer")) << boxes[0].text.toStdString();
}

TEST_F(PageTest, RemoveSelectedRowsAndTheDeleteKey) {
    MakePage();
    AddThroughDialog({"/v/a", "/v/b", "/v/c", "/v/d", "/v/e"});
    page->SelectRows({1, 3});
    page->RemoveSelected();
    EXPECT_EQ(Paths(), (QStringList{"/v/a", "/v/c", "/v/e"}));
    ExpectRowsMatchEntries();
    EXPECT_EQ(page->FirstSelected(), -1);
    EXPECT_FALSE(page->MenuAction(res::ID_FILES_REMOVE)->isEnabled());

    page->SelectRows({2});
    EXPECT_TRUE(page->MenuAction(res::ID_FILES_REMOVE)->isEnabled());
    QTest::keyClick(List(), Qt::Key_Delete);
    EXPECT_EQ(Paths(), (QStringList{"/v/a", "/v/c"}));
    // Nothing selected: Delete does nothing.
    QTest::keyClick(List(), Qt::Key_Delete);
    EXPECT_EQ(page->Count(), 2);
    // The menu item reaches the same command.
    page->SelectRows({0});
    page->MenuAction(res::ID_FILES_REMOVE)->trigger();
    EXPECT_EQ(Paths(), (QStringList{"/v/c"}));
}

// Rows picked by the user in any order, and rows that are not there.
TEST_F(PageTest, SelectionIsReadInRowOrderAndIgnoresRowsThatAreNotThere) {
    MakePage();
    AddThroughDialog({"/v/a", "/v/b", "/v/c", "/v/d"});
    page->resize(1000, 600);
    page->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));
    // Bottom row first, then the top one with Ctrl, then the second.
    auto click = [this](int row, Qt::KeyboardModifiers modifiers) {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, modifiers,
                          List()->visualRect(List()->model()->index(row, 0)).center());
    };
    click(3, {});
    click(0, Qt::ControlModifier);
    click(1, Qt::ControlModifier);
    EXPECT_EQ(page->SelectedRows(), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(page->FirstSelected(), 0);
    // A whole row is selected, not only the clicked cell.
    EXPECT_TRUE(List()->selectionModel()->isSelected(List()->model()->index(3, 2)));
    page->RemoveSelected();
    EXPECT_EQ(Paths(), (QStringList{"/v/c"}));
    EXPECT_EQ(page->FirstSelected(), -1);

    AddThroughDialog({"/v/e"});
    // One past the last row and below the first are skipped; the rest holds.
    page->SelectRows({-1, 1, 2});
    EXPECT_EQ(page->SelectedRows(), (std::vector<int>{1}));
    page->SelectRows({2});
    EXPECT_EQ(page->FirstSelected(), -1);
    EXPECT_FALSE(page->MenuAction(res::ID_FILES_REMOVE)->isEnabled());
}

TEST_F(PageTest, MoveUpAndDownKeepRowsWithTheirEntries) {
    MakePage();
    AddThroughDialog({"/v/1_10", "/v/2_20", "/v/3_30", "/v/4_40"});
    page->SelectRows({1, 2});
    page->MenuAction(res::ID_FILES_MOVE_DOWN)->trigger();
    EXPECT_EQ(Paths(), (QStringList{"/v/1_10", "/v/4_40", "/v/2_20", "/v/3_30"}));
    EXPECT_EQ(page->SelectedRows(), (std::vector<int>{2, 3}));
    EXPECT_EQ(Cell(1, 2), "00:40");  // the Length moved with its row
    ExpectRowsMatchEntries();

    // The bottom row is selected: nothing moves down.
    page->MoveDown();
    EXPECT_EQ(Paths(), (QStringList{"/v/1_10", "/v/4_40", "/v/2_20", "/v/3_30"}));
    page->MoveUp();
    EXPECT_EQ(Paths(), (QStringList{"/v/1_10", "/v/2_20", "/v/3_30", "/v/4_40"}));
    EXPECT_EQ(page->SelectedRows(), (std::vector<int>{1, 2}));
    page->MenuAction(res::ID_FILES_MOVE_UP)->trigger();
    EXPECT_EQ(Paths(), (QStringList{"/v/2_20", "/v/3_30", "/v/1_10", "/v/4_40"}));
    // The top row is selected: nothing moves up, though row 3 could.
    page->SelectRows({0, 2});
    page->MoveUp();
    EXPECT_EQ(Paths(), (QStringList{"/v/2_20", "/v/3_30", "/v/1_10", "/v/4_40"}));
    ExpectRowsMatchEntries();
}

TEST_F(PageTest, SelectionShowsInformationSubtitlesAndTheHint) {
    MakePage();
    page->SetSubtitleLinker([](VideoFileEntry& e) {
        if (std::string(e.fileName) != "subbed") return;
        e.subtitleCount = 2;
        std::strcpy(e.subtitlePaths[0], "/v/subbed.srt");
        std::strcpy(e.subtitlePaths[1], "/v/subbed.sub");
        e.streamCounts[0] = 1;
        std::strcpy(e.streamNames[0][0], "Default");
        e.streamCounts[1] = 3;
        std::strcpy(e.streamNames[1][0], "en");
        std::strcpy(e.streamNames[1][1], "fr");
        std::strcpy(e.streamNames[1][2], "de");
        e.useSubtitle = 1;
    });
    AddThroughDialog({"/v/plain", "/v/subbed"});
    QComboBox* files = Control<QComboBox>(res::IDC_SUBTITLE_FILES);
    QComboBox* streams = Control<QComboBox>(res::IDC_SUBTITLE_STREAMS);
    QCheckBox* use = Control<QCheckBox>(res::IDC_USE_SUBTITLE);
    hints.clear();
    page->resize(1000, 600);
    page->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));

    // A user's click on the first row.
    QTest::mouseClick(List()->viewport(), Qt::LeftButton, {},
                      List()->visualRect(List()->model()->index(0, 0)).center());
    ASSERT_EQ(page->FirstSelected(), 0);
    ASSERT_EQ(hints.size(), 1u);
    EXPECT_EQ(hints[0].first, "RightClickPopup");
    EXPECT_EQ(hints[0].second, "Hint : \n\nYou can right click on the file name to pop up a menu.\n"
                               "You can press Delete key to remove selected file from list.");
    EXPECT_EQ(page->InfoLabel()->text().toStdString(), page->Entry(0).infoText);
    EXPECT_EQ(files->count(), 0);
    EXPECT_FALSE(files->isEnabled());
    EXPECT_FALSE(use->isEnabled());
    EXPECT_TRUE(page->MenuAction(res::ID_FILES_MODIFY_TIME)->isEnabled());

    page->SelectRows({1});
    EXPECT_EQ(hints.size(), 2u);  // at every change until switched off
    EXPECT_TRUE(files->isEnabled() && streams->isEnabled() && use->isEnabled());
    ASSERT_EQ(files->count(), 2);
    EXPECT_EQ(files->currentText(), "/v/subbed.srt");
    ASSERT_EQ(streams->count(), 1);
    EXPECT_EQ(streams->currentText(), "Default");
    EXPECT_TRUE(use->isChecked());

    // Choices go straight into the entry.
    files->setCurrentIndex(1);
    emit files->activated(1);
    EXPECT_EQ(page->Entry(1).selectedSubtitle, 1);
    ASSERT_EQ(streams->count(), 3);
    streams->setCurrentIndex(2);
    emit streams->activated(2);
    EXPECT_EQ(page->Entry(1).selectedStream[1], 2);
    EXPECT_EQ(page->Entry(1).selectedStream[0], 0);
    QTest::mouseClick(use, Qt::LeftButton);
    EXPECT_EQ(page->Entry(1).useSubtitle, 0);
    QTest::mouseClick(use, Qt::LeftButton);
    EXPECT_EQ(page->Entry(1).useSubtitle, 1);

    // Back to the entry: its choices come back.
    page->SelectRows({0});
    page->SelectRows({1});
    EXPECT_EQ(files->currentIndex(), 1);
    EXPECT_EQ(streams->currentText(), "de");

    // No selection: everything emptied.
    page->SelectRows({});
    EXPECT_TRUE(page->InfoLabel()->text().isEmpty());
    EXPECT_EQ(files->count(), 0);
    EXPECT_EQ(streams->count(), 0);
    EXPECT_FALSE(use->isChecked());
    EXPECT_FALSE(page->MenuAction(res::ID_FILES_MODIFY_TIME)->isEnabled());

    // The user switches the hint off: it is not shown again.
    dontShowHint = true;
    page->SelectRows({0});
    const size_t shown = hints.size();
    page->SelectRows({1});
    EXPECT_EQ(hints.size(), shown);
    EXPECT_EQ(GetPrivateProfileInt("Hint", "RightClickPopup", 1, SettingsPath()), 0);
}

TEST_F(PageTest, DamagedSubtitleFieldsShowWithinTheirArrays) {
    MakePage();
    VideoFileEntry e = ZeroEntry();
    std::strcpy(e.fullPath, "/v/odd.avi");
    e.subtitleCount = 500;
    e.streamCounts[0] = -3;
    e.selectedSubtitle = 99;
    page->InsertEntry(0, e);
    page->SelectRows({0});
    EXPECT_EQ(Control<QComboBox>(res::IDC_SUBTITLE_FILES)->count(), 20);
    EXPECT_EQ(Control<QComboBox>(res::IDC_SUBTITLE_STREAMS)->count(), 0);
}

// Answers the modal "Modify Time" dialog once it is up.
void AnswerModifyTime(std::function<void(CModifyTimeDlg*)> edit, bool ok) {
    QTimer::singleShot(0, [edit, ok] {
        auto* dlg = qobject_cast<CModifyTimeDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dlg, nullptr);
        edit(dlg);
        ok ? dlg->accept() : dlg->reject();
    });
}

TEST_F(PageTest, ModifyTimeStoresWholeSecondsAndShowsTheRow) {
    MakePage();
    VideoFileEntry e = ZeroEntry();
    std::strcpy(e.fullPath, "/v/m.avi");
    e.mediaInfo.duration = 5025000000;  // 8 min 22.5 s
    e.endTime = 5025000000;
    page->InsertEntry(0, e);
    page->InsertEntry(1, e);
    EXPECT_EQ(Cell(0, 2), "08:22");

    // Nothing selected: no dialog.
    page->ModifyTime();
    EXPECT_EQ(page->Entry(0).endTime, 5025000000);

    // OK without edits: the half second is gone.
    page->SelectRows({0});
    AnswerModifyTime([](CModifyTimeDlg*) {}, true);
    page->MenuAction(res::ID_FILES_MODIFY_TIME)->trigger();
    EXPECT_EQ(page->Entry(0).startTime, 0);
    EXPECT_EQ(page->Entry(0).endTime, 5020000000);

    // Start 1:05, end 10:22: Begin 01:05, Length 09:17.
    AnswerModifyTime([](CModifyTimeDlg* d) {
        d->Box(res::IDC_START_MINUTES)->setText("1");
        d->Box(res::IDC_START_SECONDS)->setText("5");
        d->Box(res::IDC_END_MINUTES)->setText("10");
    }, true);
    QSignalSpy changed(page.get(), &CAddFilePage::listChanged);
    page->ModifyTime();
    EXPECT_EQ(page->Entry(0).startTime, 65 * kSecond);
    EXPECT_EQ(page->Entry(0).endTime, 622 * kSecond);
    EXPECT_EQ(Cell(0, 1), "01:05");
    EXPECT_EQ(Cell(0, 2), "09:17");
    EXPECT_GE(changed.count(), 1);

    // Cancel changes nothing.
    AnswerModifyTime([](CModifyTimeDlg* d) { d->Box(res::IDC_END_MINUTES)->setText("1"); }, false);
    page->ModifyTime();
    EXPECT_EQ(page->Entry(0).endTime, 622 * kSecond);
    EXPECT_EQ(Cell(0, 2), "09:17");
    EXPECT_EQ(page->Entry(1).endTime, 5025000000);  // the other entry untouched

    // An end before the start is stored as given; the Length shows negative.
    AnswerModifyTime([](CModifyTimeDlg* d) { d->Box(res::IDC_END_MINUTES)->setText("0"); }, true);
    page->ModifyTime();
    EXPECT_EQ(page->Entry(0).endTime, 22 * kSecond);
    EXPECT_EQ(Cell(0, 2), "-00:43");
}

TEST_F(PageTest, ListComesBackAfterARestart) {
    MakePage();
    AddThroughDialog({"/v/a_5", "/v/b_6", "/v/c_7"});
    page->SelectRows({2});
    page->MoveUp();
    page->Entry(0).startTime = 2 * kSecond;
    page->RefreshRow(0);
    const std::vector<VideoFileEntry> before = page->Entries();
    page.reset();  // the program ends: filesv2.dat written
    EXPECT_EQ(test::ReadFile(AppDataFolder() + "filesv2.dat").size(), 4 + 3 * sizeof(VideoFileEntry));

    MakePage();
    ASSERT_EQ(page->Count(), 3);
    EXPECT_TRUE(examined.size() == 3);  // loaded entries are not examined again
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(std::memcmp(&page->Entry(i), &before[size_t(i)], sizeof(VideoFileEntry)), 0) << i;
    EXPECT_EQ(Paths(), (QStringList{"/v/a_5", "/v/c_7", "/v/b_6"}));
    EXPECT_EQ(Cell(0, 1), "00:02");
    EXPECT_EQ(Cell(0, 2), "00:03");
    EXPECT_EQ(page->FirstSelected(), -1);
}

TEST_F(PageTest, EveryChangeIsOnDiskWithoutAnOrderlyExit) {
    const std::string path = AppDataFolder() + "filesv2.dat";
    auto recordsOnDisk = [&] { return (int64_t(test::ReadFile(path).size()) - 4) / int64_t(sizeof(VideoFileEntry)); };
    MakePage();
    AddThroughDialog({"/v/a_5", "/v/b_6", "/v/c_7"});
    // Saved once control is back in the event loop, while the page lives on
    // (a window killed now would find these edits at its next start).
    QTRY_COMPARE(recordsOnDisk(), int64_t(3));
    page->SelectRows({2});
    page->MoveUp();
    QTRY_VERIFY(FieldText(reinterpret_cast<const VideoFileEntry*>(test::ReadFile(path).data() + 4 +
                                                                   sizeof(VideoFileEntry))->fullPath) == "/v/c_7");
    // The list before the last save is the backup.
    VideoFileList backup;
    ASSERT_EQ(backup.Load(FileListBackupPath(path)), 3);
    EXPECT_EQ(FieldText(backup.At(1).fullPath), "/v/b_6");
    page->Entry(0).startTime = 2 * kSecond;
    page->RefreshRow(0);
    QTRY_VERIFY(reinterpret_cast<const VideoFileEntry*>(test::ReadFile(path).data() + 4)->startTime == 2 * kSecond);
    page->SelectRows({0});
    page->RemoveSelected();
    QTRY_COMPARE(recordsOnDisk(), int64_t(2));
    // A copy of the list as it is on disk now loads what the page shows.
    VideoFileList now;
    ASSERT_EQ(now.Load(path), 2);
    EXPECT_EQ(FieldText(now.At(0).fullPath), "/v/c_7");
    EXPECT_EQ(FieldText(now.At(1).fullPath), "/v/b_6");
}

TEST_F(PageTest, ClearAllInsertEntryAndAccess) {
    MakePage();
    AddThroughDialog({"/v/a", "/v/b"});
    QSignalSpy changed(page.get(), &CAddFilePage::listChanged);
    VideoFileEntry e = ZeroEntry();
    std::strcpy(e.fullPath, "/v/inserted");
    e.startTime = 3 * kSecond;
    e.endTime = 9 * kSecond;
    page->InsertEntry(1, e);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(Paths(), (QStringList{"/v/a", "/v/inserted", "/v/b"}));
    EXPECT_EQ(Cell(1, 1), "00:03");
    EXPECT_EQ(Cell(1, 2), "00:06");
    EXPECT_EQ(page->Entries().size(), 3u);
    EXPECT_EQ(page->FirstSelected(), -1);
    page->SelectRows({1, 2});
    EXPECT_EQ(page->FirstSelected(), 1);
    EXPECT_TRUE(page->MenuAction(res::ID_FILES_AUTO_LOAD_SUBTITLES)->isEnabled());

    page->ClearAll();
    EXPECT_EQ(page->Count(), 0);
    EXPECT_EQ(test::RowCount(List()), 0);
    EXPECT_EQ(page->FirstSelected(), -1);
    EXPECT_TRUE(page->InfoLabel()->text().isEmpty());
    EXPECT_FALSE(page->MenuAction(res::ID_FILES_AUTO_LOAD_SUBTITLES)->isEnabled());
    EXPECT_EQ(changed.count(), 2);
}

TEST_F(PageTest, SubtitleMenuCommandsReachTheirOwners) {
    MakePage();
    QSignalSpy load(page.get(), &CAddFilePage::loadSubtitleRequested);
    QSignalSpy autoLoad(page.get(), &CAddFilePage::autoLoadSubtitlesRequested);
    QSignalSpy search(page.get(), &CAddFilePage::searchSubtitlesRequested);
    AddThroughDialog({"/v/a"});
    page->SelectRows({0});
    page->MenuAction(res::ID_FILES_LOAD_SUBTITLE)->trigger();
    page->MenuAction(res::ID_FILES_AUTO_LOAD_SUBTITLES)->trigger();
    // The search dialog is modal: closed as soon as it shows.
    QTimer::singleShot(0, [] {
        if (auto* dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dlg->reject();
    });
    page->MenuAction(res::ID_FILES_SEARCH_SUBTITLES)->trigger();
    EXPECT_EQ(load.count(), 1);
    EXPECT_EQ(autoLoad.count(), 1);
    EXPECT_EQ(search.count(), 1);
    // The menu's "&Add Video Files" opens the file dialog.
    SetOpenFileDialogHook([this](const FileDialogRequest& r) {
        dialogs.push_back(r);
        return QStringList{"/v/b"};
    });
    page->MenuAction(res::ID_FILES_ADD)->trigger();
    EXPECT_EQ(page->Count(), 2);
}

}  // namespace
}  // namespace kalvex

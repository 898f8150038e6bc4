// Subtitle commands a user reaches: the search dialog (words, sites, the
// address opened), and the page's Load Subtitle, Auto Load Subtitles and
// Search Subtitles with their messages.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "media/SubtitleSearch.h"
#include "media/VideoFileList.h"
#include "media/page/CAddFilePage.h"
#include "media/page/CSearchSubtitleDlg.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/PageFakes.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using Strings = std::vector<std::string>;

TEST(SearchWords, ThePartsExampleAndUniqueness) {
    EXPECT_EQ(ExtractSearchWords({test::EntryFor("/video/Films/[Grp] The.Movie-2008.avi")}),
              (Strings{"Grp", " The", "Movie", "2008", "Films"}));
    // Words already seen (in any case) and "avi" in any case are left out;
    // the folder of every entry counts.
    const Strings words = ExtractSearchWords({test::EntryFor("/a/Films/movie.AVI"), test::EntryFor("/b/Other/MOVIE-films.x.Avi..mkv")});
    EXPECT_EQ(words, (Strings{"movie", "Films", "x", "mkv", "Other"}));
    EXPECT_EQ(SearchWordsText(words), "movie Films x mkv Other ");
    // A file in the root folder has no folder name to add.
    EXPECT_EQ(ExtractSearchWords({test::EntryFor("/top.avi")}), (Strings{"top"}));
    EXPECT_TRUE(ExtractSearchWords({}).empty());
}

TEST(SearchAddress, EncodingAndTemplates) {
    EXPECT_EQ(UrlEncode("Dr. No"), "Dr%2E+No");
    EXPECT_EQ(UrlEncode("a\tb\nc"), "a+b+c");
    EXPECT_EQ(UrlEncode("Amélie & 9½"), "Am%C3%A9lie+%26+9%C2%BD");
    EXPECT_EQ(UrlEncode(""), "");
    EXPECT_EQ(SearchAddress(0, "Dr. No"), std::string("http://") + kSubtitleSites[0].host + "/filmsearch.aspx?q=Dr%2E+No");
    EXPECT_EQ(SearchAddress(1, "Up"),
              std::string("http://") + kSubtitleSites[1].host + "/search-movies.php?search=Up&where_to_search=");
    EXPECT_EQ(SearchAddress(2, "Up"), std::string("http://") + kSubtitleSites[2].host + "/sub/?searchword=Up");
    EXPECT_EQ(SearchAddress(3, "Up"), "");
    EXPECT_EQ(SearchAddress(-1, "Up"), "");
}

class SubtitleCommands : public testing::Test {
protected:
    void SetUp() override {
        SetSettingsPath(AppDataFolder() + "set.ini");
        SetHintDialogHook([](const QString&, const QString&) { return true; });
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            return IDOK;
        });
        SetShellOpenHook([this](const QString& target) {
            opened.push_back(target.toStdString());
            return true;
        });
        SetOpenFileDialogHook([this](const FileDialogRequest& r) {
            dialogs.push_back(r);
            return chosen;
        });
        QDir().mkpath(QString::fromStdString(Folder()));
    }
    void TearDown() override {
        page.reset();
        SetHintDialogHook(nullptr);
        SetMessageBoxHook(nullptr);
        SetShellOpenHook(nullptr);
        SetOpenFileDialogHook(nullptr);
    }
    static std::string Folder() { return test::TestRoot() + "/v/"; }
    static void Put(const std::string& name, const std::string& bytes) { test::WriteFile(Folder() + name, bytes); }

    // A page whose examination accepts every file.
    CAddFilePage& MakePage() {
        page = std::make_unique<CAddFilePage>();
        page->SetExaminer(test::ExamineAsShortClip);
        return *page;
    }
    QComboBox* Combo(int id) { return page->findChild<QComboBox*>(res::ObjectName(id)); }

    std::vector<MessageBoxRequest> boxes;
    std::vector<std::string> opened;
    std::vector<FileDialogRequest> dialogs;
    QStringList chosen;
    std::unique_ptr<CAddFilePage> page;
};

const char* const kSrt = "1\r\n00:00:01,000 --> 00:00:02,000\r\nHello\r\n\r\n";

TEST_F(SubtitleCommands, SearchDialogShowsWordsAndOpensTheSite) {
    CSearchSubtitleDlg dlg({test::EntryFor("/video/Films/[Grp] The.Movie-2008.avi")});
    dlg.OnInitDialog();
    EXPECT_EQ(dlg.windowTitle(), "Search Subtitles");
    EXPECT_EQ(dlg.objectName(), res::ObjectName(144));
    EXPECT_EQ(dlg.WordsBox()->toPlainText(), "Grp  The Movie 2008 Films ");
    EXPECT_TRUE(dlg.WordsBox()->isReadOnly());
    ASSERT_EQ(dlg.SiteBox()->count(), 3);
    EXPECT_EQ(dlg.SiteBox()->currentIndex(), 0);
    EXPECT_EQ(dlg.SiteBox()->itemText(0).toStdString(), kSubtitleSites[0].name);

    dlg.MovieNameBox()->setText("Dr. No");
    dlg.SiteBox()->setCurrentIndex(2);
    dlg.findChild<QPushButton*>(res::ObjectName(res::IDC_SEARCH_NOW))->click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], std::string("http://") + kSubtitleSites[2].host + "/sub/?searchword=Dr%2E+No");
    // No site selected: nothing is opened.
    dlg.SiteBox()->setCurrentIndex(-1);
    EXPECT_FALSE(dlg.OnSearchNow());
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(SubtitleCommands, AddingLinksSubtitlesBesideTheFile) {
    Put("Movie.avi", "x");
    Put("Movie.srt", kSrt);
    Put("Movie.fr.srt", kSrt);
    MakePage();
    ASSERT_TRUE(page->AddFile(QString::fromStdString(Folder() + "Movie.avi")));
    const VideoFileEntry& e = page->Entry(0);
    ASSERT_EQ(e.subtitleCount, 2);
    EXPECT_EQ(FieldText(e.subtitlePaths[0]), Folder() + "Movie.fr.srt");
    EXPECT_EQ(e.useSubtitle, 1);
    page->SelectRows({0});
    EXPECT_EQ(Combo(res::IDC_SUBTITLE_FILES)->count(), 2);
    EXPECT_EQ(Combo(res::IDC_SUBTITLE_STREAMS)->itemText(0), "fr");
    EXPECT_TRUE(page->findChild<QCheckBox*>(res::ObjectName(res::IDC_USE_SUBTITLE))->isChecked());
    // Choosing the second file and its stream is stored in the entry.
    Combo(res::IDC_SUBTITLE_FILES)->activated(1);
    EXPECT_EQ(page->Entry(0).selectedSubtitle, 1);
    EXPECT_EQ(Combo(res::IDC_SUBTITLE_STREAMS)->itemText(0), "Movie");
}

TEST_F(SubtitleCommands, LoadSubtitleReplacesTheLinksOrSaysItFailed) {
    Put("Movie.avi", "x");
    Put("Movie.srt", kSrt);
    Put("other.ass", test::ReadFile(KALVEX_SOURCE_DIR "/tests/data/subtitles/sample.ass"));
    Put("junk.srt", "junk");
    MakePage();
    page->AddFile(QString::fromStdString(Folder() + "Movie.avi"));
    int stops = 0;
    page->SetPreviewStopper([&stops] { ++stops; });

    // Without a selection nothing happens.
    page->MenuAction(res::ID_FILES_LOAD_SUBTITLE)->trigger();
    EXPECT_TRUE(dialogs.empty());

    page->SelectRows({0});
    chosen = {QString::fromStdString(Folder() + "other.ass")};
    page->MenuAction(res::ID_FILES_LOAD_SUBTITLE)->trigger();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_FALSE(dialogs[0].multiple);
    EXPECT_EQ(dialogs[0].filter, "Subtitle Files (*.srt *.sub *.smi *.psb *.ssa *.ass *.idx *.usf *.xss *.txt *.ssf)");
    EXPECT_EQ(page->Entry(0).subtitleCount, 1);
    EXPECT_EQ(FieldText(page->Entry(0).subtitlePaths[0]), Folder() + "other.ass");
    EXPECT_EQ(Combo(res::IDC_SUBTITLE_FILES)->itemText(0).toStdString(), Folder() + "other.ass");
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(boxes.empty());

    // Cancel: the links stay.
    chosen.clear();
    page->LoadSubtitle();
    EXPECT_EQ(page->Entry(0).subtitleCount, 1);

    // A file no reader accepts: no subtitle left, and the message.
    chosen = {QString::fromStdString(Folder() + "junk.srt")};
    page->LoadSubtitle();
    EXPECT_EQ(page->Entry(0).subtitleCount, 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Load subtitle failed.");
    EXPECT_EQ(boxes[0].caption, "Tesmora.NET Video Converter For PSP");
    EXPECT_EQ(boxes[0].flags, unsigned(MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(Combo(res::IDC_SUBTITLE_FILES)->count(), 0);
    EXPECT_FALSE(Combo(res::IDC_SUBTITLE_FILES)->isEnabled());
}

TEST_F(SubtitleCommands, AutoLoadNamesEveryMovieWithoutSubtitles) {
    Put("A.avi", "x");
    Put("B.avi", "x");
    Put("C.avi", "x");
    MakePage();
    for (const char* n : {"A.avi", "B.avi", "C.avi"}) page->AddFile(QString::fromStdString(Folder() + n));
    EXPECT_EQ(page->Entry(1).subtitleCount, 0);
    // Subtitles that appear later are found by Auto Load.
    Put("B.srt", kSrt);
    page->MenuAction(res::ID_FILES_AUTO_LOAD_SUBTITLES)->trigger();
    EXPECT_EQ(page->Entry(1).subtitleCount, 1);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Can't auto load subtitle for movie A.avi");
    EXPECT_EQ(boxes[1].text, "Can't auto load subtitle for movie C.avi");
    EXPECT_EQ(boxes[1].caption, "Tesmora.NET Video Converter For PSP");
}

// What a kill right now would leave: the list as it is on disk.
VideoFileList OnDisk() {
    VideoFileList list;
    list.Load(FileListPath());
    return list;
}

TEST_F(SubtitleCommands, LinksMadeByLoadAndAutoLoadReachTheDiskAtOnce) {
    Put("Movie.avi", "x");
    Put("Movie.srt", kSrt);
    Put("Other.avi", "x");
    Put("manual.ass", test::ReadFile(KALVEX_SOURCE_DIR "/tests/data/subtitles/sample.ass"));
    Put("junk.srt", "junk");
    MakePage();
    page->AddFile(QString::fromStdString(Folder() + "Movie.avi"));
    page->AddFile(QString::fromStdString(Folder() + "Other.avi"));
    QCoreApplication::processEvents();
    ASSERT_EQ(OnDisk().Count(), 2);
    EXPECT_EQ(FieldText(OnDisk().At(0).subtitlePaths[0]), Folder() + "Movie.srt");

    // Load Subtitle: the new link is on disk once the page is idle again,
    // with the page still open (no exit save to rely on).
    page->SelectRows({0});
    chosen = {QString::fromStdString(Folder() + "manual.ass")};
    page->LoadSubtitle();
    QCoreApplication::processEvents();
    ASSERT_EQ(OnDisk().Count(), 2);
    EXPECT_EQ(OnDisk().At(0).subtitleCount, 1);
    EXPECT_EQ(FieldText(OnDisk().At(0).subtitlePaths[0]), Folder() + "manual.ass");

    // A refused file leaves no link, and that is saved too.
    chosen = {QString::fromStdString(Folder() + "junk.srt")};
    page->LoadSubtitle();
    QCoreApplication::processEvents();
    EXPECT_EQ(OnDisk().At(0).subtitleCount, 0);

    // Auto Load finds subtitles that appeared later, also for an entry after
    // one whose message box ran the event loop (as a real box does).
    std::remove((Folder() + "Movie.srt").c_str());
    Put("Other.srt", kSrt);
    SetMessageBoxHook([this](const MessageBoxRequest& r) {
        boxes.push_back(r);
        QCoreApplication::processEvents();
        return IDOK;
    });
    page->AutoLoadSubtitles();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Can't auto load subtitle for movie Movie.avi");
    QCoreApplication::processEvents();
    EXPECT_EQ(OnDisk().At(0).subtitleCount, 0);
    EXPECT_EQ(OnDisk().At(1).subtitleCount, 1);
    EXPECT_EQ(FieldText(OnDisk().At(1).subtitlePaths[0]), Folder() + "Other.srt");
}

TEST_F(SubtitleCommands, SearchFromThePageMenu) {
    MakePage();
    page->MenuAction(res::ID_FILES_SEARCH_SUBTITLES)->trigger();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Please add Video Files first.");

    Put("Some.Film-1999.avi", "x");
    page->AddFile(QString::fromStdString(Folder() + "Some.Film-1999.avi"));
    QString words;
    QTimer::singleShot(0, [&] {
        auto* dlg = qobject_cast<CSearchSubtitleDlg*>(QApplication::activeModalWidget());
        if (!dlg) return;
        words = dlg->WordsBox()->toPlainText();
        dlg->MovieNameBox()->setText("Some Film");
        dlg->OnSearchNow();
        dlg->reject();
    });
    page->MenuAction(res::ID_FILES_SEARCH_SUBTITLES)->trigger();
    EXPECT_EQ(words, "Some Film 1999 v ");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], std::string("http://") + kSubtitleSites[0].host + "/filmsearch.aspx?q=Some+Film");
}

}  // namespace
}  // namespace kalvex

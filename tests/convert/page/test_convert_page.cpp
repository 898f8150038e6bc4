#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <algorithm>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "common/AppSettings.h"
#include "convert/PspOutputList.h"
#include "convert/page/CConvertPage.h"
#include "media/EntryFromPath.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using kalvex::test::ReadFile;
using kalvex::test::TestPath;

namespace {

struct Boxes {
    std::vector<MessageBoxRequest> shown;
    int answer = IDOK;
    Boxes() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            shown.push_back(r);
            return answer;
        });
    }
    std::vector<QString> Texts() const {
        std::vector<QString> t;
        for (const auto& r : shown) t.push_back(r.text);
        return t;
    }
};

void FreshSettings() {
    SetSettingsPath(AppDataFolder() + "set.ini");
    AppSettings = AppSettingsRecord{};
}

VideoFileEntry Segment(const char* name, int64_t start, int64_t end) {
    VideoFileEntry e = ZeroEntry();
    SetFieldText(e.fileName, name);
    SetFieldText(e.fullPath, std::string("/nowhere/") + name);
    e.startTime = start;
    e.endTime = end;
    return e;
}

VideoFileEntry RealSegment(const QString& clip) {
    VideoFileEntry e;
    SourceRefusal why;
    EXPECT_TRUE(MakeEntryFromPath(clip.toStdString(), e, why)) << RefusalText(why);
    return e;
}

}  // namespace

TEST(ConvertPage, CreationLoadsTheKeysChecksTheCopyBoxAndSavesAllFour) {
    FreshSettings();
    WritePrivateProfileString("Convert", "CopyToPsp", "0", SettingsPath());
    WritePrivateProfileString("Convert", "DeleteAfterCopied", "1", SettingsPath());
    CConvertPage page;
    EXPECT_EQ(page.destEdit()->text().toStdString(), HomeFolder() + "dvd-vob/");
    EXPECT_TRUE(page.copyBox()->isChecked());
    EXPECT_TRUE(page.deleteBox()->isChecked());
    EXPECT_EQ(page.copyBox()->text(), "After completed, Copy to PSP.");
    EXPECT_EQ(page.deleteBox()->text(), "After copied, delete converted file.");
    EXPECT_EQ(GetPrivateProfileInt("Convert", "CopyToPsp", 0, SettingsPath()), 1);
    EXPECT_FALSE(page.stopButton()->isEnabled());
    EXPECT_FALSE(page.pauseButton()->isEnabled());
    EXPECT_TRUE(page.freeSpaceText()->text().startsWith("Disk Free Space = "));

    page.copyBox()->setChecked(false);
    QTest::keyClicks(page.destEdit(), "x");
    EXPECT_EQ(GetPrivateProfileString("Convert", "DestPath", "", 260, SettingsPath()), HomeFolder() + "dvd-vob/x");
    EXPECT_EQ(GetPrivateProfileInt("Convert", "CopyToPsp", 1, SettingsPath()), 0);
    EXPECT_EQ(GetPrivateProfileInt("Convert", "LowCpu", 1, SettingsPath()), 0);
    EXPECT_EQ(GetPrivateProfileInt("Convert", "DeleteAfterCopied", 0, SettingsPath()), 1);
    // The next start shows the copy box checked again.
    CConvertPage next;
    EXPECT_TRUE(next.copyBox()->isChecked());
}

TEST(ConvertPage, ZeroLengthSegmentsAreRefusedOneByOne) {
    FreshSettings();
    Boxes boxes;
    CConvertPage page;
    page.SetFileList({Segment("a.avi", 0, 0), Segment("b.avi", 50, 10), Segment("c.avi", 10000000, 80000000)});
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "Can't convert movie segment with length equal 0");
    EXPECT_EQ(boxes.shown[0].caption, kAppCaption);
    ASSERT_EQ(page.segmentList()->count(), 1);
    EXPECT_EQ(page.segmentList()->item(0)->text().toStdString(), "[00:01 - 00:07] c.avi");
    EXPECT_TRUE(page.startButton()->isEnabled());

    page.SetFileList({Segment("a.avi", 0, 0)});
    EXPECT_EQ(page.segmentList()->count(), 0);
    EXPECT_FALSE(page.startButton()->isEnabled());
}

TEST(ConvertPage, TooLongForADvdRefusesTheStart) {
    FreshSettings();
    Boxes boxes;
    CConvertPage page;
    // 15,981 s in all: 4.7e6 / 15981 * 8 * 0.85 = 1999.87 → 1999.
    page.SetFileList({Segment("a.avi", 0, 10000LL * 10000000), Segment("b.avi", 0, 5981LL * 10000000)});
    page.StartConvert();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "You have selected too long movie, it can't be saved in one DVD disc");
    EXPECT_FALSE(page.IsConverting());

    LengthCheck ok = CheckTotalLength({Segment("a.avi", 0, 15980LL * 10000000)}, 9000);
    EXPECT_FALSE(ok.refused);
    EXPECT_EQ(ok.rate, 2000);
    EXPECT_EQ(CheckTotalLength({Segment("a.avi", 0, 60LL * 10000000)}, 9000).rate, 9000);
    // Just over the maximum (9,500) is held to it too; just under stays.
    EXPECT_EQ(CheckTotalLength({Segment("a.avi", 0, 3364LL * 10000000)}, 9000).rate, 9000);
    EXPECT_EQ(CheckTotalLength({Segment("a.avi", 0, 3364LL * 10000000)}, 9600).rate, 9500);
    EXPECT_EQ(CheckTotalLength({}, 9000).rate, 9000);
}

TEST(ConvertPage, ARunConvertsIntoTheTypedFolderAndCopiesOnSuccess) {
    FreshSettings();
    Boxes boxes;
    QString clip = kalvex::test::MakeClip("clip.part1.avi", 1.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    CConvertPage page;
    int copies = 0, refreshes = 0;
    page.copyOutputsToPsp = [&](const std::vector<std::string>&) {
        ++copies;
        return true;
    };
    page.refreshTitle = [&] { ++refreshes; };
    page.deleteBox()->setChecked(true);
    QString dest = TestPath("out/psp");  // no trailing slash, not made yet
    page.destEdit()->setText(dest);
    page.SetFileList({RealSegment(clip)});
    page.StartConvert();
    EXPECT_EQ(page.destEdit()->text(), dest + "/");
    EXPECT_TRUE(page.IsConverting());
    EXPECT_FALSE(page.startButton()->isEnabled());
    EXPECT_TRUE(page.stopButton()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.shown[0].text.toStdString();
    EXPECT_EQ(copies, 1);
    // Copied and the delete box checked: the outputs are gone.
    EXPECT_FALSE(QFile::exists(dest + "/clip.part1.mp4"));
    EXPECT_TRUE(PspOutputList().empty());
    EXPECT_GE(refreshes, 1);
    EXPECT_TRUE(page.statusText()->text().isEmpty());
    EXPECT_EQ(page.frameBar()->value(), 0);
}

TEST(ConvertPage, CopyBoxUncheckedKeepsTheOutputs) {
    FreshSettings();
    Boxes boxes;
    QString clip = kalvex::test::MakeClip("a.avi", 1.0, 160, 120);
    CConvertPage page;
    int copies = 0;
    page.copyOutputsToPsp = [&](const std::vector<std::string>&) {
        ++copies;
        return true;
    };
    page.copyBox()->setChecked(false);
    page.deleteBox()->setChecked(true);
    page.destEdit()->setText(TestPath("out/"));
    page.SetFileList({RealSegment(clip)});
    page.StartConvert();
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    EXPECT_EQ(copies, 0);
    EXPECT_TRUE(QFile::exists(TestPath("out/a.mp4")));
}

TEST(ConvertPage, StopWhilePausedCancelsAndRemovesTheOutputs) {
    FreshSettings();
    Boxes boxes;
    QString clip = kalvex::test::MakeClip("a.avi", 2.0, 160, 120);
    CConvertPage page;
    int shownFiles = 0;
    page.showVideoFilesPage = [&] { ++shownFiles; };
    page.destEdit()->setText(TestPath("out/"));
    page.SetFileList({RealSegment(clip)});
    page.StartConvert();
    page.pauseButton()->click();
    EXPECT_TRUE(page.IsPaused());
    EXPECT_EQ(page.pauseButton()->text(), "Resume");

    // Cancelling the question leaves the run paused.
    boxes.answer = IDCANCEL;
    page.stopButton()->click();
    EXPECT_TRUE(page.IsPaused());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Stop converting now?\nAfter stopped, the converting can't be resumed.");
    EXPECT_EQ(boxes.shown[0].caption, "Stop");

    boxes.answer = IDOK;
    page.stopButton()->click();
    EXPECT_FALSE(page.IsPaused());
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    EXPECT_EQ(boxes.Texts().back(), "Converting canceled.");
    EXPECT_EQ(shownFiles, 1);
    EXPECT_FALSE(QFile::exists(TestPath("out/a.mp4")));  // RemoveMethod 1 deletes
}

TEST(ConvertPage, FailedLastFileReportsFailureWithoutCopy) {
    FreshSettings();
    Boxes boxes;
    CConvertPage page;
    int copies = 0;
    page.copyOutputsToPsp = [&](const std::vector<std::string>&) {
        ++copies;
        return true;
    };
    page.destEdit()->setText(TestPath("out/"));
    // The source vanished after it was added: the file fails.
    page.SetFileList({Segment("gone.avi", 0, 10000000)});
    page.StartConvert();
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    ASSERT_FALSE(boxes.shown.empty());
    EXPECT_EQ(boxes.Texts().back(), "Convert failed.");
    EXPECT_EQ(copies, 0);
}

TEST(ConvertPage, LowSpaceAtTheFirstTickPausesAndChecksAgainAfterResume) {
    FreshSettings();
    Boxes boxes;
    int64_t free = 5 * 1024 * 1024;
    storage::SetDiskFreeSpaceHook([&](const std::string&, int64_t& bytes) {
        bytes = free;
        return true;
    });
    CConvertPage page;
    page.Tick();
    ASSERT_EQ(boxes.shown.size(), size_t(1));
    EXPECT_EQ(boxes.shown[0].text,
              "Your disk has no enough space for converting, converting paused, free more space and resume.\n"
              "Free space = 5.00M\n");
    EXPECT_EQ(boxes.shown[0].caption, "No space");
    EXPECT_TRUE(page.IsPaused());
    EXPECT_EQ(page.pauseButton()->text(), "Resume");
    EXPECT_EQ(page.freeSpaceText()->text(), "Disk Free Space = 5.00M");

    page.pauseButton()->setEnabled(true);  // as during a run
    page.pauseButton()->click();            // resume
    free = 20 * 1024 * 1024;
    page.Tick();
    free = 1;  // enough space was found once: no further check this run
    page.Tick();
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_FALSE(page.IsPaused());

    // A failing query skips the check and keeps the text.
    storage::SetDiskFreeSpaceHook([](const std::string&, int64_t&) { return false; });
    page.Tick();
    EXPECT_EQ(page.freeSpaceText()->text(), "Disk Free Space = 1B");
    storage::SetDiskFreeSpaceHook(nullptr);
}

namespace kalvex {
namespace {

TEST(ConvertPage, ProgressShowsAsTheTextsBarsAndTitle) {
    FreshSettings();
    Boxes boxes;
    QString clip = kalvex::test::MakeClip("shown.avi", 2.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    CConvertPage page;
    page.copyBox()->setChecked(false);
    std::vector<QString> titles;
    page.setTitle = [&](const QString& t) { titles.push_back(t); };
    page.destEdit()->setText(TestPath("shown/"));
    page.SetFileList({RealSegment(clip)});
    page.StartConvert();
    QTRY_VERIFY_WITH_TIMEOUT(!page.statusText()->text().isEmpty() || !page.IsConverting(), 60000);
    if (page.IsConverting()) {
        EXPECT_TRUE(page.statusText()->text().startsWith("Converting shown.avi, ")) << page.statusText()->text().toStdString();
        EXPECT_EQ(page.filesBar()->maximum(), 1);
        EXPECT_EQ(page.filesBar()->value(), 1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    ASSERT_FALSE(titles.empty());
    EXPECT_TRUE(titles.front().endsWith("% - Converting")) << titles.front().toStdString();
    EXPECT_TRUE(boxes.shown.empty());
}

TEST(ConvertPage, AFailedMiddleFileIsNamedAndOnlyConvertedFilesAreCopied) {
    FreshSettings();
    Boxes boxes;
    QString a = kalvex::test::MakeClip("a.avi", 1.0, 160, 120);
    QString c = kalvex::test::MakeClip("c.avi", 1.0, 160, 120);
    ASSERT_FALSE(a.isEmpty() || c.isEmpty());
    CConvertPage page;
    std::vector<std::string> copied;
    page.copyOutputsToPsp = [&](const std::vector<std::string>& files) {
        copied = files;
        return false;  // not copied: nothing may be deleted
    };
    page.deleteBox()->setChecked(true);
    const std::string dest = TestPath("mid/").toStdString();
    page.destEdit()->setText(QString::fromStdString(dest));
    page.SetFileList({RealSegment(a), Segment("gone.avi", 0, 10000000), RealSegment(c)});
    page.StartConvert();
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    EXPECT_EQ(copied, (std::vector<std::string>{dest + "a.mp4", dest + "c.mp4"}));
    const auto texts = boxes.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_NE(std::find_if(texts.begin(), texts.end(),
                           [](const QString& t) { return t.startsWith("These files could not be converted:\ngone.avi: "); }),
              texts.end());
    // The copy failed: the computer's files stay.
    EXPECT_TRUE(QFile::exists(QString::fromStdString(dest + "a.mp4")));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(dest + "c.mp4")));
}

TEST(ConvertPage, StopLeavesWhatTheCommandLeaves) {
    FreshSettings();
    Boxes boxes;
    QString a = kalvex::test::MakeClip("one.avi", 1.0, 160, 120);
    QString b = kalvex::test::MakeClip("two.mkv", 20.0, 640, 480);
    QString c = kalvex::test::MakeClip("three.avi", 1.0, 160, 120);
    ASSERT_FALSE(a.isEmpty() || b.isEmpty() || c.isEmpty());
    CConvertPage page;
    const QString dest = TestPath("stop/");
    QDir().mkpath(dest);
    kalvex::test::WriteFile((dest + "keep.mp4").toStdString(), "not of this run");
    page.destEdit()->setText(dest);
    page.SetFileList({RealSegment(a), RealSegment(b), RealSegment(c)});
    page.StartConvert();
    QTRY_VERIFY_WITH_TIMEOUT(page.statusText()->text().startsWith("Converting two.mkv"), 60000);
    page.StopConvert();
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    EXPECT_EQ(boxes.Texts().back(), "Converting canceled.");
    EXPECT_EQ(QDir(dest).entryList(QDir::Files | QDir::Hidden), QStringList{"keep.mp4"});
}

}  // namespace
}  // namespace kalvex

TEST(ConvertPage, OldPspFoldersBoxIsSavedAndThumbnailsGoWithTheirVideos) {
    FreshSettings();
    Boxes boxes;
    {
        CConvertPage page;
        EXPECT_EQ(page.oldPspFoldersBox()->text(), "Copy for older PSP system software");
        EXPECT_FALSE(page.oldPspFoldersBox()->isChecked());  // default 0
        EXPECT_EQ(GetPrivateProfileInt("Convert", "OldPspFolders", 7, SettingsPath()), 0);
        page.oldPspFoldersBox()->setChecked(true);
        EXPECT_EQ(GetPrivateProfileInt("Convert", "OldPspFolders", 0, SettingsPath()), 1);
    }
    QString clip = kalvex::test::MakeClip("thumbed.avi", 1.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    CConvertPage page;
    EXPECT_TRUE(page.oldPspFoldersBox()->isChecked());  // as saved
    std::vector<std::string> copied;
    page.copyOutputsToPsp = [&](const std::vector<std::string>& files) {
        copied = files;
        return true;
    };
    page.deleteBox()->setChecked(true);
    page.destEdit()->setText(TestPath("thumbs/"));
    page.SetFileList({RealSegment(clip)});
    page.StartConvert();
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    ASSERT_EQ(copied.size(), 1u);
    EXPECT_EQ(page.RunCodec(), PspCodec::Mpeg4);
    // Copied, then deleted with the delete box: the thumbnail too.
    EXPECT_FALSE(QFile::exists(TestPath("thumbs/thumbed.mp4")));
    EXPECT_FALSE(QFile::exists(TestPath("thumbs/thumbed.THM")));
}

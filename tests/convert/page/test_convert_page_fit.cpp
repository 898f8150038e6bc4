// The Convert page's "Fit the batch to the PSP's free space": the box and
// its key, the run that gets the chosen rate (and only that run), the
// refusal with the missing amount, and a PSP that is missing or not mounted.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <sys/stat.h>

#include "common/AppSettings.h"
#include "common/ui/Dialogs.h"
#include "convert/RunPolicy.h"
#include "convert/page/CConvertPage.h"
#include "convert/psp/PspDialogs.h"
#include "convert/psp/PspFit.h"
#include "media/EntryFromPath.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/Media.h"
#include "tests/support/QtTry.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::TestPath;

namespace {

// Boxes recorded and answered with OK; PSP dialogs answered with Cancel.
struct Answers {
    std::vector<QString> boxes;
    int pspDialogs = 0;
    Answers() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r.text);
            return IDOK;
        });
        SetPspDialogHook([this](QDialog&) {
            ++pspDialogs;
            return IDCANCEL;
        });
    }
    ~Answers() {
        SetMessageBoxHook(nullptr);
        SetPspDialogHook(nullptr);
    }
};

// The PSP's free space as the test says; everything else has plenty.
struct PspFreeSpace {
    PspFreeSpace(std::string root, int64_t bytes) {
        storage::SetDiskFreeSpaceHook([root, bytes](const std::string& path, int64_t& freeBytes) {
            freeBytes = path.compare(0, root.size(), root) == 0 ? bytes : int64_t(1) << 40;
            return true;
        });
    }
    ~PspFreeSpace() { storage::SetDiskFreeSpaceHook(nullptr); }
};

void FreshSettings() {
    SetSettingsPath(AppDataFolder() + "set.ini");
    AppSettings = AppSettingsRecord{};
}

VideoFileEntry RealSegment(const QString& clip) {
    VideoFileEntry e;
    SourceRefusal why;
    EXPECT_TRUE(MakeEntryFromPath(clip.toStdString(), e, why)) << RefusalText(why);
    return e;
}

int64_t SizeOf(const QString& path) {
    struct stat st {};
    return ::stat(path.toLocal8Bit().constData(), &st) == 0 ? int64_t(st.st_blocks) * 512 : -1;
}

TEST(ConvertPageFit, TheBoxIsOffByDefaultAndSaved) {
    FreshSettings();
    Answers answers;
    {
        CConvertPage page;
        EXPECT_EQ(page.fitToPspBox()->text(), "Fit the batch to the PSP's free space");
        EXPECT_FALSE(page.fitToPspBox()->isChecked());
        EXPECT_EQ(GetPrivateProfileInt("Convert", "FitToPsp", 7, SettingsPath()), 0);
        page.fitToPspBox()->setChecked(true);
        EXPECT_EQ(GetPrivateProfileInt("Convert", "FitToPsp", 0, SettingsPath()), 1);
    }
    CConvertPage page;
    EXPECT_TRUE(page.fitToPspBox()->isChecked());
}

// Room on the PSP for exactly 300 kbit/s: the run is made at 300 kbit/s,
// the setting stays 400, and what it writes fits the room it was given.
TEST(ConvertPageFit, TheRunGetsTheRateThatFitsAndTheSettingStays) {
    FreshSettings();
    Answers answers;
    test::FakeDisks disks;
    const std::string root = disks.AddPsp();
    QString clip = test::MakeClip("fitted.avi", 3.0, 320, 240);
    ASSERT_FALSE(clip.isEmpty());
    CConvertPage page;
    std::vector<std::string> copied;
    page.copyOutputsToPsp = [&](const std::vector<std::string>& files) {
        copied = files;
        return true;
    };
    page.fitToPspBox()->setChecked(true);
    page.destEdit()->setText(TestPath("fit-out/"));
    page.SetFileList({RealSegment(clip)});

    PspSpace space;
    ASSERT_TRUE(MeasurePspSpace(root, space));
    const std::vector<PspFitFile> files = FitFilesFor(page.Segments(), AppSettings.convert);
    const int64_t at300 = PspFit::Estimate(files, 300, AppSettings.convert.audioBitrate, space.clusterBytes);
    int64_t free = at300;
    while (PspFit::Allowed(free) < at300) ++free;
    PspFreeSpace psp(root, free);

    // Whole clusters: a few rates above 300 may take the same room.
    const int chosen = PspFit::Choose(files, AppSettings.convert.audioBitrate, PspSpace{free, space.clusterBytes}).videoBitrate;
    EXPECT_GE(chosen, 300);
    EXPECT_LT(chosen, 310);

    page.StartConvert();
    ASSERT_TRUE(page.IsConverting()) << (answers.boxes.empty() ? "" : answers.boxes[0].toStdString());
    EXPECT_EQ(page.RunVideoBitrate(), chosen);
    EXPECT_EQ(page.extraText()->text(),
              QString("Video bit rate fitted to the PSP's free space: %1 kbit/s").arg(chosen));
    EXPECT_EQ(AppSettings.convert.videoBitrate, 400);
    EXPECT_EQ(GetPrivateProfileInt("PspVideo", "VideoBitrate", 400, SettingsPath()), 400);
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    EXPECT_TRUE(answers.boxes.empty()) << answers.boxes[0].toStdString();
    ASSERT_EQ(copied.size(), 1u);
    // The file and its thumbnail, in whole blocks of this disk, within the
    // estimate the rate was chosen by.
    const int64_t written = SizeOf(TestPath("fit-out/fitted.mp4")) + SizeOf(TestPath("fit-out/fitted.THM"));
    EXPECT_GT(written, 0);
    EXPECT_LE(written, at300);

    // Without the box the next run has the setting's rate again.
    page.fitToPspBox()->setChecked(false);
    page.StartConvert();
    EXPECT_EQ(page.RunVideoBitrate(), 400);
    QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
}

TEST(ConvertPageFit, TooLittleRoomRefusesTheStartAndSaysWhatIsMissing) {
    FreshSettings();
    Answers answers;
    test::FakeDisks disks;
    const std::string root = disks.AddPsp();
    QString clip = test::MakeClip("toolong.avi", 2.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    CConvertPage page;
    int copies = 0;
    page.copyOutputsToPsp = [&](const std::vector<std::string>&) { return ++copies, true; };
    page.fitToPspBox()->setChecked(true);
    page.destEdit()->setText(TestPath("refused/"));
    page.SetFileList({RealSegment(clip)});

    PspSpace space;
    ASSERT_TRUE(MeasurePspSpace(root, space));
    const int64_t at200 = PspFit::Estimate(FitFilesFor(page.Segments(), AppSettings.convert), 200,
                                           AppSettings.convert.audioBitrate, space.clusterBytes);
    int64_t enough = at200;
    while (PspFit::Allowed(enough) < at200) ++enough;
    {
        // 2 MiB short of 200 kbit/s.
        PspFreeSpace psp(root, enough - 2 * 1048576);
        page.StartConvert();
        EXPECT_FALSE(page.IsConverting());
        ASSERT_EQ(answers.boxes.size(), 1u);
        EXPECT_EQ(answers.boxes[0],
                  "The videos do not fit on the PSP even at 200 kbit/s.\nNeed 2.00MB more free space.");
        EXPECT_TRUE(page.startButton()->isEnabled());
        EXPECT_FALSE(QFile::exists(TestPath("refused/toolong.mp4")));
    }
    {
        // Exactly enough for 200 kbit/s: the run starts at 200 (or the
        // few rates above it that take the same whole clusters).
        PspFreeSpace psp(root, enough);
        page.StartConvert();
        EXPECT_TRUE(page.IsConverting());
        EXPECT_GE(page.RunVideoBitrate(), 200);
        EXPECT_LT(page.RunVideoBitrate(), 210);
        QTRY_VERIFY_WITH_TIMEOUT(!page.IsConverting(), 60000);
    }
    EXPECT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(copies, 1);
}

TEST(ConvertPageFit, NoPspAsksAndAPspNotMountedIsSaid) {
    FreshSettings();
    Answers answers;
    test::FakeDisks disks;  // no PSP at all
    QString clip = test::MakeClip("nopsp.avi", 1.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    CConvertPage page;
    page.fitToPspBox()->setChecked(true);
    page.destEdit()->setText(TestPath("nopsp/"));
    page.SetFileList({RealSegment(clip)});
    page.StartConvert();
    // "No PSP detected" was asked and cancelled: nothing starts, nothing more is said.
    EXPECT_EQ(answers.pspDialogs, 1);
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_FALSE(page.IsConverting());

    // A PSP whose disk is there but not mounted.
    disks.AddDisk("sdc", 8, 32, "Sony", "PSP");
    page.StartConvert();
    EXPECT_FALSE(page.IsConverting());
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0], kFitNotMountedText);
    EXPECT_FALSE(QFile::exists(TestPath("nopsp/nopsp.mp4")));
}

}  // namespace

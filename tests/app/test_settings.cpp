#include <gtest/gtest.h>

#include <QCheckBox>
#include <cstring>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using kalvex::test::ReadFile;
using kalvex::test::WriteFile;

namespace {
void UseFreshSettings() {
    SetSettingsPath(AppDataFolder() + "set.ini");
    AppSettings = AppSettingsRecord{};
    // Spoil the record so the load must set every field.
    std::memset(&AppSettings, 0x7f, sizeof AppSettings);
    SelectedDvdDrive = -1;
}
}  // namespace

TEST(Settings, FirstStartGivesDefaultsAndClearsTheFirstRunFlag) {
    UseFreshSettings();
    EXPECT_TRUE(LoadSettings());
    const auto& s = AppSettings;
    EXPECT_EQ(s.tvSystem, 0);
    EXPECT_EQ(s.timeFormat, 0);
    EXPECT_EQ(s.removeMethod, 1);
    EXPECT_EQ(s.remindNoSpace, 1);
    EXPECT_EQ(s.videoAutoDetect, 1);
    EXPECT_EQ(s.videoBitrateConstant, 4000);
    EXPECT_EQ(s.videoBitrateMaximal, 9000);
    EXPECT_EQ(s.compressAudioBitrate, 192);
    EXPECT_EQ(s.autoUpdate, 1);
    EXPECT_EQ(s.tvSystemNotified, 0);
    EXPECT_EQ(s.chapterInterval, 5);
    EXPECT_EQ(s.chapterEnable, 1);
    EXPECT_EQ(SelectedDvdDrive, 0);
    EXPECT_EQ(s.convert.width, 368);
    EXPECT_EQ(s.convert.height, 208);
    EXPECT_EQ(s.convert.fps, 0.0);
    EXPECT_EQ(s.convert.videoBitrate, 400);
    EXPECT_EQ(s.convert.audioBitrate, 96);
    EXPECT_STREQ(s.convert.format, "mp4");
    EXPECT_EQ(s.convert.audioResample, 24000);
    EXPECT_EQ(ReadFile(SettingsPath()), "[FirstTimeRun]\nFirstTimeRun=0\n");
    EXPECT_FALSE(LoadSettings());  // the next start is no first run
}

TEST(Settings, GarbageValuesAndLongFormat) {
    UseFreshSettings();
    WriteFile(SettingsPath(),
              "\x01\x02 binary junk\n[General]\nTimeFormat=abc\nRemoveMethod=2x\n"
              "[PspVideo]\nfps=25\nFmt=abcdefghijklmno\nX=\nY=-16\n[FirstTimeRun]\nFirstTimeRun=zero\n");
    EXPECT_FALSE(LoadSettings());  // a value without digits reads as 0
    EXPECT_EQ(AppSettings.timeFormat, 0);
    EXPECT_EQ(AppSettings.removeMethod, 2);
    EXPECT_EQ(AppSettings.convert.fps, 25.0);
    EXPECT_STREQ(AppSettings.convert.format, "abcdefghi");
    EXPECT_EQ(AppSettings.convert.width, 0);
    EXPECT_EQ(AppSettings.convert.height, -16);
    // Junk lines survive a write.
    EXPECT_NE(ReadFile(SettingsPath()).find("binary junk"), std::string::npos);
}

TEST(Settings, PspSectionSavedInItsOrderWithSixDecimals) {
    UseFreshSettings();
    WriteFile(SettingsPath(), "[PspVideo]\nfps=25\n");
    LoadSettings();
    AppSettings.convert.width = 480;
    SaveConvertSettings();
    std::string text = ReadFile(SettingsPath());
    EXPECT_NE(text.find("[PspVideo]\nfps=25.000000\nX=480\nY=208\nVideoBitrate=400\nAudioBitrate=96\nFmt=mp4\n"
                        "AudioResample=24000\n"),
              std::string::npos)
        << text;
    AppSettings.convert.fps = 0;
    SaveConvertSettings();
    EXPECT_EQ(GetPrivateProfileString("PspVideo", "fps", "", 20, SettingsPath()), "0.000000");
}

TEST(Settings, ExitSaveWritesEveryKeyInOrder) {
    UseFreshSettings();
    LoadSettings();
    AppSettings.timeFormat = 3;
    SelectedDvdDrive = 2;
    SaveSettingsOnExit();
    EXPECT_EQ(ReadFile(SettingsPath()),
              "[FirstTimeRun]\nFirstTimeRun=0\n"
              "[General]\nTvSystem=0\nTimeFormat=3\nRemoveMethod=1\nRemindNoSpace=1\nTvSystemNotified=0\n"
              "[Compress]\nVideoAutoDetect=1\nVideoBitrateConstant=4000\nVideoBitrateMaximal=9000\nAudioBitrate=192\n"
              "[AutoUpdate]\nAutoUpdate=1\n"
              "[Chapter]\nChapterInterval=5\nEnable=1\n"
              "[DVDDrive]\nSelect=2\n");
}

TEST(Settings, HintShownUntilSwitchedOffAndAgainWhenTheKeyIsDeleted) {
    UseFreshSettings();
    int shown = 0;
    bool tick = false;
    SetHintDialogHook([&](const QString& key, const QString& text) {
        ++shown;
        EXPECT_EQ(key, "NoSubtitleLink");
        EXPECT_EQ(text, "No subtitle linked to a.avi");
        return tick;
    });
    EXPECT_TRUE(ShowHintOnce("NoSubtitleLink", "No subtitle linked to a.avi"));
    tick = true;
    EXPECT_TRUE(ShowHintOnce("NoSubtitleLink", "No subtitle linked to a.avi"));
    EXPECT_FALSE(ShowHintOnce("NoSubtitleLink", "No subtitle linked to a.avi"));
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(GetPrivateProfileInt("Hint", "NoSubtitleLink", 1, SettingsPath()), 0);
    WriteFile(SettingsPath(), "[Hint]\n");
    tick = false;
    EXPECT_TRUE(ShowHintOnce("NoSubtitleLink", "No subtitle linked to a.avi"));
    EXPECT_EQ(shown, 3);
    SetHintDialogHook(nullptr);
}

TEST(Settings, HintDialogCaptionAndCheckBox) {
    CNotifyWindow dlg("text");
    EXPECT_EQ(dlg.windowTitle(), "Hint");
    EXPECT_EQ(dlg.checkBox()->text(), "Don't show this hint next time");
    EXPECT_FALSE(dlg.DontShowAgain());
}

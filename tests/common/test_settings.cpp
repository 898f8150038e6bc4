#include <gtest/gtest.h>

#include <QCheckBox>
#include <cstring>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
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
    std::memset(static_cast<void*>(&AppSettings), 0x7f, sizeof AppSettings);
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
    // A format other than the PSP's and sizes outside the PSP's fall back.
    EXPECT_STREQ(AppSettings.convert.format, "mp4");
    EXPECT_EQ(AppSettings.convert.width, 368);
    EXPECT_EQ(AppSettings.convert.height, 208);
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

namespace {
// Loads set.ini holding one PspVideo line and returns the record.
ConvertSettings LoadWith(const std::string& line) {
    UseFreshSettings();
    WriteFile(SettingsPath(), "[PspVideo]\n" + line + "\n");
    LoadSettings();
    return AppSettings.convert;
}
}  // namespace

TEST(Settings, PspValuesOutOfRangeFallBackToTheirDefaults) {
    OpenProgramLog();
    // Each range's limits are taken, one past them is not.
    EXPECT_EQ(LoadWith("VideoBitrate=200").videoBitrate, 200);
    EXPECT_EQ(LoadWith("VideoBitrate=2000").videoBitrate, 2000);
    EXPECT_EQ(LoadWith("VideoBitrate=199").videoBitrate, 400);
    EXPECT_EQ(LoadWith("VideoBitrate=2001").videoBitrate, 400);
    EXPECT_EQ(LoadWith("VideoBitrate=2147484").videoBitrate, 400);  // x 1000 overflowed
    EXPECT_EQ(LoadWith("VideoBitrate=99999999999").videoBitrate, 400);
    EXPECT_EQ(LoadWith("AudioBitrate=32").audioBitrate, 32);
    EXPECT_EQ(LoadWith("AudioBitrate=320").audioBitrate, 320);
    EXPECT_EQ(LoadWith("AudioBitrate=31").audioBitrate, 96);
    EXPECT_EQ(LoadWith("AudioBitrate=321").audioBitrate, 96);
    EXPECT_EQ(LoadWith("AudioBitrate=2147484").audioBitrate, 96);
    EXPECT_EQ(LoadWith("fps=0").fps, 0.0);
    EXPECT_EQ(LoadWith("fps=29.97").fps, 29.97);
    EXPECT_EQ(LoadWith("fps=1000").fps, 1000.0);
    EXPECT_EQ(LoadWith("fps=1000.000001").fps, 0.0);
    EXPECT_EQ(LoadWith("fps=1e308").fps, 0.0);
    EXPECT_EQ(LoadWith("fps=inf").fps, 0.0);
    EXPECT_EQ(LoadWith("fps=nan").fps, 0.0);
    EXPECT_EQ(LoadWith("fps=-25").fps, 0.0);
    EXPECT_EQ(LoadWith("X=720").width, 720);
    EXPECT_EQ(LoadWith("X=721").width, 368);
    EXPECT_EQ(LoadWith("Y=480").height, 480);
    EXPECT_EQ(LoadWith("Y=481").height, 208);
    EXPECT_EQ(LoadWith("Y=15").height, 208);
    EXPECT_EQ(LoadWith("AudioResample=0").audioResample, 0);
    EXPECT_EQ(LoadWith("AudioResample=22050").audioResample, 22050);
    EXPECT_EQ(LoadWith("AudioResample=48001").audioResample, 24000);
    EXPECT_EQ(LoadWith("AudioResample=7999").audioResample, 24000);
    EXPECT_EQ(LoadWith("Quality=1").quality, kBestQuality);
    EXPECT_EQ(LoadWith("Quality=0").quality, kFastQuality);
    EXPECT_EQ(LoadWith("Quality=2").quality, kFastQuality);
    EXPECT_EQ(LoadWith("Quality=-1").quality, kFastQuality);
    EXPECT_EQ(LoadWith("X=400").quality, kFastQuality);  // absent
    EXPECT_STREQ(LoadWith("Fmt=psp").format, "psp");
    EXPECT_STREQ(LoadWith("Fmt=mp4").format, "mp4");
    for (const char* fmt : {"Fmt=null", "Fmt=avi", "Fmt=MP4", "Fmt="})
        EXPECT_STREQ(LoadWith(fmt).format, "mp4") << fmt;
    // Every replaced value is logged with what was found and what is used.
    const std::string log = ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_NE(log.find("PspVideo VideoBitrate=2147484 is out of range (200 to 2000); 400 is used"), std::string::npos)
        << log;
    EXPECT_NE(log.find("PspVideo fps=inf is out of range"), std::string::npos);
    EXPECT_NE(log.find("PspVideo Fmt=null is not an output format for the PSP (mp4, psp); mp4 is used"),
              std::string::npos);
    EXPECT_EQ(log.find("VideoBitrate=2000 is out"), std::string::npos);
    CloseProgramLog();
}

TEST(Settings, ADestinationLongerThanItsFieldIsRefusedNotCut) {
    UseFreshSettings();
    const std::string fits = "/" + std::string(kMaxDestPathLength - 2, 'd') + "/";
    ASSERT_EQ(fits.size(), 259u);
    std::string refusal = "old";
    WritePrivateProfileString("Convert", "DestPath", fits, SettingsPath());
    EXPECT_EQ(ReadDestPath("/default/", &refusal), fits);
    EXPECT_TRUE(refusal.empty());
    const std::string tooLong = "/" + std::string(kMaxDestPathLength - 1, 'd') + "/";
    WritePrivateProfileString("Convert", "DestPath", tooLong, SettingsPath());
    EXPECT_EQ(ReadDestPath("/default/", &refusal), "/default/");
    EXPECT_NE(refusal.find("is longer than 259 characters and is not used:\n" + tooLong + "\n"), std::string::npos)
        << refusal;
    // Reading does not change the stored value.
    EXPECT_EQ(GetPrivateProfileString("Convert", "DestPath", "", 1 << 16, SettingsPath()), tooLong);
    WritePrivateProfileString("Convert", "DestPath", std::string(100000, 'x'), SettingsPath());
    EXPECT_EQ(ReadDestPath("/default/", &refusal), "/default/");
    EXPECT_FALSE(refusal.empty());
}

// `Kalvex --convert`: arguments, destination, settings and exit codes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <cstdlib>

#include "common/AppSettings.h"
#include "convert/ConvertCommand.h"
#include "convert/PspOutputList.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/shell/Shell.h"
#include "platform/system/Folders.h"
#include "tests/convert/ProbeSupport.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::MakeClip;
using test::TestPath;

class Command : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        SetSettingsPath(AppDataFolder() + "set.ini");
        ClearOutputs();
        oldHome_ = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", (test::TestRoot() + "/home").c_str(), 1);
        QDir().mkpath(TestPath("home"));
    }
    void TearDown() override {
        setenv("HOME", oldHome_.c_str(), 1);
        SetSettingsPath("");
        // The command answers boxes itself and drops its answer at the end.
        SetMessageBoxHook([](const MessageBoxRequest&) { return IDOK; });
    }
    int Convert(const QStringList& args) {
        testing::internal::CaptureStdout();
        int code = RunConvertCommand(args);
        out = testing::internal::GetCapturedStdout();
        return code;
    }
    std::string out;
    std::string oldHome_;
};

TEST_F(Command, BadArgumentsGiveTwo) {
    EXPECT_EQ(Convert({}), 2);
    EXPECT_EQ(Convert({"--dest"}), 2);
    EXPECT_EQ(Convert({"--dest", TestPath("x")}), 2);
    EXPECT_EQ(Convert({"--fast", "a.avi"}), 2);
}

TEST_F(Command, ConvertsIntoTheGivenFolder) {
    QString src = MakeClip("in.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    QString dest = TestPath("dest");  // made on demand, the '/' added
    ASSERT_EQ(Convert({"--dest", dest, src}), 0);
    const std::string expected = dest.toStdString() + "/in.mp4";
    EXPECT_NE(out.find("Converted: " + expected), std::string::npos) << out;
    test::Probe p = test::ProbeFile(QString::fromStdString(expected));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4");
    EXPECT_EQ(p.audio.value("codec_name").toString(), "aac");
    // A headless run leaves the window's first start as it was.
    EXPECT_EQ(GetPrivateProfileInt("FirstTimeRun", "FirstTimeRun", 1, SettingsPath()), 1);
}

TEST_F(Command, OneFileThatCannotBeConvertedGivesOne) {
    QString src = MakeClip("ok.mkv", 1.0, 160, 120, "25", 44100, 2);
    QString mute = MakeClip("mute.mkv", 1.0, 160, 120, "25", 44100, 2, true, false);
    ASSERT_FALSE(src.isEmpty());
    ASSERT_FALSE(mute.isEmpty());
    QString dest = TestPath("d");
    EXPECT_EQ(Convert({"--dest", dest, TestPath("missing.avi"), src, mute}), 1);
    EXPECT_TRUE(QFile::exists(dest + "/ok.mp4"));
    EXPECT_FALSE(QFile::exists(dest + "/mute.mp4"));
    EXPECT_FALSE(QFile::exists(dest + "/missing.mp4"));
}

TEST_F(Command, SettingsFileGivesDestinationAndPictureSize) {
    QString src = MakeClip("set.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    const std::string ini = SettingsPath();
    const std::string dest = test::TestRoot() + "/from-ini/";
    WritePrivateProfileString("Convert", "DestPath", dest, ini);
    WritePrivateProfileInt("PspVideo", "X", 320, ini);
    WritePrivateProfileInt("PspVideo", "Y", 240, ini);
    WritePrivateProfileInt("PspVideo", "AudioResample", 48000, ini);
    ASSERT_EQ(Convert({src}), 0);
    test::Probe p = test::ProbeFile(QString::fromStdString(dest + "set.mp4"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("width").toInt(), 320);
    EXPECT_EQ(p.video.value("height").toInt(), 240);
    EXPECT_EQ(p.audio.value("sample_rate").toString(), "48000");
}

TEST_F(Command, DefaultDestinationIsDvdVobInTheHomeFolder) {
    QString src = MakeClip("home.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    ASSERT_EQ(Convert({src}), 0);
    EXPECT_TRUE(QFile::exists(TestPath("home/dvd-vob/home.mp4")));
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// As a process of its own, without any display: progress lines once a
// second on stdout, the exit code tells the outcome.
TEST_F(Command, RunsWithoutADisplay) {
    QString src = MakeClip("cli.mp4", 2.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    const char* display = std::getenv("DISPLAY");
    const std::string oldDisplay = display ? display : "";
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");
    QString text;
    const QString dest = TestPath("cli-out");
    int code = test::RunProgram(KALVEX_CONVERT_CLI, {"--dest", dest, src}, &text);
    int bad = test::RunProgram(KALVEX_CONVERT_CLI, {"--dest"});
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (display) setenv("DISPLAY", oldDisplay.c_str(), 1);
    EXPECT_EQ(code, 0) << text.toStdString();
    EXPECT_TRUE(text.contains("Converted: " + dest + "/cli.mp4")) << text.toStdString();
    EXPECT_TRUE(QFile::exists(dest + "/cli.mp4"));
    EXPECT_EQ(bad, 2);
}

}  // namespace
}  // namespace kalvex

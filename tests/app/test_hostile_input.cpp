// Input a hostile neighbour controls, through the headless converter: values
// of set.ini far outside their ranges, and source names made to break the
// conversion script.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <cstdlib>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include <QProcess>
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "tests/convert/ProbeSupport.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::TestPath;

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        SetSettingsPath(AppDataFolder() + "set.ini");
        OpenProgramLog();
    }
    void TearDown() override {
        CloseProgramLog();
        SetSettingsPath("");
        SetMessageBoxHook([](const MessageBoxRequest&) { return IDOK; });
    }
    // `Kalvex --convert ARGS`, the real program.
    int Convert(const QStringList& args) {
        QProcess p;
        p.start(QString::fromStdString(test::BinDir() + "/Kalvex"), QStringList{"--convert"} + args);
        if (!p.waitForStarted() || !p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        out = p.readAllStandardOutput().toStdString();
        err = p.readAllStandardError().toStdString();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    // A 2 s clip at 25 fps under the given name, in the test's folder.
    QString Clip(const QString& name) {
        QString made = test::MakeClip("clip.mkv", 2.0, 160, 120, "25", 44100, 2);
        if (made.isEmpty()) return {};
        QString path = TestPath(name);
        return QFile::rename(made, path) ? path : QString();
    }
    std::string out, err;
};

TEST_F(Hostile, OverflowingSettingsConvertWithTheDefaults) {
    const std::string ini = SettingsPath();
    test::WriteFile(ini, "[PspVideo]\nVideoBitrate=2147484\nAudioBitrate=2147484\nfps=1e308\nFmt=null\n");
    QString src = Clip("big.mkv");
    ASSERT_FALSE(src.isEmpty());
    const QString dest = TestPath("out");
    ASSERT_EQ(Convert({"--dest", dest, src}), 0) << err;
    CloseProgramLog();
    OpenProgramLog();
    LoadSettings();
    EXPECT_EQ(AppSettings.convert.videoBitrate, 400);
    EXPECT_EQ(AppSettings.convert.audioBitrate, 96);
    EXPECT_EQ(AppSettings.convert.fps, 0.0);
    EXPECT_STREQ(AppSettings.convert.format, "mp4");
    // An MP4 with the source's 50 frames, not an empty "Converted".
    test::Probe p = test::ProbeFile(dest + "/big.mp4");
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.format.value("format_name").toString().contains("mp4"));
    EXPECT_EQ(p.video.value("nb_read_frames").toString(), "50");
    EXPECT_GT(p.Number(p.audio, "bit_rate"), 40000);  // about 96 kbit/s, not an overflowed figure
    const std::string log = test::ReadFile(AppDataFolder() + "log/Kalvex.log");
    for (const char* key : {"VideoBitrate=2147484", "AudioBitrate=2147484", "fps=1e+308", "Fmt=null"})
        EXPECT_NE(log.find(std::string("PspVideo ") + key), std::string::npos) << key;
}

TEST_F(Hostile, ADestinationTooLongForItsFieldIsRefused) {
    const std::string tooLong = test::TestRoot() + "/" + std::string(300, 'd') + "/";
    WritePrivateProfileString("Convert", "DestPath", tooLong, SettingsPath());
    QString src = Clip("long.mkv");
    ASSERT_FALSE(src.isEmpty());
    EXPECT_EQ(Convert({src}), 1);
    EXPECT_NE(err.find("is longer than 259 characters and is not used"), std::string::npos) << err;
    // Nothing written anywhere, the stored value untouched.
    EXPECT_FALSE(QDir(QString::fromStdString(tooLong.substr(0, 259))).exists());
    EXPECT_EQ(GetPrivateProfileString("Convert", "DestPath", "", 1 << 16, SettingsPath()), tooLong);
}

TEST_F(Hostile, SourceNamesCannotChangeTheScript) {
    // Converted: every frame of its own file, no line of the name run.
    const QStringList names = {"q\"), \"x) #.mkv", "end\".mkv", "\"start.mkv", "two\"\"quotes.mkv",
                               "Trim(0,10) #.mkv"};
    QStringList sources;
    for (const QString& name : names) {
        sources << Clip(name);
        ASSERT_FALSE(sources.back().isEmpty()) << name.toStdString();
    }
    const QString dest = TestPath("safe");
    ASSERT_EQ(Convert(QStringList{"--dest", dest} + sources), 0) << err;
    for (const QString& name : names) {
        const QString output = dest + "/" + name.left(name.lastIndexOf('.')) + ".mp4";
        test::Probe p = test::ProbeFile(output);
        ASSERT_TRUE(p.ok) << output.toStdString();
        EXPECT_EQ(p.video.value("nb_read_frames").toString(), "50") << name.toStdString();
    }

    // Refused, with a message naming the file: names no script string can carry.
    for (const QString& name : {QString("inj\")\nTrim(0,10)\n#.mkv"), QString("three\"\"\"q.mkv")}) {
        QString src = Clip(name);
        ASSERT_FALSE(src.isEmpty());
        const QString refusedDest = TestPath("refused");
        EXPECT_EQ(Convert({"--dest", refusedDest, src}), 1);
        EXPECT_NE(err.find("Could not use " + src.toStdString() + " as Input!"), std::string::npos) << err;
        EXPECT_NE(err.find("A conversion script cannot name this file"), std::string::npos) << err;
        EXPECT_TRUE(QDir(refusedDest).entryList(QDir::Files).isEmpty());
    }
}

}  // namespace
}  // namespace kalvex

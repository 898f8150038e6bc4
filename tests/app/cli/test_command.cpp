// `Kalvex --convert`, run as the real program in a process of its own,
// without any display: arguments, destination, settings, progress, exit
// codes, and the files it leaves after a stop, a kill, a failure or a second
// run into the same folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <cstdlib>

#include "common/AppSettings.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/system/Folders.h"
#include "convert/psp/PspFit.h"
#include "tests/convert/ProbeSupport.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::MakeClip;
using test::TestPath;

QString Kalvex() { return QString::fromStdString(test::BinDir() + "/Kalvex"); }

QStringList Names(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

class Command : public ::testing::Test {
protected:
    void SetUp() override {
        SetSettingsPath(AppDataFolder() + "set.ini");
        oldHome_ = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", (test::TestRoot() + "/home").c_str(), 1);
        QDir().mkpath(TestPath("home"));
        // The command needs no display at all.
        const char* display = std::getenv("DISPLAY");
        oldDisplay_ = display ? display : "";
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("QT_QPA_PLATFORM");
    }
    void TearDown() override {
        setenv("HOME", oldHome_.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!oldDisplay_.empty()) setenv("DISPLAY", oldDisplay_.c_str(), 1);
        SetSettingsPath("");
    }
    // Runs `Kalvex --convert ARGS`; stdout and stderr apart.
    int Convert(const QStringList& args) {
        QProcess p;
        p.start(Kalvex(), QStringList{"--convert"} + args);
        if (!p.waitForStarted() || !p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        out = QString::fromUtf8(p.readAllStandardOutput());
        err = QString::fromUtf8(p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    // Starts a conversion and returns once it has begun writing its output.
    bool StartAndWaitForWriting(QProcess& p, const QStringList& args) {
        p.start(Kalvex(), QStringList{"--convert"} + args);
        if (!p.waitForStarted()) return false;
        QByteArray seen;
        while (p.waitForReadyRead(60000)) {
            seen += p.readAllStandardOutput();
            // The first progress line of a file comes after its output is open.
            if (seen.contains("Converting ")) return true;
        }
        return false;
    }

    QString out, err;
    std::string oldHome_, oldDisplay_;
};

// An MKV with three sound tracks, each a tone of its own: eng 440 Hz,
// jpn 660 Hz (marked default), fre 880 Hz.
QString ThreeSoundTracks(const QString& name) {
    QStringList args{"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2"};
    for (int hz : {440, 660, 880})
        args << "-f" << "lavfi" << "-i" << QString("sine=frequency=%1:sample_rate=48000:duration=2").arg(hz);
    args << "-map" << "0" << "-map" << "1" << "-map" << "2" << "-map" << "3" << "-pix_fmt" << "yuv420p"
         << "-c:v" << "mpeg4" << "-c:a" << "aac"
         << "-metadata:s:a:0" << "language=eng" << "-metadata:s:a:1" << "language=jpn"
         << "-metadata:s:a:2" << "language=fre"
         << "-disposition:a:0" << "0" << "-disposition:a:1" << "default" << "-disposition:a:2" << "0";
    return test::MakeMedia(name, args);
}

// The tone of a file's sound: zero crossings of its first channel per
// second, halved. 0 when the sound cannot be read.
double ToneOf(const QString& path) {
    const QString raw = path + ".s16";
    QString text;
    if (test::RunProgram("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-i", path, "-map", "0:a:0", "-ac", "1",
                                    "-ar", "24000", "-f", "s16le", raw},
                         &text, 60000) != 0)
        return 0;
    const std::string pcm = test::ReadFile(raw.toStdString());
    const size_t n = pcm.size() / 2;
    // The encoder's start-up and the end are left out.
    const size_t from = n / 10, to = n - n / 10;
    if (to <= from + 1) return 0;
    int crossings = 0;
    auto sample = [&pcm](size_t i) { return int16_t(uint16_t(uint8_t(pcm[2 * i])) | uint16_t(uint8_t(pcm[2 * i + 1])) << 8); };
    for (size_t i = from + 1; i < to; ++i)
        if ((sample(i - 1) < 0) != (sample(i) < 0)) ++crossings;
    return crossings / 2.0 / (double(to - from) / 24000.0);
}

TEST_F(Command, TrackOptionsNeedAValueAndAFileAfterThem) {
    const QString src = TestPath("x.mkv");
    EXPECT_EQ(Convert({"--audio-track"}), 2);
    EXPECT_TRUE(err.contains("--audio-track needs a track number or a language code")) << err.toStdString();
    EXPECT_EQ(Convert({"--audio-track=", src}), 2);
    EXPECT_EQ(Convert({"--subtitle-track"}), 2);
    EXPECT_TRUE(err.contains("--subtitle-track needs")) << err.toStdString();
    EXPECT_EQ(Convert({src, "--audio-track", "2"}), 2);
    EXPECT_TRUE(err.contains("--audio-track must come before the file it is for")) << err.toStdString();
    EXPECT_EQ(Convert({src, "--subtitle-track=1"}), 2);
    EXPECT_TRUE(err.contains("--subtitle-track must come before the file it is for")) << err.toStdString();
    EXPECT_EQ(Convert({"--subtitle", TestPath("a.srt"), "--subtitle-track", "1", src}), 2);
    EXPECT_TRUE(err.contains("choose one")) << err.toStdString();
}

TEST_F(Command, ATrackTheFileDoesNotHaveFailsThatFileAndTheOthersGoOn) {
    const QString three = ThreeSoundTracks("three.mkv");
    const QString plain = MakeClip("plain.mkv", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(three.isEmpty() || plain.isEmpty());
    const QString dest = TestPath("picked");
    EXPECT_EQ(Convert({"--quiet", "--dest", dest, "--audio-track", "4", three, plain}), 1);
    EXPECT_TRUE(err.contains("Failed: " + three + "\n  --audio-track 4: there is no sound track 4\n"))
        << err.toStdString();
    EXPECT_EQ(Names(dest), (QStringList{"plain.THM", "plain.mp4"}));  // with its thumbnail
    // The option belongs to the file after it only.
    EXPECT_EQ(out, "Converted: " + dest + "/plain.mp4\n");

    EXPECT_EQ(Convert({"--quiet", "--dest", dest, "--audio-track", "kor", three}), 1);
    EXPECT_TRUE(err.contains("Failed: " + three + "\n  --audio-track kor: no sound track is in the language kor"))
        << err.toStdString();
    EXPECT_EQ(Convert({"--quiet", "--dest", dest, "--subtitle-track", "1", three}), 1);
    EXPECT_TRUE(err.contains("Failed: " + three + "\n  --subtitle-track 1: there is no subtitle track 1"))
        << err.toStdString();
    EXPECT_EQ(Convert({"--quiet", "--dest", dest, "--subtitle-track=forced", plain}), 1);
    EXPECT_TRUE(err.contains("Failed: " + plain + "\n  --subtitle-track forced: no subtitle track has forced"))
        << err.toStdString();
    EXPECT_EQ(Names(dest), (QStringList{"plain.THM", "plain.mp4"}));  // with its thumbnail
}

TEST_F(Command, TheChosenSoundTrackIsTheOneConverted) {
    const QString three = ThreeSoundTracks("three.mkv");
    ASSERT_FALSE(three.isEmpty());
    struct Case {
        QStringList options;
        double hz;
    };
    // No choice: the track the file marks as default (jpn, 660 Hz).
    const Case cases[] = {{{}, 660}, {{"--audio-track", "eng"}, 440}, {{"--audio-track=3"}, 880},
                          {{"--audio-track", "ja"}, 660}, {{"--audio-track", "1"}, 440}};
    for (const Case& c : cases) {
        const QString dest = TestPath("tone" + QString::number(int(c.hz)) + c.options.join("").remove('-'));
        ASSERT_EQ(Convert(QStringList{"--quiet", "--dest", dest} + c.options + QStringList{three}), 0)
            << err.toStdString();
        const double hz = ToneOf(dest + "/three.mp4");
        EXPECT_NEAR(hz, c.hz, 15) << c.options.join(" ").toStdString();
    }
}

// The bright pixels (Y above 160) of each picture of a converted file.
std::vector<int> BrightPixels(const QString& path, int width, int height) {
    const QString raw = path + ".gray";
    QString text;
    std::vector<int> counts;
    if (test::RunProgram("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-i", path, "-fps_mode", "passthrough", "-f",
                                    "rawvideo", "-pix_fmt", "gray", raw},
                         &text, 60000) != 0)
        return counts;
    const std::string bytes = test::ReadFile(raw.toStdString());
    const size_t frame = size_t(width) * size_t(height);
    for (size_t at = 0; at + frame <= bytes.size(); at += frame) {
        int n = 0;
        for (size_t i = at; i < at + frame; ++i) n += uint8_t(bytes[i]) > 160;
        counts.push_back(n);
    }
    return counts;
}

TEST_F(Command, AnEmbeddedSubtitleTrackIsBurnedInDuringItsTimeOnly) {
    const std::string srt = "1\r\n00:00:01,000 --> 00:00:02,000\r\nHELLO WORLD HELLO\r\n\r\n";
    test::WriteFile(TestPath("lines.srt").toStdString(), srt);
    const QString src = test::MakeMedia(
        "inside.mkv", {"-f", "lavfi", "-i", "color=black:size=320x240:rate=25:duration=3", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=48000:duration=3", "-i", TestPath("lines.srt"), "-map", "0",
                       "-map", "1", "-map", "2", "-pix_fmt", "yuv420p", "-c:v", "mpeg4", "-c:a", "aac", "-c:s", "srt",
                       "-metadata:s:s:0", "language=eng"});
    ASSERT_FALSE(src.isEmpty());
    const QString plainDest = TestPath("nosub"), subDest = TestPath("withsub");
    // Not asked for: not burned in.
    ASSERT_EQ(Convert({"--quiet", "--dest", plainDest, src}), 0) << err.toStdString();
    ASSERT_EQ(Convert({"--quiet", "--dest", subDest, "--subtitle-track", "1", src}), 0) << err.toStdString();
    const std::vector<int> plain = BrightPixels(plainDest + "/inside.mp4", 368, 208);
    const std::vector<int> sub = BrightPixels(subDest + "/inside.mp4", 368, 208);
    // 3 s at 25 fps (the sound's last AAC frame may add a picture).
    ASSERT_GE(plain.size(), 75u);
    ASSERT_EQ(sub.size(), plain.size());
    for (size_t k = 0; k < sub.size(); ++k) {
        EXPECT_EQ(plain[k], 0) << "picture " << k;
        // 1.0 s to 2.0 s is pictures 25 to 49; a picture's margin either side.
        if (k >= 26 && k <= 48) {
            EXPECT_GT(sub[k], 50) << "picture " << k;
        } else if (k <= 23 || k >= 51) {
            EXPECT_EQ(sub[k], 0) << "picture " << k;
        }
    }
    // The same track by language.
    ASSERT_EQ(Convert({"--quiet", "--dest", TestPath("bylang"), "--subtitle-track", "en", src}), 0)
        << err.toStdString();
    EXPECT_GT(BrightPixels(TestPath("bylang") + "/inside.mp4", 368, 208)[37], 50);
}

TEST_F(Command, BadArgumentsGiveTwo) {
    EXPECT_EQ(Convert({}), 2);
    EXPECT_EQ(Convert({"--dest"}), 2);
    EXPECT_EQ(Convert({"--dest", TestPath("x")}), 2);
    EXPECT_EQ(Convert({"--dest="}), 2);
    EXPECT_EQ(Convert({"--fast", "a.avi"}), 2);
    EXPECT_TRUE(err.contains("unknown option --fast"));
}

TEST_F(Command, ConvertsIntoTheGivenFolderWithProgressLines) {
    QString src = MakeClip("in.mkv", 2.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    QString dest = TestPath("dest");  // made on demand, the '/' added
    ASSERT_EQ(Convert({"--dest", dest, src}), 0) << err.toStdString();
    const QString expected = dest + "/in.mp4";
    EXPECT_TRUE(out.contains("Converted: " + expected)) << out.toStdString();
    // Not a terminal: whole lines, each with percent, rate and estimate.
    EXPECT_TRUE(out.contains("  0%  Files: 1/1  Converting in.mkv, 0/50, 0.00 fps  Elapse: 00:00:00  "
                             "Estimate: 00:00:00\n"))
        << out.toStdString();
    EXPECT_FALSE(out.contains('\r'));
    EXPECT_FALSE(out.contains("/0, ")) << out.toStdString();
    test::Probe p = test::ProbeFile(expected);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4");
    EXPECT_EQ(p.audio.value("codec_name").toString(), "aac");
    EXPECT_EQ(Names(dest), (QStringList{"in.THM", "in.mp4"}));  // with its thumbnail
    // A headless run leaves the window's first start as it was.
    EXPECT_EQ(GetPrivateProfileInt("FirstTimeRun", "FirstTimeRun", 1, SettingsPath()), 1);
    // And its scripts are gone when it ends.
    EXPECT_TRUE(QDir(TestPath("tmp")).entryList({"*.avs"}, QDir::Files).isEmpty());

    // --quiet: no progress, still the result.
    ASSERT_EQ(Convert({"--quiet", "--dest", dest, src}), 0);
    EXPECT_FALSE(out.contains("Converting")) << out.toStdString();
    EXPECT_TRUE(out.contains("Converted: " + expected));
}

TEST_F(Command, EveryFailureSaysWhyOnStandardError) {
    QString ok = MakeClip("ok.mkv", 1.0, 160, 120, "25", 44100, 2);
    // Pictures without sound convert (with a silent track); sound without
    // pictures is refused.
    QString mute = MakeClip("mute.mkv", 1.0, 160, 120, "25", 44100, 2, true, false);
    QString sound = MakeClip("sound.mka", 1.0, 160, 120, "25", 44100, 2, false, true);
    ASSERT_FALSE(ok.isEmpty());
    ASSERT_FALSE(mute.isEmpty());
    ASSERT_FALSE(sound.isEmpty());
    QString dest = TestPath("d");
    EXPECT_EQ(Convert({"--dest", dest, TestPath("missing.avi"), ok, mute, sound}), 1);
    EXPECT_EQ(Names(dest), (QStringList{"mute.THM", "mute.mp4", "ok.THM", "ok.mp4"}));
    EXPECT_TRUE(err.contains("Failed: " + TestPath("missing.avi"))) << err.toStdString();
    EXPECT_TRUE(err.contains("Failed: " + sound)) << err.toStdString();
    EXPECT_TRUE(err.contains("No Video found!")) << err.toStdString();
    EXPECT_FALSE(err.contains("No Audio found!")) << err.toStdString();
    EXPECT_FALSE(err.contains("Failed: " + mute)) << err.toStdString();
    EXPECT_FALSE(out.contains("Failed"));
}

TEST_F(Command, AFailedMiddleFileIsNamedAndTheOthersConvert) {
    QString a = MakeClip("a.avi", 1.0, 160, 120, "25", 44100, 2);
    QString b = MakeClip("b.avi", 1.0, 160, 120, "25", 44100, 2);
    QString c = MakeClip("c.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(a.isEmpty() || b.isEmpty() || c.isEmpty());
    QString dest = TestPath("mid");
    QDir().mkpath(dest);
    // b's output name is taken by a folder: b fails while it is written.
    QDir().mkpath(dest + "/b.mp4");
    EXPECT_EQ(Convert({"--dest", dest, a, b, c}), 1);
    EXPECT_TRUE(QFile::exists(dest + "/a.mp4"));
    EXPECT_TRUE(QFile::exists(dest + "/c.mp4"));
    EXPECT_TRUE(err.contains("These files could not be converted:\nb.avi: ")) << err.toStdString();
    EXPECT_FALSE(err.contains("Convert failed."));
}

TEST_F(Command, SubtitlesBesideTheFileOrGivenForIt) {
    QString src = MakeClip("movie.mkv", 2.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    const std::string srt = "1\r\n00:00:00,500 --> 00:00:01,500\r\nHELLO\r\n\r\n";
    test::WriteFile(TestPath("movie.srt").toStdString(), srt);
    QDir().mkpath(TestPath("subs"));
    test::WriteFile(TestPath("subs/other.srt").toStdString(), srt);
    test::WriteFile(TestPath("subs/junk.txt").toStdString(), "no subtitle at all\n");
    const QString dest = TestPath("subbed");
    const std::string log = AppDataFolder() + "log/Kalvex.log";

    // Beside the file: linked as the page links it.
    ASSERT_EQ(Convert({"--dest", dest, src}), 0) << err.toStdString();
    EXPECT_NE(test::ReadFile(log).find("Sub 0, File = " + TestPath("movie.srt").toStdString()), std::string::npos);

    // Given for the file: that one, and its stream.
    ASSERT_EQ(Convert({"--dest", dest, "--subtitle", TestPath("subs/other.srt") + ":0", src}), 0) << err.toStdString();
    EXPECT_TRUE(test::ProbeFile(dest + "/movie.mp4").ok);
    EXPECT_NE(test::ReadFile(log).find("Sub 0, File = " + TestPath("subs/other.srt").toStdString()), std::string::npos);

    // A subtitle that cannot be used fails its file with the reason.
    EXPECT_EQ(Convert({"--dest", dest, "--subtitle", TestPath("subs/other.srt") + ":3", src}), 1);
    EXPECT_TRUE(err.contains("Failed: " + src)) << err.toStdString();
    EXPECT_EQ(Convert({"--dest", dest, "--subtitle=" + TestPath("subs/junk.txt"), src}), 1);
    EXPECT_TRUE(err.contains("Failed: " + src)) << err.toStdString();
    // A subtitle reader's own reason reaches stderr.
    test::WriteFile(TestPath("subs/bad.sub").toStdString(), "{1}{2}one\n{3}{4}two\nbroken\n");
    EXPECT_EQ(Convert({"--dest", dest, "--subtitle", TestPath("subs/bad.sub"), src}), 1);
    EXPECT_TRUE(err.contains(TestPath("subs/bad.sub") + ": Syntax error at line 3!\n")) << err.toStdString();
    // And one with no file after it is a bad command.
    EXPECT_EQ(Convert({"--dest", dest, src, "--subtitle", TestPath("subs/other.srt")}), 2);
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
    ASSERT_EQ(Convert({src}), 0) << err.toStdString();
    test::Probe p = test::ProbeFile(QString::fromStdString(dest + "set.mp4"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("width").toInt(), 320);
    EXPECT_EQ(p.video.value("height").toInt(), 240);
    EXPECT_EQ(p.audio.value("sample_rate").toString(), "48000");
}

TEST_F(Command, DefaultDestinationIsDvdVobInTheHomeFolder) {
    QString src = MakeClip("home.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    ASSERT_EQ(Convert({src}), 0) << err.toStdString();
    EXPECT_TRUE(QFile::exists(TestPath("home/dvd-vob/home.mp4")));
}

TEST_F(Command, ASourceInTheDestinationIsNeverOverwritten) {
    QString dest = TestPath("same");
    QDir().mkpath(dest);
    QString src = MakeClip(dest + "/clip.mp4", 2.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    const std::string before = test::ReadFile(src.toStdString());
    ASSERT_EQ(Convert({"--dest", dest, src}), 0) << err.toStdString();
    EXPECT_EQ(test::ReadFile(src.toStdString()), before);
    EXPECT_TRUE(out.contains("Converted: " + dest + "/clip_psp.mp4")) << out.toStdString();
    EXPECT_TRUE(test::ProbeFile(dest + "/clip_psp.mp4").ok);
}

TEST_F(Command, AKilledRunLeavesNoFinalFileAndTheNextRunClearsUp) {
    QString src = MakeClip("long.mkv", 20.0, 640, 480, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    QString dest = TestPath("killed");
    QProcess p;
    ASSERT_TRUE(StartAndWaitForWriting(p, {"--dest", dest, src}));
    ::kill(pid_t(p.processId()), SIGKILL);
    p.waitForFinished();
    const QStringList left = Names(dest);
    EXPECT_FALSE(left.contains("long.mp4")) << left.join(",").toStdString();
    ASSERT_EQ(left.size(), 1);
    EXPECT_TRUE(left[0].startsWith(".kalvex-") && left[0].endsWith(".mp4.part")) << left[0].toStdString();

    // The next run into the folder removes the leftover.
    QString small = MakeClip("small.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_EQ(Convert({"--dest", dest, small}), 0) << err.toStdString();
    EXPECT_EQ(Names(dest), (QStringList{"small.THM", "small.mp4"}));
}

TEST_F(Command, CtrlCStopsAndRemovesTheRunsOutputsAsThePageDoes) {
    QString first = MakeClip("first.avi", 1.0, 160, 120, "25", 44100, 2);
    QString second = MakeClip("second.mkv", 20.0, 640, 480, "25", 44100, 2);
    QString third = MakeClip("third.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(first.isEmpty() || second.isEmpty() || third.isEmpty());
    QString dest = TestPath("stopped");
    QDir().mkpath(dest);
    test::WriteFile((dest + "/keep.mp4").toStdString(), "not of this run");
    QProcess p;
    p.start(Kalvex(), {"--convert", "--dest", dest, first, second, third});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray seen;
    while (!seen.contains("Converting second.mkv") && p.waitForReadyRead(60000)) seen += p.readAllStandardOutput();
    ASSERT_TRUE(seen.contains("Converting second.mkv")) << seen.toStdString();
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString errText = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(errText.contains("Converting canceled.")) << errText.toStdString();
    EXPECT_TRUE(errText.contains("Not converted: " + third)) << errText.toStdString();
    // What the window leaves after Stop: nothing of the run.
    EXPECT_EQ(Names(dest), QStringList{"keep.mp4"});
}

TEST_F(Command, TwoRunsIntoOneFolderNeverMixTheirWrites) {
    QString src = MakeClip("twice.mkv", 4.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    QString dest = TestPath("both");
    QProcess a, b;
    a.start(Kalvex(), {"--convert", "--quiet", "--dest", dest, src});
    b.start(Kalvex(), {"--convert", "--quiet", "--dest", dest, src});
    ASSERT_TRUE(a.waitForFinished(120000));
    ASSERT_TRUE(b.waitForFinished(120000));
    EXPECT_EQ(a.exitCode(), 0) << a.readAllStandardError().toStdString();
    EXPECT_EQ(b.exitCode(), 0) << b.readAllStandardError().toStdString();
    EXPECT_EQ(Names(dest), (QStringList{"twice.THM", "twice.mp4"}));
    test::Probe p = test::ProbeFile(dest + "/twice.mp4");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("nb_read_frames").toString(), "100");
    QString text;
    EXPECT_EQ(test::RunProgram("ffmpeg", {"-v", "error", "-i", dest + "/twice.mp4", "-f", "null", "-"}, &text), 0);
    EXPECT_TRUE(text.trimmed().isEmpty()) << text.toStdString();
}


// A source whose sound track is there but cannot be decoded is not turned
// into a mute file: it fails, with the reason, and the run says so.
TEST_F(Command, SoundThatCannotBeDecodedFailsItsFileWithTheReason) {
    QString broken = test::MakeClipWithBrokenSound("nosound.mkv", test::BrokenSound::DecoderSetUp);
    QString fine = MakeClip("fine.mkv", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(broken.isEmpty() || fine.isEmpty());
    QString dest = TestPath("sound");
    EXPECT_EQ(Convert({"--quiet", "--dest", dest, broken, fine}), 1);
    EXPECT_EQ(Names(dest), (QStringList{"fine.THM", "fine.mp4"}));
    const QString why = "the sound of \"" + broken + "\" cannot be read: opening the aac decoder failed: ";
    EXPECT_TRUE(err.contains("Failed: " + broken + "\n  ")) << err.toStdString();
    EXPECT_TRUE(err.contains(why)) << err.toStdString();
    EXPECT_TRUE(err.contains(QRegularExpression("These files could not be converted:\nnosound\\.mkv: .*cannot be read: ")))
        << err.toStdString();
    EXPECT_EQ(out, "Converted: " + dest + "/fine.mp4\n");
}

// The libraries say nothing on the console, also about damaged sources
// their decoders complain of: stdout holds our result lines only, stderr
// our failure lines only.
TEST_F(Command, OnlyOurOwnLinesReachTheConsole) {
    QString good = MakeClip("good.mkv", 1.0, 160, 120, "25", 44100, 2);
    QString noisy = test::MakeClipWithBrokenSound("noisy.mkv", test::BrokenSound::EveryPacket);
    QString cut = MakeClip("cut.mkv", 4.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(good.isEmpty() || noisy.isEmpty() || cut.isEmpty());
    // A copy that lost its second half: its header still promises four
    // seconds, so half of its pictures fail to read.
    QString dest = TestPath("quietly");
    const std::string bytes = test::ReadFile(cut.toStdString());
    const QString cutCopy = TestPath("cut-copy.mkv");
    test::WriteFile(cutCopy.toStdString(), bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(Convert({"--quiet", "--dest", dest, noisy, cutCopy, good}), 1);
    EXPECT_EQ(out, "Converted: " + dest + "/good.mp4\n");
    const QRegularExpression ours(
        "^(Failed: /.*|  .+|These files could not be converted:|(noisy|cut-copy)\\.mkv: .+)$");
    const QStringList lines = err.split('\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(lines.isEmpty());
    for (const QString& line : lines) EXPECT_TRUE(ours.match(line).hasMatch()) << "not ours: " << line.toStdString();
    EXPECT_TRUE(err.contains("Failed: " + noisy)) << err.toStdString();
}

// --avc: H.264 for the PSP, at its whole screen unless set.ini holds a size.
TEST_F(Command, AvcOptionMakesH264AtThePspScreen) {
    QString src = MakeClip("avc.mkv", 1.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    QString dest = TestPath("avc");
    ASSERT_EQ(Convert({"--quiet", "--avc", "--dest", dest, src}), 0) << err.toStdString();
    test::Probe p = test::ProbeFile(dest + "/avc.mp4");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("codec_name").toString(), "h264");
    EXPECT_EQ(p.video.value("width").toInt(), 480);
    EXPECT_EQ(p.video.value("height").toInt(), 272);
    EXPECT_EQ(Names(dest), (QStringList{"avc.THM", "avc.mp4"}));

    WritePrivateProfileString("PspVideo", "X", "320", SettingsPath());
    WritePrivateProfileString("PspVideo", "Y", "240", SettingsPath());
    ASSERT_EQ(Convert({"--quiet", "--avc", "--dest", dest, src}), 0) << err.toStdString();
    p = test::ProbeFile(dest + "/avc.mp4");
    EXPECT_EQ(p.video.value("codec_name").toString(), "h264");
    EXPECT_EQ(p.video.value("width").toInt(), 320);
    // Without the option the stored codec (none: MPEG-4) is used.
    ASSERT_EQ(Convert({"--quiet", "--dest", dest, src}), 0) << err.toStdString();
    EXPECT_EQ(test::ProbeFile(dest + "/avc.mp4").video.value("codec_name").toString(), "mpeg4");
}

// --fit-psp looks for the PSP as the page does; without one nothing is
// converted and the exit code is that of a run that could not start. With
// one, the rate is chosen for its free space (this disk's: plenty, so the
// highest) and said; set.ini keeps its own.
TEST_F(Command, FitPspNeedsAConnectedPspAndSaysTheRateItChose) {
    QString src = MakeClip("fit.avi", 1.0, 160, 120);
    ASSERT_FALSE(src.isEmpty());
    const QString dest = TestPath("fit");
    test::FakeDisks disks;  // the child process reads the same fake machine
    EXPECT_EQ(Convert({"--quiet", "--fit-psp", "--dest", dest, src}), 1);
    EXPECT_TRUE(err.contains(kFitNoPspText)) << err.toStdString();
    EXPECT_FALSE(QFile::exists(dest + "/fit.mp4"));

    disks.AddDisk("sdc", 8, 32, "Sony", "PSP");  // there, but not mounted
    EXPECT_EQ(Convert({"--quiet", "--fit-psp", "--dest", dest, src}), 1);
    EXPECT_TRUE(err.contains(kFitNotMountedText)) << err.toStdString();
    EXPECT_FALSE(QFile::exists(dest + "/fit.mp4"));

    disks.Mount("PSP", 8, 33);
    WritePrivateProfileString("PspVideo", "VideoBitrate", "250", SettingsPath());
    ASSERT_EQ(Convert({"--quiet", "--fit-psp", "--dest", dest, src}), 0) << err.toStdString();
    EXPECT_TRUE(out.contains("Video bit rate fitted to the PSP's free space: 768 kbit/s")) << out.toStdString();
    const qint64 fitted = QFile(dest + "/fit.mp4").size();
    EXPECT_EQ(GetPrivateProfileInt("PspVideo", "VideoBitrate", 0, SettingsPath()), 250);
    // Without the option the setting's rate is used and no PSP is needed:
    // 250 kbit/s takes far less room than the 768 chosen above.
    disks.Unmount(disks.Root() + "/media/PSP");
    ASSERT_EQ(Convert({"--quiet", "--dest", dest, src}), 0) << err.toStdString();
    EXPECT_FALSE(out.contains("fitted")) << out.toStdString();
    const qint64 plain = QFile(dest + "/fit.mp4").size();
    EXPECT_GT(plain, 0);
    EXPECT_GT(fitted, plain * 3 / 2) << fitted << " bytes fitted, " << plain << " at the setting";
}

}  // namespace
}  // namespace kalvex

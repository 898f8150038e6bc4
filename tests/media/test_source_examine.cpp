// Examination of added sources and the SourceReader over the script engine,
// on media generated for the test.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <map>
#include <unistd.h>

#include "common/ProgramLog.h"
#include "engine/SourceCounts.h"
#include "media/EntryFromPath.h"
#include "media/ExamineSource.h"
#include "media/ScriptBuilder.h"
#include "media/SourceReader.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "platform/system/TempFiles.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

const QString gProgramTemp = qEnvironmentVariable("TMPDIR", "/tmp");

// Media made once per test program.
std::string Media(const QString& name, const QStringList& args) {
    static QTemporaryDir dir(gProgramTemp + "/kalvex-srcmedia-XXXXXX");
    static std::map<QString, std::string> made;
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    return made[name] = MakeMedia(dir.path() + "/" + name, args).toStdString();
}

QStringList Clip(const QString& size, const QString& rate, const QString& seconds, const QStringList& extra = {}) {
    QStringList a{"-f", "lavfi", "-i", QString("testsrc2=size=%1:rate=%2:duration=%3").arg(size, rate, seconds),
                  "-f", "lavfi", "-i", QString("sine=frequency=440:sample_rate=44100:duration=%1").arg(seconds)};
    return a << extra << "-pix_fmt" << "yuv420p";
}

std::string Pal10s() { return Media("pal.mp4", Clip("160x120", "25", "10")); }

struct Boxes {
    std::vector<MessageBoxRequest> shown;
    Boxes() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            shown.push_back(r);
            return IDOK;
        });
    }
};

}  // namespace

TEST(ExamineSource, FillsMediaInfoAndTheInformationText) {
    std::string path = Pal10s();
    ASSERT_FALSE(path.empty());
    MediaInfo info;
    std::memset(&info, 0x5A, sizeof info);
    std::string text;
    Boxes boxes;
    ASSERT_TRUE(ExamineSource(path, info, text));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_STREQ(info.videoFormat, "vids");
    EXPECT_STREQ(info.audioFormat, "auds");
    EXPECT_EQ(std::string(info.videoFormat, 10), std::string("vids\0\0\0\0\0\0", 10));  // rest zero
    EXPECT_EQ(info.width, 160);
    EXPECT_EQ(info.height, 120);
    EXPECT_EQ(info.reserved, 0);
    EXPECT_DOUBLE_EQ(info.fps, 25.0);
    EXPECT_EQ(info.duration, 100000000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.sampleRate, 44100);

    const std::string script = TempFolder() + "TempAVS_pal.mp4_" + std::to_string(getpid()) + ".avs";
    EXPECT_EQ(ReadFile(script), "DirectShowSource(\"" + path + "\")\nConvertToYV12()\n");
    auto temps = RegisteredTempFiles();
    EXPECT_NE(std::find(temps.begin(), temps.end(), script), temps.end());

    std::string expected = "Information For: " + script + "\nVideo\n-------\n";
    if (info.darX && info.darY)
        expected += "Resolution: 160x120(DAR:" + std::to_string(info.darX) + "x" + std::to_string(info.darY) + ")\n";
    else
        expected += "Resolution: 160x120\n";
    expected +=
        "Frames Per Sec: 25.000 FPS\nLength (hh/mm/ss): 00:00:10\nRate = 25, Scale = 1\nFourCC=vids\n"
        "Audio\n-------\nChannels: 1\nSampleRate: 44100\nLength (hh/mm/ss): 00:00:10\nFourCC = auds";
    EXPECT_EQ(text, expected);
}

// A file with several sound tracks and a subtitle track: the examination
// text and the entry's information text list them after the usual text, and
// the track list comes back for the page; a one-track file's text is as it
// always was (checked above).
TEST(ExamineSource, ListsEverySoundAndSubtitleTrack) {
    const QString srt = QString::fromStdString(TempFolder()) + "examine-tracks.srt";
    WriteFile(srt.toStdString(), "1\r\n00:00:00,500 --> 00:00:01,000\r\nHi\r\n\r\n");
    std::string path = Media("tracks.mkv", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1",
                                            "-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                                            "-f", "lavfi", "-i", "sine=frequency=660:duration=1", "-i", srt,
                                            "-map", "0", "-map", "1", "-map", "2", "-map", "3",
                                            "-pix_fmt", "yuv420p", "-c:v", "mpeg4", "-c:a", "aac", "-ac", "2",
                                            "-c:s", "srt", "-metadata:s:a:0", "language=eng",
                                            "-metadata:s:a:1", "language=jpn", "-metadata:s:a:1", "title=Dub",
                                            "-metadata:s:s:0", "language=fre",
                                            "-disposition:a:0", "0", "-disposition:a:1", "default"});
    ASSERT_FALSE(path.empty());
    MediaInfo info;
    std::string text;
    avs::TrackList tracks;
    avs::ForgetSourceFacts();
    const avs::SourceCounts before = avs::SourceOpenCounts();
    ASSERT_TRUE(ExamineSource(path, info, text, nullptr, &tracks));
    // The file is searched for its streams once: the tracks come with the
    // source's own opening, and nothing is decoded to look at it.
    EXPECT_EQ(avs::SourceOpenCounts().streamSearches - before.streamSearches, 1);
    EXPECT_EQ(avs::SourceOpenCounts().decoderOpens - before.decoderOpens, 0);
    EXPECT_EQ(avs::SourceOpenCounts().countDecodes - before.countDecodes, 0);
    ASSERT_EQ(tracks.sound.size(), 2u);
    ASSERT_EQ(tracks.subtitles.size(), 1u);
    const std::string lines =
        "\nSound track 1: eng, aac, 2 ch\nSound track 2: jpn, aac, 2 ch, \"Dub\" (default)\nSubtitle track 1: fre, subrip";
    ASSERT_GE(text.size(), lines.size());
    EXPECT_EQ(text.substr(text.size() - lines.size()), lines) << text;
    EXPECT_NE(text.find("FourCC = auds\nSound track 1"), std::string::npos) << text;

    VideoFileEntry entry;
    SourceRefusal refusal;
    EntryTracks kept;
    ASSERT_TRUE(MakeEntryFromPath(path, entry, refusal, {}, {}, 0, &kept));
    // Examined again (the same file, unchanged): nothing is searched.
    EXPECT_EQ(avs::SourceOpenCounts().streamSearches - before.streamSearches, 1);
    EXPECT_TRUE(kept.known);
    EXPECT_EQ(kept.tracks.sound.size(), 2u);
    EXPECT_EQ(kept.choice, TrackChoice{});
    const std::string info2 = FieldText(entry.infoText);
    EXPECT_EQ(info2, InfoText("tracks.mkv", entry.mediaInfo, 0) +
                         "Sound track 1: eng, aac, 2 ch\nSound track 2: jpn, aac, 2 ch, \"Dub\" (default)\n"
                         "Subtitle track 1: fre, subrip\n");
}

// A length that is not a whole number of seconds is rounded, in the text
// (half a second up) and in the duration (to the nearest 100 ns unit).
TEST(ExamineSource, LengthsThatAreNotWholeSecondsAreRounded) {
    struct Case {
        const char* seconds;
        const char* shown;
    };
    for (const Case c : {Case{"1.5", "00:00:02"}, Case{"1.4", "00:00:01"}, Case{"2.6", "00:00:03"}}) {
        std::string path = Media(QString("len%1.mkv").arg(c.seconds), Clip("160x120", "10", c.seconds));
        ASSERT_FALSE(path.empty());
        MediaInfo info;
        std::string text;
        ASSERT_TRUE(ExamineSource(path, info, text)) << c.seconds;
        EXPECT_NE(text.find(std::string("Length (hh/mm/ss): ") + c.shown + "\nRate"), std::string::npos)
            << c.seconds << "\n" << text;
        EXPECT_EQ(info.duration, int64_t(std::stod(c.seconds) * 10 + 0.5) * 1000000) << c.seconds;
    }
    // Ten NTSC pictures last 3,336,666.67 units: the duration rounds up.
    std::string ntsc = Media("ten.mkv", Clip("160x120", "30000/1001", "1", {"-frames:v", "10"}));
    ASSERT_FALSE(ntsc.empty());
    MediaInfo info;
    std::string text;
    ASSERT_TRUE(ExamineSource(ntsc, info, text));
    EXPECT_EQ(info.duration, 3336667);
}

TEST(ExamineSource, NtscRateAndDisplayAspectRatio) {
    std::string ntsc = Media("ntsc.mkv", Clip("160x120", "30000/1001", "2"));
    MediaInfo info;
    std::string text;
    ASSERT_TRUE(ExamineSource(ntsc, info, text));
    EXPECT_NE(text.find("Frames Per Sec: 29.970 FPS\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Rate = 30000, Scale = 1001\n"), std::string::npos) << text;

    std::string wide = Media("wide.mkv", Clip("720x480", "25", "1", {"-vf", "setsar=32/27", "-c:v", "libx264"}));
    ASSERT_TRUE(ExamineSource(wide, info, text));
    EXPECT_EQ(info.darX, 16);
    EXPECT_EQ(info.darY, 9);
    EXPECT_NE(text.find("Resolution: 720x480(DAR:16x9)\n"), std::string::npos) << text;

    std::string unknown = Media("unknown.mkv", Clip("720x480", "25", "1", {"-vf", "setsar=0/1", "-c:v", "libx264"}));
    ASSERT_TRUE(ExamineSource(unknown, info, text));
    EXPECT_EQ(info.darX, 0);
    EXPECT_EQ(info.darY, 0);
    EXPECT_NE(text.find("Resolution: 720x480\n"), std::string::npos) << text;
}

// A phone clip stored landscape with a quarter turn in its display matrix
// is examined as the portrait picture it shows: its size and aspect ratio
// are the displayed ones, so the script pillarboxes it.
TEST(ExamineSource, RotatedClipShowsItsDisplayedSizeAndAspectRatio) {
    const std::string stored = Media("landscape.mp4", Clip("160x120", "25", "1", {"-c:v", "libx264"}));
    ASSERT_FALSE(stored.empty());
    const std::string portrait =
        Media("portrait.mp4", {"-i", QString::fromStdString(stored), "-c", "copy", "-metadata:s:v:0", "rotate=90"});
    ASSERT_FALSE(portrait.empty());
    MediaInfo info;
    std::string text;
    ASSERT_TRUE(ExamineSource(portrait, info, text));
    EXPECT_EQ(info.width, 120);
    EXPECT_EQ(info.height, 160);
    EXPECT_EQ(info.darX, 3);
    EXPECT_EQ(info.darY, 4);
    EXPECT_NE(text.find("Resolution: 120x160(DAR:3x4)\n"), std::string::npos) << text;
    // Half a turn keeps the sides.
    const std::string upside =
        Media("upside.mp4", {"-i", QString::fromStdString(stored), "-c", "copy", "-metadata:s:v:0", "rotate=180"});
    ASSERT_TRUE(ExamineSource(upside, info, text));
    EXPECT_EQ(info.width, 160);
    EXPECT_EQ(info.darX, 4);
}

// A source with pictures but no sound is taken: its record has no sound
// format, its text says a silent track will be added.
TEST(ExamineSource, TakesSourcesWithoutSoundAndSaysASilentTrackIsAdded) {
    std::string silent = Media("silent.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1", "-pix_fmt", "yuv420p"});
    MediaInfo info;
    std::string text;
    SourceRefusal refusal;
    ASSERT_TRUE(ExamineSource(silent, info, text, &refusal)) << RefusalText(refusal);
    EXPECT_EQ(refusal.kind, RefusalKind::None);
    EXPECT_EQ(info.width, 160);
    EXPECT_EQ(info.height, 120);
    EXPECT_EQ(info.duration, 10000000);
    EXPECT_EQ(info.channels, 0);
    EXPECT_EQ(info.sampleRate, 0);
    EXPECT_EQ(std::string(info.videoFormat), "vids");
    EXPECT_EQ(std::string(info.audioFormat), "");
    EXPECT_NE(text.find("Resolution: 160x120"), std::string::npos) << text;
    const size_t audio = text.find("Audio\n-------\nno sound track (a silent one is added)");
    EXPECT_NE(audio, std::string::npos) << text;
    EXPECT_EQ(text.find("Channels"), std::string::npos) << text;
}

TEST(ExamineSource, RefusesSourcesWithoutVideoOrThatFailToOpen) {
    std::string sound = Media("sound.m4a", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=1"});
    std::string broken = TestRoot() + "/broken.avi";
    WriteFile(broken, std::string(5000, 'x'));
    struct Case {
        std::string path, text;
        RefusalKind kind;
    } cases[] = {
        {sound, "Could not use " + sound + " as Input!\r\nNo Video found!", RefusalKind::NoVideo},
    };
    // The refusal comes back as data; examination itself shows nothing.
    Boxes boxes;
    for (const Case& c : cases) {
        MediaInfo info;
        std::string text;
        EXPECT_FALSE(ExamineSource(c.path, info, text));
        SourceRefusal refusal;
        EXPECT_FALSE(ExamineSource(c.path, info, text, &refusal));
        EXPECT_EQ(RefusalText(refusal), c.text);
        EXPECT_EQ(refusal.kind, c.kind);
        EXPECT_EQ(refusal.path, c.path);
        EXPECT_TRUE(text.empty());
    }
    MediaInfo info;
    std::string text;
    SourceRefusal refusal;
    EXPECT_FALSE(ExamineSource(broken, info, text, &refusal));
    EXPECT_EQ(RefusalText(refusal).substr(0, 14), "Open failure:\n");
    EXPECT_NE(RefusalText(refusal).find(broken), std::string::npos);
    EXPECT_EQ(refusal.kind, RefusalKind::ScriptFailed);
    EXPECT_TRUE(boxes.shown.empty());

    // Neither pictures nor sound (a subtitle track alone): refused.
    const std::string srt = TestRoot() + "/only.srt";
    WriteFile(srt, "1\n00:00:00,000 --> 00:00:01,000\nHello\n");
    const std::string neither = Media("neither.mkv", {"-i", QString::fromStdString(srt), "-c:s", "srt"});
    ASSERT_FALSE(neither.empty());
    refusal = {};
    EXPECT_FALSE(ExamineSource(neither, info, text, &refusal));
    EXPECT_NE(refusal.kind, RefusalKind::None);
    EXPECT_NE(refusal.kind, RefusalKind::NoAudio);
    EXPECT_TRUE(text.empty());
}

// Each kind of refusal is worded the same on the page and the command line.
TEST(ExamineSource, RefusalTextsByKind) {
    const std::string p = "/v/clip.avi";
    const std::string base = "Could not use /v/clip.avi as Input!";
    EXPECT_EQ(RefusalText({RefusalKind::None, p, {}}), "");
    EXPECT_EQ(RefusalText({RefusalKind::Unusable, p, {}}), base);
    EXPECT_EQ(RefusalText({RefusalKind::PathTooLong, p, {}}), base + "\r\nThe file path is longer than 259 bytes.");
    EXPECT_EQ(RefusalText({RefusalKind::NoVideo, p, {}}), base + "\r\nNo Video found!");
    EXPECT_EQ(RefusalText({RefusalKind::NoAudio, p, {}}), base + "\r\nNo Audio found!");
    EXPECT_EQ(RefusalText({RefusalKind::NotYV12, p, {}}), base + "\r\nInput Format is not YV12 ColorSpace!");
    EXPECT_EQ(RefusalText({RefusalKind::UnsafeName, p, {}}), UnsafeScriptPathText(p));
    // The engine's text where it has one, else the plain refusal.
    EXPECT_EQ(RefusalText({RefusalKind::ScriptFailed, p, "Open failure:\nbad"}), "Open failure:\nbad");
    EXPECT_EQ(RefusalText({RefusalKind::ScriptFailed, p, {}}), base);
}

// `Kalvex --examine`, the real program: prints or refuses, and leaves no
// script behind.
TEST(ExamineSource, ExamineCommandPrintsOrRefuses) {
    const QString kalvex = QString::fromStdString(kalvex::test::BinDir() + "/Kalvex");
    auto run = [&](const std::string& path, int* code) {
        QString out;
        *code = kalvex::test::RunProgram(kalvex, {"--examine", QString::fromStdString(path)}, &out);
        return out.toStdString();
    };
    int code = -1;
    std::string text = run(Pal10s(), &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(text.find("Length (hh/mm/ss): 00:00:10"), std::string::npos) << text;
    EXPECT_NE(text.find("pal.mp4\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Length"), std::string::npos) << text;

    std::string silent = Media("silent.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1", "-pix_fmt", "yuv420p"});
    text = run(silent, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(text.find("No Audio found!"), std::string::npos) << text;
    EXPECT_NE(text.find("no sound track (a silent one is added)"), std::string::npos) << text;
    text = run(TestRoot() + "/none.mp4", &code);
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("Open failure:"), std::string::npos) << text;
    EXPECT_TRUE(QDir(QString::fromStdString(TestRoot() + "/tmp")).entryList({"*.avs"}, QDir::Files).isEmpty());
}

TEST(SourceReader, ReadsFramesAndAudioBlocksAndLogsTheOpening) {
    OpenProgramLog();
    std::string script = TestRoot() + "/reader.avs";
    WriteFile(script, "DirectShowSource(\"" + Pal10s() + "\")\nConvertToYV12()\nResampleAudio(24000)\nBicubicResize(96,64)\n");
    {
        SourceReader reader;
        ASSERT_TRUE(reader.OpenXXXFile(script));
        EXPECT_TRUE(reader.HasVideo());
        EXPECT_TRUE(reader.HasAudio());
        EXPECT_EQ(reader.Width(), 96);
        EXPECT_EQ(reader.Height(), 64);
        EXPECT_EQ(reader.Rate(), 25u);
        EXPECT_EQ(reader.Scale(), 1u);
        EXPECT_EQ(reader.Length(0), 250);
        EXPECT_EQ(reader.Length(1), 250);
        EXPECT_EQ(reader.Length(3), 250);
        EXPECT_EQ(reader.Length(4), 0);
        EXPECT_EQ(reader.Length(2), 240000);
        EXPECT_EQ(reader.Channels(), 1);
        EXPECT_EQ(reader.SampleRate(), 24000);
        reader.SetSamplesPerRead(1024);
        EXPECT_EQ(reader.Length(2), 240000 / 1024);
        EXPECT_EQ(reader.AudioBytesPerRead(), 2048);
        char type[5];
        reader.VideoType(type);
        EXPECT_STREQ(type, "vids");
        reader.AudioType(type);
        EXPECT_STREQ(type, "auds");
        for (int i = 0; i < 250; ++i) ASSERT_NE(reader.ReadVideoFrame(), nullptr);
        EXPECT_EQ(reader.VideoPosition(), 250);
        long bytes = 0, total = 0;
        for (long i = 0; i <= reader.Length(2); ++i) {
            reader.ReadAudio(&bytes);
            total += bytes;
        }
        EXPECT_EQ(total, 240000 * 2);  // every sample once, the last read short
        reader.SetAudioPosition(0);
        reader.ReadAudio(&bytes);
        EXPECT_EQ(bytes, 2048);
        EXPECT_EQ(reader.AudioPosition(), 1024);
    }
    std::string log = ReadFile(TheProgramLog()->Path());
    CloseProgramLog();
    for (const char* line : {"Entering OpenXXXFile", "#1 0", "V---", "#2-1 0", "#2-2 0", "#2-3 0", "#2-4 0", "A---", "#3-1 0",
                             "#3-2 0", "#3-3 0", "#3-4 0", "Leaving OpenXXXFile"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_LT(log.find("V---"), log.find("A---"));
}

// An examination opens a reader and reads nothing: it holds no buffer. The
// first read makes each one, at the size of the opening it reads.
TEST(SourceReader, BuffersAreMadeByTheFirstReadOfEachOpening) {
    const std::string small = TestRoot() + "/small.avs", large = TestRoot() + "/large.avs";
    WriteFile(small, "DirectShowSource(\"" + Pal10s() + "\")\nConvertToYV12()\nBicubicResize(96,64)\n");
    WriteFile(large, "DirectShowSource(\"" + Pal10s() + "\")\nConvertToYV12()\nBicubicResize(320,240)\n");
    const size_t smallPicture = 96 * 64 * 3 / 2, largePicture = 320 * 240 * 3 / 2;
    SourceReader reader;
    ASSERT_TRUE(reader.OpenXXXFile(small));
    EXPECT_EQ(reader.BufferBytes(), 0u);
    ASSERT_NE(reader.ReadVideoFrame(), nullptr);
    EXPECT_EQ(reader.BufferBytes(), 2 * smallPicture + 1);
    reader.SetSamplesPerRead(1024);
    long bytes = 0;
    ASSERT_NE(reader.ReadAudio(&bytes), nullptr);
    EXPECT_GT(bytes, 0);
    EXPECT_EQ(reader.BufferBytes(), 2 * smallPicture + 1 + size_t(SourceReader::kAudioBufferBytes));

    // Opened again on a larger picture: nothing held from the small one,
    // and every frame read in full (a buffer kept from the small opening
    // would be overrun here).
    ASSERT_TRUE(reader.OpenXXXFile(large));
    ASSERT_EQ(reader.BufferBytes(), 0u);
    for (int i = 0; i < 3; ++i) {
        const uint8_t* frame = reader.ReadVideoFrame();
        ASSERT_NE(frame, nullptr);
        // The last chroma sample of the picture was written by the read.
        EXPECT_NE(frame[largePicture - 1], 0) << "frame " << i;
    }
    EXPECT_EQ(reader.BufferBytes(), 2 * largePicture + 1);
    reader.Close();
    EXPECT_EQ(reader.BufferBytes(), 0u);
}

TEST(SourceReader, ScriptErrorsAndTheCodecPackCheck) {
    Boxes boxes;
    std::string script = TestRoot() + "/bad.avs";
    WriteFile(script, "DirectShowSource(\"" + Pal10s() + "\")\nTextSub(\"x.srt\")\n");
    {
        // The engine's error comes back as text; the reader shows nothing.
        SourceReader reader;
        EXPECT_FALSE(reader.OpenXXXFile(script));
        EXPECT_EQ(reader.OpenError().substr(0, 14), "Open failure:\n");
        EXPECT_NE(reader.OpenError().find("TextSub"), std::string::npos);
        EXPECT_FALSE(reader.OpenXXXFile(TestRoot() + "/none.avs"));  // cannot be read: no error text
        EXPECT_TRUE(reader.OpenError().empty());
    }
    EXPECT_TRUE(boxes.shown.empty());

    EXPECT_FALSE(KLiteCodecPackIsMega());
    const std::string reg = TestRoot() + "/registry/HKLM.reg";
    WriteFile(reg, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\KLCodecPack]\r\n\"type\"=\"MeGa\"\r\n");
    EXPECT_TRUE(KLiteCodecPackIsMega());
    WriteFile(reg, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\KLCodecPack]\r\n\"type\"=\"basic\"\r\n");
    EXPECT_FALSE(KLiteCodecPackIsMega());
}

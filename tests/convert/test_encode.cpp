// The encoder, one file at a time, on the calling thread; outputs are
// checked with ffprobe.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <vector>

#include <sys/resource.h>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "convert/page/ProgressTexts.h"
#include "convert/EncodeToPsp.h"
#include "convert/PspOutputList.h"
#include "platform/shell/Shell.h"
#include "platform/system/Folders.h"
#include "tests/convert/ProbeSupport.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

using test::ExaminedEntry;
using test::MakeClip;
using test::Probe;
using test::ProbeFile;
using test::TestPath;

class Encode : public ::testing::Test {
protected:
    void SetUp() override {
        AppSettings.convert = ConvertSettings{};
        ClearOutputs();
        CloseProgramLog();
        OpenProgramLog();  // into this test's data folder
    }
    void TearDown() override { CloseProgramLog(); }

    // Proceeds with every picture until `stop` is set.
    class Control : public EncodeControl {
    public:
        bool Proceed(long, long) override { return !stop; }
        bool stop = false;
    };

    bool Run(const VideoFileEntry& e, const QString& out) {
        const EncodeRequest r = test::RequestFromSettings(e, out);
        last = EncodeToPsp(r, control);
        return last.outcome == FileOutcome::Converted;
    }
    std::string Log() { return test::ReadFile(AppDataFolder() + "log/Kalvex.log"); }

    Control control;
    EncodeResult last;
};

// Both streams last as long as the source within one picture plus one AAC
// frame, and both begin at 0.
void ExpectDurations(const Probe& p, double seconds, double fps, int rate) {
    const double tolerance = 1.0 / fps + 1024.0 / rate + 1e-3;
    EXPECT_NEAR(p.Number(p.video, "duration"), seconds, tolerance);
    EXPECT_NEAR(p.Number(p.audio, "duration"), seconds, tolerance);
    EXPECT_NEAR(p.Number(p.video, "start_time"), 0.0, 1e-3);
    EXPECT_NEAR(p.Number(p.audio, "start_time"), 0.0, 1e-3);
}

TEST_F(Encode, DefaultSettingsGiveAPspMp4) {
    QString src = MakeClip("clip.mkv", 3.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    QString out = TestPath("clip.mp4");
    ASSERT_TRUE(Run(e, out));

    test::ExpectDefaultPspFile(out, 75);
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    ExpectDurations(p, 3.0, 25, 24000);
    // The video bit rate follows the setting (400 kbit/s).
    EXPECT_NEAR(p.Number(p.video, "bit_rate"), 400000, 100000);

    EXPECT_EQ(last.framesWritten, 75);
    EXPECT_EQ(last.unreadableFrames, 0);
    EXPECT_TRUE(last.reason.empty());
}

struct RateCase {
    int x, y;
    double fps;
    int resample;
    const char* frameRate;  // as ffprobe shows it
    int sampleRate;
};

class EncodeRates : public Encode, public ::testing::WithParamInterface<RateCase> {};

TEST_P(EncodeRates, SizeFrameRateAndSampleRateFollowTheSettings) {
    const RateCase c = GetParam();
    QString src = MakeClip("src.mkv", 2.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    AppSettings.convert.width = c.x;
    AppSettings.convert.height = c.y;
    AppSettings.convert.fps = c.fps;
    AppSettings.convert.audioResample = c.resample;
    QString out = TestPath("src.mp4");
    ASSERT_TRUE(Run(e, out));
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4");
    EXPECT_EQ(p.video.value("width").toInt(), c.x);
    EXPECT_EQ(p.video.value("height").toInt(), c.y);
    EXPECT_EQ(p.video.value("r_frame_rate").toString(), c.frameRate);
    EXPECT_EQ(p.audio.value("codec_name").toString(), "aac");
    EXPECT_EQ(p.audio.value("sample_rate").toString(), QString::number(c.sampleRate));
    EXPECT_EQ(p.audio.value("channels").toInt(), 2);
    const QStringList fr = QString(c.frameRate).split('/');
    ExpectDurations(p, 2.0, fr[0].toDouble() / fr[1].toDouble(), c.sampleRate);
}

INSTANTIATE_TEST_SUITE_P(Settings, EncodeRates,
                         ::testing::Values(RateCase{320, 240, 30, 48000, "30/1", 48000},
                                           RateCase{368, 208, 29.97, 0, "30000/1001", 44100},
                                           RateCase{368, 208, 0, 24000, "25/1", 24000},
                                           // A rate that is neither whole nor 1000/1001: the pictures
                                           // keep the script's own rate, so sound and picture agree.
                                           RateCase{368, 208, 24.5, 24000, "49/2", 24000},
                                           // 0.23 % off the NTSC rate the time base rule gives: still
                                           // far enough to drift, so the script's rate is kept.
                                           RateCase{368, 208, 29.9, 24000, "299/10", 24000}));

// The sound lasts exactly as long as the source's: the last AAC frame,
// which holds less than 1,024 samples, is written too (2 s at 24 kHz are 46
// whole frames and 896 samples), and the file says where the sound ends.
// The sources carry PCM, so their own length is exact.
TEST_F(Encode, SoundKeepsItsLastPartialFrame) {
    for (int sourceRate : {24000, 44100}) {
        const QString name = QString("tail%1").arg(sourceRate);
        QString src = test::MakeMedia(name + ".mkv",
                                      {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2", "-f", "lavfi",
                                       "-i", QString("sine=frequency=440:sample_rate=%1:duration=2").arg(sourceRate),
                                       "-c:a", "pcm_s16le"});
        ASSERT_FALSE(src.isEmpty());
        VideoFileEntry e = ExaminedEntry(src);
        QString out = TestPath(name + ".mp4");
        ASSERT_TRUE(Run(e, out)) << last.reason;
        Probe p = ProbeFile(out);
        ASSERT_TRUE(p.ok);
        // Within 48 samples (2 ms) where a lost last frame costs up to 1,023.
        EXPECT_NEAR(p.Number(p.audio, "duration"), 2.0, 0.002) << "from " << sourceRate << " Hz";
    }
}

// The PSNR of a converted file's pictures against its source scaled to the
// output size, as the ffmpeg tool's psnr filter reports it; -1 on failure.
// Both start at 0, so that the filter pairs the same pictures (Matroska
// starts a few milliseconds in).
double PsnrAgainstSource(const QString& converted, const QString& source) {
    QProcess p;
    p.start("ffmpeg", {"-nostdin", "-hide_banner", "-i", converted, "-i", source, "-lavfi",
                       "[1:v]scale=368:208:flags=lanczos,setpts=PTS-STARTPTS[r];[0:v]setpts=PTS-STARTPTS[d];[d][r]psnr", "-f", "null", "-"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) return -1;
    const auto m = QRegularExpression("PSNR .*average:([0-9.]+)").match(QString::fromUtf8(p.readAllStandardError()));
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

// The longest run of pictures after a key picture in a file.
int LongestRunAfterAKey(const QString& path) { return test::LongestRunAfterAKey(test::PictureTypes(path)); }

// Best quality stays a PSP file (Simple Profile, no B-frames, the same
// rate) and spends its time on a better picture, with a key picture every
// two seconds where the default has one every twelve pictures.
TEST_F(Encode, BestQualityStaysAPspFileWithABetterPicture) {
    // At the output size, so that the judge sees the encoder alone.
    QString src = MakeClip("busy.mkv", 2.0, 368, 208, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    const QString fast = TestPath("fast.mp4"), best = TestPath("best.mp4");
    ASSERT_TRUE(Run(e, fast)) << last.reason;
    AppSettings.convert.quality = kBestQuality;
    ASSERT_TRUE(Run(e, best)) << last.reason;

    test::ExpectDefaultPspFile(best, 50, 50);
    EXPECT_EQ(LongestRunAfterAKey(best), 49);
    EXPECT_EQ(LongestRunAfterAKey(fast), 11);
    // Not bought with bits: no larger than the fast file.
    const double fastRate = ProbeFile(fast).Number(ProbeFile(fast).video, "bit_rate");
    const double bestRate = ProbeFile(best).Number(ProbeFile(best).video, "bit_rate");
    EXPECT_LE(bestRate, fastRate * 1.01);
    const double fastPsnr = PsnrAgainstSource(fast, src), bestPsnr = PsnrAgainstSource(best, src);
    ASSERT_GT(fastPsnr, 0);
    EXPECT_GT(bestPsnr, fastPsnr + 0.2) << "fast " << fastPsnr << " dB, best " << bestPsnr << " dB";
}

// At a slow frame rate two seconds are fewer pictures than the default's
// twelve: the key pictures of best quality are then twelve apart, never
// closer (5 fps: 10 pictures in two seconds).
TEST_F(Encode, BestQualityKeepsAtLeastTwelvePicturesBetweenKeysAtASlowRate) {
    const QString src = MakeClip("slow.mkv", 4.0, 368, 208, "5", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    AppSettings.convert.quality = kBestQuality;
    const QString out = TestPath("slow.mp4");
    ASSERT_TRUE(Run(ExaminedEntry(src), out)) << last.reason;
    const QStringList types = test::PictureTypes(out);
    ASSERT_EQ(types.size(), 20);
    EXPECT_EQ(types.at(12), "I");
    EXPECT_EQ(LongestRunAfterAKey(out), 11);
}

// The sizes in bytes of the video packets of a file, in decoding order.
std::vector<long> VideoPacketSizes(const QString& path) {
    QString out;
    test::RunProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size", "-of", "csv=p=0", path},
                     &out);
    std::vector<long> sizes;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) sizes.push_back(line.trimmed().toLong());
    return sizes;
}

// The most bits any `window` pictures in a row take.
long MostBitsIn(const std::vector<long>& sizes, size_t window) {
    long most = 0, sum = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        sum += sizes[i] * 8;
        if (i >= window) sum -= sizes[i - window] * 8;
        most = std::max(most, sum);
    }
    return most;
}

// Best quality on a clip of fine moving noise, the hardest picture to
// code: the file stays a PSP file and keeps the PSP decoder's buffer model
// (768 kbit/s filling a buffer of one second, so that no second of
// pictures holds more than 768 kbit plus that buffer; without it the slow
// tools spent 1.6 Mbit in the first second at a setting of 768), and the
// whole stays within a second of bits of the setting. Above 768, the
// user's own choice, the file is still made and spends what was asked.
TEST_F(Encode, BestQualityKeepsEverySecondWithinThePspRate) {
    const QString src = test::MakeMedia(
        "noise.mkv", {"-f", "lavfi", "-i", "testsrc2=size=368x208:rate=25:duration=5,noise=alls=20:allf=t", "-f",
                      "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=5", "-ac", "2", "-c:v", "ffv1", "-c:a", "pcm_s16le"});
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    AppSettings.convert.quality = kBestQuality;
    for (int kbps : {400, 768, 769}) {
        SCOPED_TRACE(testing::Message() << kbps << " kbit/s");
        AppSettings.convert.videoBitrate = kbps;
        const QString out = TestPath(QString("noise%1.mp4").arg(kbps));
        if (!Run(e, out)) {
            ADD_FAILURE() << last.reason;
            continue;
        }
        test::ExpectDefaultPspFile(out, 125, 50);
        const std::vector<long> sizes = VideoPacketSizes(out);
        ASSERT_EQ(sizes.size(), 125u);
        long total = 0;
        for (long s : sizes) total += s * 8;
        const long second = kbps * 1000L;
        if (kbps <= 768) {
            EXPECT_LE(MostBitsIn(sizes, 25), 768000 + 768000) << "bits in the fullest second";
        }
        EXPECT_LE(total, second * 6);
        EXPECT_GE(total, second * 4);
    }
}

TEST_F(Encode, TrimmedSourceLastsAsLongAsItsRange) {
    QString src = MakeClip("long.mp4", 3.0, 320, 240, "25", 48000, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    e.startTime = 10000000;  // 1 s
    e.endTime = 20000000;    // 2 s
    QString out = TestPath("long.trim.mp4");
    ASSERT_TRUE(Run(e, out));
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    // Trim(25,50) keeps frames 25 to 50: 26 pictures.
    EXPECT_EQ(p.video.value("nb_read_frames").toString(), "26");
    ExpectDurations(p, 26 / 25.0, 25, 24000);
}

// The script's YV12 planes (Y, V, U) reach the encoder as Y, U, V: a red
// source stays red, it does not turn blue.
TEST_F(Encode, ColoursSurviveThePlaneOrder) {
    QString src = test::MakeMedia("red.mkv", {"-f", "lavfi", "-i", "color=c=red:size=160x120:rate=25:duration=1", "-f",
                                              "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=1",
                                              "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(src.isEmpty());
    QString out = TestPath("red.mp4");
    ASSERT_TRUE(Run(ExaminedEntry(src), out));
    QString rgb = TestPath("red.rgb");
    ASSERT_EQ(test::RunProgram("ffmpeg", {"-v", "error", "-y", "-i", out, "-frames:v", "1", "-f", "rawvideo",
                                          "-pix_fmt", "rgb24", rgb}),
              0);
    const std::string pixels = test::ReadFile(rgb.toStdString());
    ASSERT_EQ(pixels.size(), size_t(368 * 208 * 3));
    const size_t centre = (size_t(104) * 368 + 184) * 3;
    EXPECT_GT(uint8_t(pixels[centre]), 200);      // red
    EXPECT_LT(uint8_t(pixels[centre + 1]), 60);   // green
    EXPECT_LT(uint8_t(pixels[centre + 2]), 60);   // blue
    // The 4:3 picture is boxed into 16:9 with black at the sides.
    EXPECT_LT(uint8_t(pixels[(size_t(104) * 368 + 4) * 3]), 40);
}

// An HD source with BT.709 numbers (declared, or guessed from its size)
// comes out of the PSP file with the BT.601 numbers of its colours.
TEST_F(Encode, HdColoursComeOutAsTheirBt601Numbers) {
    for (const bool tagged : {true, false}) {
        SCOPED_TRACE(tagged);
        QStringList args{"-f", "lavfi", "-i", "color=c=red:s=640x720:d=0.4:r=25,format=rgb24",
                         "-f", "lavfi", "-i", "color=c=0x00FF00:s=640x720:d=0.4:r=25,format=rgb24",
                         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=0.4",
                         "-filter_complex", "[0:v][1:v]hstack=inputs=2,scale=out_color_matrix=bt709:out_range=tv,"
                                            "format=yuv420p[v]",
                         "-map", "[v]", "-map", "2:a", "-c:v", "ffv1"};
        if (tagged) args << "-colorspace" << "bt709" << "-color_range" << "tv";
        const QString src = test::MakeMedia(tagged ? "hd709.mkv" : "hd.mkv", args);
        ASSERT_FALSE(src.isEmpty());
        const QString out = TestPath(tagged ? "hd709.mp4" : "hd.mp4");
        ASSERT_TRUE(Run(ExaminedEntry(src), out)) << last.reason;
        const QString yuv = out + ".yuv";
        ASSERT_EQ(test::RunProgram("ffmpeg", {"-v", "error", "-y", "-i", out, "-frames:v", "1", "-f", "rawvideo",
                                              "-pix_fmt", "yuv420p", yuv}),
                  0);
        const std::string p = test::ReadFile(yuv.toStdString());
        ASSERT_EQ(p.size(), size_t(368 * 208 * 3 / 2));
        auto at = [&](int x, int y, int plane) {
            if (plane == 0) return int(uint8_t(p[size_t(y) * 368 + x]));
            const size_t base = size_t(368 * 208) + (plane == 2 ? size_t(184 * 104) : 0);
            return int(uint8_t(p[base + size_t(y / 2) * 184 + x / 2]));
        };
        // Red at a quarter of the width, green at three quarters.
        EXPECT_NEAR(at(92, 104, 0), 81, 4);
        EXPECT_NEAR(at(92, 104, 1), 90, 4);
        EXPECT_NEAR(at(92, 104, 2), 240, 4);
        EXPECT_NEAR(at(276, 104, 0), 145, 4);
        EXPECT_NEAR(at(276, 104, 1), 54, 4);
        EXPECT_NEAR(at(276, 104, 2), 34, 4);
    }
}

TEST_F(Encode, PspMuxerAlsoKeepsMpeg4AndAac) {
    QString src = MakeClip("psp.mkv", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    std::strcpy(AppSettings.convert.format, "psp");
    QString out = TestPath("psp.mp4");
    ASSERT_TRUE(Run(e, out));
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("codec_name").toString(), "mpeg4");
    EXPECT_EQ(p.video.value("nb_read_frames").toString(), "25");
    EXPECT_EQ(p.audio.value("codec_name").toString(), "aac");
    EXPECT_EQ(p.audio.value("profile").toString(), "LC");
}

// Sound and pictures lie side by side in the file, whichever thread
// encoded the sound: in the file's order no packet is more than half a
// second of time from the one before it (a player reading the file from
// a Memory Stick never jumps far for the other stream). 12 s: more than
// the muxer's own ten seconds of holding back, which would otherwise
// hide sound written late.
TEST_F(Encode, SoundAndPicturesLieSideBySideInTheFile) {
    const QString src = MakeClip("side.mkv", 12.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    const QString out = TestPath("side.mp4");
    ASSERT_TRUE(Run(ExaminedEntry(src), out)) << last.reason;
    QString listing;
    test::RunProgram("ffprobe", {"-v", "error", "-show_entries", "packet=pos,dts_time,stream_index", "-of", "csv=p=0", out},
                     &listing);
    struct Packet {
        long long pos;
        double time;
        int stream;
    };
    std::vector<Packet> packets;
    for (const QString& line : listing.split('\n', Qt::SkipEmptyParts)) {
        const QStringList f = line.trimmed().split(',');
        if (f.size() >= 3) packets.push_back({f[2].toLongLong(), f[1].toDouble(), f[0].toInt()});
    }
    std::sort(packets.begin(), packets.end(), [](const Packet& a, const Packet& b) { return a.pos < b.pos; });
    ASSERT_GE(packets.size(), 300u + 282u);  // 300 pictures; 12 s at 24 kHz are 282 frames of 1,024 samples
    double widest = 0;
    int switches = 0;
    for (size_t i = 1; i < packets.size(); ++i) {
        widest = std::max(widest, std::fabs(packets[i].time - packets[i - 1].time));
        if (packets[i].stream != packets[i - 1].stream) ++switches;
    }
    EXPECT_LE(widest, 0.5);
    EXPECT_GE(switches, 24);  // at least once a second each way
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    EXPECT_NEAR(p.Number(p.audio, "duration"), 12.0, 0.05);
}

// Sound longer than the pictures ends with the last picture: the reading
// stops at the block that reaches the pictures' end (72 pictures at 25 fps,
// 2.88 s, are exactly 135 blocks of 1,024 samples at 48 kHz), so the file's
// sound lasts at least as long as the pictures and at most one frame more.
TEST_F(Encode, LongerSoundEndsWithTheLastPicture) {
    const QString src = test::MakeMedia("longsound.mkv", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2.88",
                                                          "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3",
                                                          "-c:a", "pcm_s16le"});
    ASSERT_FALSE(src.isEmpty());
    const QString out = TestPath("longsound.mp4");
    ASSERT_TRUE(Run(ExaminedEntry(src), out)) << last.reason;
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("nb_read_frames").toString(), "72");
    const double sound = p.Number(p.audio, "duration");
    EXPECT_GE(sound, 2.88 - 0.001);
    EXPECT_LE(sound, 2.88 + 1024 / 24000.0);
}

// A stop in the middle of a file, while the sound's thread is ahead of the
// pictures (or waiting on its full queue), ends the file at once and
// leaves nothing.
TEST_F(Encode, StoppedInTheMiddleEndsTheSoundToo) {
    const QString src = MakeClip("midstop.mkv", 8.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    class StopAt : public EncodeControl {
    public:
        bool Proceed(long done, long) override { return done < 100; }
    } stopAt;
    const QString out = TestPath("midstop.mp4");
    const EncodeResult r = EncodeToPsp(test::RequestFromSettings(ExaminedEntry(src), out), stopAt);
    EXPECT_EQ(r.outcome, FileOutcome::Stopped);
    EXPECT_EQ(r.framesWritten, 100);
    EXPECT_TRUE(r.reason.empty());
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_EQ(QDir(test::TestRoot().c_str()).entryList({"*.part"}, QDir::Files | QDir::Hidden).size(), 0);
}

TEST_F(Encode, StoppedLeavesNothingBehind) {
    QString src = MakeClip("stop.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    control.stop = true;
    QString out = TestPath("stop.mp4");
    EXPECT_FALSE(Run(e, out));
    EXPECT_EQ(last.outcome, FileOutcome::Stopped);
    EXPECT_TRUE(last.reason.empty());
    EXPECT_EQ(last.framesWritten, 0);
    EXPECT_EQ(QDir(test::TestRoot().c_str()).entryList({"*.part", "stop.mp4"}, QDir::Files | QDir::Hidden).size(), 0);
}

TEST_F(Encode, FailuresLeaveNoOutputFile) {
    QString src = MakeClip("bad.avi", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);

    // An unknown muxer name.
    std::strcpy(AppSettings.convert.format, "nosuch");
    QString out = TestPath("bad.mp4");
    EXPECT_FALSE(Run(e, out));
    EXPECT_NE(Log().find("Could not get psp format."), std::string::npos);
    std::strcpy(AppSettings.convert.format, "mp4");

    // A sample rate the AAC encoder refuses: the codec does not open.
    AppSettings.convert.audioResample = 12345;
    EXPECT_FALSE(Run(e, out));
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_NE(Log().find("could not open codec"), std::string::npos);
    // The step and the library's own words.
    EXPECT_NE(last.reason.find("Opening the audio encoder failed: "), std::string::npos) << last.reason;
    AppSettings.convert.audioResample = 24000;

    // A folder that cannot be written (a file stands where it should be).
    test::WriteFile(test::TestRoot() + "/locked", "not a folder");
    QString locked = TestPath("locked/bad.mp4");
    EXPECT_FALSE(Run(e, locked));
    EXPECT_FALSE(QFile::exists(locked));
    EXPECT_NE(Log().find("Could not open '" + locked.toStdString() + "'"), std::string::npos);
}

// A disk that fills up while the file is written: the file fails, nothing
// partial is left, and an earlier good file of the same name stays.
TEST_F(Encode, FullDiskFailsTheFileAndKeepsTheEarlierOne) {
    QString src = MakeClip("full.avi", 2.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    QString out = TestPath("full.mp4");
    ASSERT_TRUE(Run(e, out));
    const std::string good = test::ReadFile(out.toStdString());
    ASSERT_GT(good.size(), 40000u);

    // A file size limit stands in for a small disk: writes past 16 KiB fail.
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = Run(e, out);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);

    EXPECT_FALSE(ok);
    EXPECT_EQ(last.outcome, FileOutcome::Failed);
    // The failing step and the system's own words.
    EXPECT_NE(last.reason.find("failed: File too large"), std::string::npos) << last.reason;
    EXPECT_EQ(test::ReadFile(out.toStdString()), good);
    EXPECT_EQ(QDir(test::TestRoot().c_str()).entryList({"*.part"}, QDir::Files | QDir::Hidden).size(), 0);
}

TEST_F(Encode, ScriptThatCannotBeWrittenFailsTheFile) {
    QString src = MakeClip("noscript.mkv", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    // The temporary folder is not a folder.
    test::WriteFile(test::TestRoot() + "/tmpfile", "x");
    setenv("TMPDIR", (test::TestRoot() + "/tmpfile").c_str(), 1);
    QString out = TestPath("noscript.mp4");
    EXPECT_FALSE(Run(e, out));
    setenv("TMPDIR", (test::TestRoot() + "/tmp").c_str(), 1);
    const std::string text = "Generate avs file failed from " + src.toStdString() + "!";
    // The kind comes as data; the box the user gets is worded from it.
    EXPECT_EQ(last.failure, FailureKind::ScriptNotWritten);
    FileResult shown;
    shown.source = src.toStdString();
    shown.failure = last.failure;
    shown.failureDetail = last.failureDetail;
    const std::optional<FailureBox> box = FailureBoxFor(shown);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "Error");
    EXPECT_EQ(box->text, text);
    EXPECT_FALSE(box->codecPackOffer);
    EXPECT_NE(Log().find(text), std::string::npos);
    EXPECT_FALSE(QFile::exists(out));
}

// An entry from an older list may say the file had sound that it no longer
// has (six channels at 44.1 kHz here): the file is converted with a silent
// stereo track at the settings' rate all the same.
TEST_F(Encode, ScriptWithoutSoundGetsASilentStereoTrackWhateverTheEntrySays) {
    QString src = MakeClip("mute.avi", 1.0, 160, 120, "25", 44100, 2, true, false);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ZeroEntry();
    SetFieldText(e.fullPath, src.toStdString());
    SetFieldText(e.fileName, "mute.avi");
    e.mediaInfo.width = 160;
    e.mediaInfo.height = 120;
    e.mediaInfo.fps = 25;
    e.mediaInfo.duration = 10000000;
    e.mediaInfo.channels = 6;
    e.mediaInfo.sampleRate = 44100;
    e.endTime = e.mediaInfo.duration;
    AppSettings.convert.audioResample = 0;
    QString out = TestPath("mute.mp4");
    ASSERT_TRUE(Run(e, out)) << last.reason;
    Probe p = ProbeFile(out);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.audio.value("channels").toInt(), 2);
    EXPECT_EQ(p.audio.value("sample_rate").toString(), QString::number(kSilentTrackRate));
    ExpectDurations(p, 1.0, 25, kSilentTrackRate);
}

TEST_F(Encode, MissingSourceFailsWithTheLoggedPath) {
    VideoFileEntry e = ZeroEntry();
    const std::string missing = test::TestRoot() + "/gone.avi";
    SetFieldText(e.fullPath, missing);
    SetFieldText(e.fileName, "gone.avi");
    e.mediaInfo.fps = 25;
    e.mediaInfo.channels = 2;
    e.mediaInfo.sampleRate = 44100;
    QString out = TestPath("gone.mp4");
    EXPECT_FALSE(Run(e, out));
    EXPECT_FALSE(QFile::exists(out));
    EXPECT_NE(Log().find("Open avs failed " + missing), std::string::npos);
    EXPECT_EQ(last.failure, FailureKind::SourceNotOpened);
    EXPECT_NE(last.failureDetail.find("Open failure:"), std::string::npos);
    FileResult shown;
    shown.failure = last.failure;
    shown.failureDetail = last.failureDetail;
    const std::optional<FailureBox> box = FailureBoxFor(shown);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "Error!");
    EXPECT_EQ(box->text, last.failureDetail);
    EXPECT_TRUE(box->codecPackOffer);
}

TEST(TimeBaseRule, WholeAndFractionalRates) {
    auto tb = [](double r) {
        TimeBase t = VideoTimeBase(r);
        return std::to_string(t.num) + "/" + std::to_string(t.den);
    };
    EXPECT_EQ(tb(30), "1/30");
    EXPECT_EQ(tb(25), "1/25");
    EXPECT_EQ(tb(29.97), "1001/30000");
    EXPECT_EQ(tb(30000.0 / 1001), "1001/30000");
    EXPECT_EQ(tb(23.976), "1001/24000");
    EXPECT_EQ(tb(24.5), "1001/25000");
    // Any rate that is not whole, however little it lies above a whole
    // number (set.ini may hold any text), gets the NTSC-style time base.
    EXPECT_EQ(tb(24.49), "1001/25000");
    EXPECT_EQ(tb(10.01), "1001/11000");
}

TEST(TimeBaseRule, GlobalHeaderByMuxerName) {
    EXPECT_TRUE(MuxerWantsGlobalHeader("mp4"));
    EXPECT_TRUE(MuxerWantsGlobalHeader("mov"));
    EXPECT_TRUE(MuxerWantsGlobalHeader("3gp"));
    EXPECT_FALSE(MuxerWantsGlobalHeader("psp"));
    EXPECT_FALSE(MuxerWantsGlobalHeader("avi"));
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// A source cut short while it is converted: the pictures that cannot be
// read repeat the last good one and are counted; past 1 % the file fails
// with that count, and nothing is left under its name.
TEST_F(Encode, ASourceCutShortIsNotConverted) {
    QString src = MakeClip("cut.mkv", 4.0, 320, 240, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    VideoFileEntry e = ExaminedEntry(src);
    ASSERT_EQ(e.mediaInfo.duration, 40000000);
    // The file loses its second half after it was added to the list.
    const std::string bytes = test::ReadFile(src.toStdString());
    test::WriteFile(src.toStdString(), bytes.substr(0, bytes.size() / 2));
    QString out = TestPath("cut-out.mp4");
    EXPECT_FALSE(Run(e, out));
    EXPECT_EQ(last.outcome, FileOutcome::Failed);
    EXPECT_GT(last.unreadableFrames, 1);
    EXPECT_NE(last.reason.find(" of 100 pictures could not be read"), std::string::npos) << last.reason;
    EXPECT_FALSE(QFile::exists(out));
}

TEST(UnreadablePictures, MoreThanOnePercentFails) {
    EXPECT_FALSE(TooManyUnreadable(0, 100));
    EXPECT_FALSE(TooManyUnreadable(1, 100));   // exactly 1 %
    EXPECT_TRUE(TooManyUnreadable(2, 100));
    EXPECT_FALSE(TooManyUnreadable(10, 1000));
    EXPECT_TRUE(TooManyUnreadable(11, 1000));  // 1.1 %
    EXPECT_FALSE(TooManyUnreadable(1, 101));   // 0.99 %
    EXPECT_TRUE(TooManyUnreadable(1, 1));      // no picture at all
    EXPECT_TRUE(TooManyUnreadable(5, 5));
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// The sound of a file as 16-bit stereo samples, decoded by the ffmpeg tool.
std::string DecodedSound(const QString& file) {
    const QString raw = file + ".s16";
    QString text;
    if (test::RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-y", "-i", file, "-map", "0:a", "-ac", "2", "-f", "s16le",
                                    "-c:a", "pcm_s16le", raw},
                         &text) != 0) {
        ADD_FAILURE() << text.toStdString();
        return {};
    }
    return test::ReadFile(raw.toStdString());
}

// A source with pictures and no sound converts with a silent stereo AAC
// track exactly as long as its pictures (within one AAC frame): at the
// settings' sample rate, or 48 kHz when they keep the source's own rate.
// The length is not a whole number of seconds, nor of AAC frames.
TEST_F(Encode, SourceWithoutSoundGetsASilentTrackAsLongAsItsPictures) {
    struct Case {
        int resample, rate;
    };
    QString src = MakeClip("mute.mkv", 1.52, 320, 240, "25", 44100, 2, true, false);
    ASSERT_FALSE(src.isEmpty());
    for (const Case c : {Case{24000, 24000}, Case{0, kSilentTrackRate}}) {
        SCOPED_TRACE(c.resample);
        AppSettings.convert = ConvertSettings{};
        AppSettings.convert.audioResample = c.resample;
        VideoFileEntry e = ExaminedEntry(src);
        EXPECT_EQ(e.mediaInfo.channels, 0);
        const QString out = TestPath(QString("mute_%1.mp4").arg(c.resample));
        ASSERT_TRUE(Run(e, out)) << last.reason;
        if (c.resample == 24000) test::ExpectDefaultPspFile(out, 38);
        Probe p = ProbeFile(out);
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.audio.value("codec_name").toString(), "aac");
        EXPECT_EQ(p.audio.value("channels").toInt(), 2);
        EXPECT_EQ(p.audio.value("sample_rate").toString(), QString::number(c.rate));
        ExpectDurations(p, 1.52, 25, c.rate);
        const std::string sound = DecodedSound(out);
        const double samples = double(sound.size()) / 4;
        EXPECT_NEAR(samples, 1.52 * c.rate, 1024) << "the track's length in samples";
        EXPECT_EQ(std::count(sound.begin(), sound.end(), '\0'), long(sound.size())) << "not silent";
    }
    EXPECT_NE(Log().find(src.toStdString() + " has no sound track: a silent one is added"), std::string::npos);
}

// A source whose sound track is there but cannot be decoded (the decoder
// does not open, or no packet decodes) fails its file with that reason,
// logged once; no mute output is left under any name.
TEST_F(Encode, SoundThatCannotBeDecodedFailsTheFileInsteadOfAMuteOutput) {
    struct Case {
        test::BrokenSound how;
        const char* name;
        const char* step;
    };
    for (const Case& c : {Case{test::BrokenSound::DecoderSetUp, "nosetup", "opening the aac decoder failed: "},
                          Case{test::BrokenSound::EveryPacket, "nopacket", "decoding failed: "}}) {
        SCOPED_TRACE(c.name);
        QString src = test::MakeClipWithBrokenSound(QString(c.name) + ".mkv", c.how);
        ASSERT_FALSE(src.isEmpty());
        // The examination takes it: the container describes the sound.
        VideoFileEntry e = ExaminedEntry(src);
        EXPECT_EQ(e.mediaInfo.channels, 2);
        QString out = TestPath(QString(c.name) + ".mp4");
        EXPECT_FALSE(Run(e, out));
        EXPECT_EQ(last.outcome, FileOutcome::Failed);
        EXPECT_NE(last.reason.find("the sound of \"" + src.toStdString() + "\" cannot be read: " + c.step),
                  std::string::npos)
            << last.reason;
        EXPECT_TRUE(last.failureDetail.empty());
        EXPECT_EQ(last.failure, FailureKind::Other);
        FileResult shown;
        shown.failure = last.failure;
        EXPECT_FALSE(FailureBoxFor(shown));  // told in the run's summary, not in a box
        EXPECT_FALSE(QFile::exists(out));
        EXPECT_EQ(QDir(test::TestRoot().c_str()).entryList({"*.part"}, QDir::Files | QDir::Hidden).size(), 0);
        // Logged once, with the output it was for.
        const std::string log = Log();
        const std::string line = last.reason + " (" + out.toStdString() + ")";
        const size_t at = log.find(line);
        EXPECT_NE(at, std::string::npos) << log;
        EXPECT_EQ(log.find(last.reason, at + 1), std::string::npos) << "logged twice";
    }
}

}  // namespace
}  // namespace kalvex

namespace kalvex {
namespace {

// The run's settings make both the script and the encoder: settings changed
// in the window while the run goes on reach neither for a file of that run.
TEST_F(Encode, TheRunsSettingsMakeTheScriptNotTheCurrentOnes) {
    QString src = MakeClip("snapshot.mkv", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    EncodeRequest r;
    r.entry = ExaminedEntry(src);
    r.outputPath = TestPath("snapshot.mp4").toStdString();
    r.settings.width = 320;
    r.settings.height = 240;
    AppSettings.convert.width = 480;  // changed since the run began
    AppSettings.convert.height = 272;
    last = EncodeToPsp(r, control);
    ASSERT_EQ(last.outcome, FileOutcome::Converted) << last.reason;
    Probe p = ProbeFile(TestPath("snapshot.mp4"));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.video.value("width").toInt(), 320);
    EXPECT_EQ(p.video.value("height").toInt(), 240);
}

// A choice that names a track the file no longer has (the file was replaced
// after it was examined) fails the file with the engine's reason, which
// names the file and the track; nothing is written.
TEST_F(Encode, AChosenTrackTheFileNoLongerHasFailsWithTheReason) {
    QString src = MakeClip("changed.mkv", 1.0, 160, 120, "25", 44100, 2);
    ASSERT_FALSE(src.isEmpty());
    const VideoFileEntry e = ExaminedEntry(src);
    const QString out = TestPath("changed.mp4");
    auto run = [&](TrackChoice tracks, VideoFileEntry entry) {
        EncodeRequest r;
        r.entry = entry;
        r.tracks = tracks;
        r.outputPath = out.toStdString();
        r.settings = AppSettings.convert;
        last = EncodeToPsp(r, control);
        return last.outcome == FileOutcome::Converted;
    };
    EXPECT_FALSE(run(TrackChoice{2, 0, false}, e));
    EXPECT_EQ(last.failure, FailureKind::SourceNotOpened);
    EXPECT_NE(last.failureDetail.find(src.toStdString()), std::string::npos) << last.failureDetail;
    EXPECT_NE(last.failureDetail.find("no sound track 2"), std::string::npos) << last.failureDetail;
    EXPECT_FALSE(QFile::exists(out));

    VideoFileEntry burned = e;
    burned.useSubtitle = 1;
    EXPECT_FALSE(run(TrackChoice{0, 1, false}, burned));
    EXPECT_EQ(last.failure, FailureKind::SourceNotOpened);
    EXPECT_NE(last.failureDetail.find(src.toStdString()), std::string::npos) << last.failureDetail;
    EXPECT_FALSE(QFile::exists(out));

    // The track it has converts.
    EXPECT_TRUE(run(TrackChoice{1, 0, false}, e)) << last.reason;
}

}  // namespace
}  // namespace kalvex

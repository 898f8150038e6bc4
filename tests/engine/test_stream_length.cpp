// The length of a source comes from its picture and sound streams: a
// subtitle line long after the film ends (which stretches the container's
// duration) never adds pictures that are not there, while a file cut short
// behind a header that promises more keeps its promised length.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/SourceCounts.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

// A line at 1 s and one at 63 s.
QString LateSubRip() {
    const std::string path = TestRoot() + "/late.srt";
    WriteFile(path, "1\n00:00:01,000 --> 00:00:02,000\nEARLY\n\n2\n00:01:03,000 --> 00:01:04,000\nLATE\n\n");
    return QString::fromStdString(path);
}

// Ten seconds of numbered pictures (25 a second) and sound (44.1 kHz),
// with the late subtitle muxed in as `codec`.
std::string Stretched(const QString& name, const QString& codec, bool video = true) {
    QStringList args;
    if (video)
        args << "-f" << "lavfi" << "-i"
             << "color=c=black:s=160x120:r=25:d=10,geq=lum='if(lt(X,W/2),16+8*mod(N,25),16+8*floor(N/25))':cb=128:cr=128";
    args << "-f" << "lavfi" << "-i" << "sine=f=440:sample_rate=44100:d=10" << "-i" << LateSubRip();
    if (video) args << "-map" << "0" << "-map" << "1" << "-map" << "2" << "-c:v" << "libx264" << "-g" << "50" << "-pix_fmt" << "yuv420p";
    else args << "-map" << "0" << "-map" << "1";
    // AAC's priming would start the Matroska pictures a frame late.
    args << "-c:a" << (name.endsWith(".mp4") ? "aac" : "pcm_s16le") << "-c:s" << codec;
    return SharedMedia(name, args);
}

std::string SourceScript(const std::string& path) {
    return WriteScript("DirectShowSource(\"" + path + "\")\nConvertToYV12()\n");
}

void ExpectTenSecondsThatReadWhole(const std::string& file) {
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(file))) << o.error;
    EXPECT_EQ(o.videoInfo.dwLength, 250u) << file;
    // AAC ends on a whole block of 1024 samples.
    EXPECT_NEAR(double(o.audioInfo.dwLength), 441000.0, 2048.0) << file;
    const int w = o.header.biWidth, h = o.header.biHeight;
    int failed = 0;
    for (long n = 0; n < long(o.videoInfo.dwLength); ++n) {
        const std::vector<uint8_t> f = o.Frame(n);
        if (f.empty()) {
            ++failed;
            continue;
        }
        EXPECT_EQ(FrameNumber(f.data(), w, h), n) << file << " frame " << n;
    }
    EXPECT_EQ(failed, 0) << file;
}

}  // namespace

TEST(StreamLength, LateSubtitleLineAddsNoPicturesToAMatroskaFile) {
    const std::string mkv = Stretched("late_sub.mkv", "srt");
    ASSERT_FALSE(mkv.empty());
    ExpectTenSecondsThatReadWhole(mkv);
}

TEST(StreamLength, LateMovTextLineAddsNoPicturesToAnMp4File) {
    const std::string mp4 = Stretched("late_sub.mp4", "mov_text");
    ASSERT_FALSE(mp4.empty());
    ExpectTenSecondsThatReadWhole(mp4);
}

TEST(StreamLength, LateSubtitleLineAddsNoSoundToASoundOnlyFile) {
    const std::string mka = Stretched("late_sub.mka", "srt", false);
    ASSERT_FALSE(mka.empty());
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(mka))) << o.error;
    EXPECT_EQ(o.video, nullptr);
    EXPECT_NEAR(double(o.audioInfo.dwLength), 441000.0, 2048.0);
}

// A Matroska file with an early subtitle line, cut to two thirds: its
// header still promises four seconds, and the pictures behind the cut are
// reported as missing rather than the clip quietly getting shorter.
TEST(StreamLength, FileCutShortWithASubtitleTrackKeepsItsPromisedLength) {
    const std::string srt = TestRoot() + "/early.srt";
    WriteFile(srt, "1\n00:00:00,500 --> 00:00:01,000\nEARLY\n\n");
    const std::string whole = SharedMedia(
        "cut_src.mkv", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=4", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=44100:duration=4", "-i", QString::fromStdString(srt), "-map",
                        "0", "-map", "1", "-map", "2", "-c:v", "libx264", "-g", "200", "-pix_fmt", "yuv420p", "-c:s",
                        "srt"});
    ASSERT_FALSE(whole.empty());
    const std::string bytes = ReadFile(whole);
    const std::string cut = TestRoot() + "/cut.mkv";
    WriteFile(cut, bytes.substr(0, bytes.size() * 2 / 3));
    Opened o;
    ASSERT_TRUE(o.Open(SourceScript(cut))) << o.error;
    EXPECT_EQ(o.videoInfo.dwLength, 100u);
    long good = 0, failed = 0;
    for (long n = 0; n < long(o.videoInfo.dwLength); ++n) (o.Frame(n).empty() ? failed : good)++;
    EXPECT_GE(good, 40);
    EXPECT_GT(failed, 0);
}

// What the first opening learned about the end of one sound track is not
// taken for another: with a late subtitle line the sound's length comes
// from its own last packet, and the two tracks here end 5 s apart.
TEST(StreamLength, EachSoundTrackOfAStretchedFileKeepsItsOwnLength) {
    const std::string mkv = SharedMedia(
        "late_two_tracks.mkv",
        {"-f", "lavfi", "-i", "color=c=black:s=160x120:r=25:d=10", "-f", "lavfi", "-i", "sine=f=440:sample_rate=44100:d=10",
         "-f", "lavfi", "-i", "sine=f=660:sample_rate=44100:d=5", "-i", LateSubRip(), "-map", "0", "-map", "1", "-map", "2",
         "-map", "3", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", "-c:s", "srt"});
    ASSERT_FALSE(mkv.empty());
    auto soundLength = [&](int track) -> long {
        Opened o;
        const std::string script = WriteScript("DirectShowSource(\"" + mkv + "\", " + std::to_string(track) +
                                               ")\nConvertToYV12()\n", "track" + std::to_string(track) + ".avs");
        if (!o.Open(script)) {
            ADD_FAILURE() << o.error;
            return -1;
        }
        return long(o.audioInfo.dwLength);
    };
    avs::ForgetSourceFacts();
    const long alone = soundLength(2);
    EXPECT_NEAR(double(alone), 220500.0, 2048.0);
    avs::ForgetSourceFacts();
    EXPECT_NEAR(double(soundLength(1)), 441000.0, 2048.0);
    EXPECT_EQ(soundLength(2), alone);  // after the first track's opening
}

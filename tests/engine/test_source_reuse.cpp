// A file is read for its streams and its length once per process: later
// openings of the same file (the conversion after the examination, the
// preview) take what the first one found, and a file that changed in
// between is read afresh. Matroska lengths come from the packets at the
// file's end without decoding them, and sound priming that starts the file
// a little ahead of the picture is left out, so the first picture is
// frame 0.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "engine/SourceCounts.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

extern "C" {
#include <libavutil/cpu.h>
}

using namespace kalvex;
using namespace kalvex::test;

namespace {

// `frames` numbered pictures at 25 a second (B-frames, a key frame every
// 50) with a sine tone, in Matroska; `audio` names the sound's codec and
// `videoOffset` delays the pictures (the ffmpeg tool's -itsoffset).
std::string NumberedMkv(const QString& name, int frames, const QString& audio, const QString& videoOffset = "0",
                        const QString& videoCodec = "libx264", int sampleRate = 48000) {
    QStringList args{"-itsoffset", videoOffset, "-f", "lavfi", "-i",
                     QString("color=c=black:s=160x120:r=25,trim=end_frame=%1,"
                             "geq=lum='if(lt(X,W/2),16+8*mod(N,25),16+8*floor(N/25))':cb=128:cr=128")
                         .arg(frames),
                     "-f", "lavfi", "-i",
                     QString("sine=f=440:sample_rate=%1:d=%2").arg(sampleRate).arg(frames / 25.0),
                     "-map", "0:v", "-map", "1:a", "-c:v", videoCodec};
    if (videoCodec == "libx264") args << "-g" << "50" << "-bf" << "2" << "-pix_fmt" << "yuv420p";
    else args << "-q:v" << "2";
    args << "-c:a" << audio;
    return SharedMedia(name, args);
}

std::string Script(const std::string& path, const std::string& name = "test.avs") {
    return WriteScript("DirectShowSource(\"" + path + "\")\nConvertToYV12()\n", name);
}

avs::SourceCounts Since(const avs::SourceCounts& before) {
    const avs::SourceCounts now = avs::SourceOpenCounts();
    return {now.streamSearches - before.streamSearches, now.decoderOpens - before.decoderOpens,
            now.countDecodes - before.countDecodes};
}

// Every frame shows the picture of its own index; the number of frames
// that did not.
int WrongFrames(Opened& o) {
    int wrong = 0;
    for (long n = 0; n < long(o.videoInfo.dwLength); ++n) {
        const std::vector<uint8_t> f = o.Frame(n);
        if (f.empty() || FrameNumber(f.data(), o.header.biWidth, o.header.biHeight) != n) ++wrong;
    }
    return wrong;
}

}  // namespace

TEST(SourceReuse, SecondOpeningOfAFileTakesTheFirstOnesFindings) {
    const std::string mkv = NumberedMkv("reuse.mkv", 130, "pcm_s16le");
    ASSERT_FALSE(mkv.empty());
    avs::ForgetSourceFacts();
    avs::SourceCounts before = avs::SourceOpenCounts();
    {
        Opened first;
        ASSERT_TRUE(first.Open(Script(mkv))) << first.error;
        EXPECT_EQ(first.videoInfo.dwLength, 130u);
        const avs::SourceCounts opened = Since(before);
        EXPECT_EQ(opened.streamSearches, 1);
        // Looked at only: no decoder, and the length came without decoding.
        EXPECT_EQ(opened.decoderOpens, 0);
        EXPECT_EQ(opened.countDecodes, 0);
    }
    before = avs::SourceOpenCounts();
    Opened second;
    ASSERT_TRUE(second.Open(Script(mkv, "second.avs"))) << second.error;
    EXPECT_EQ(second.videoInfo.dwLength, 130u);
    EXPECT_EQ(WrongFrames(second), 0);
    // Sound and picture both read through openings of their own.
    const std::vector<int16_t> sound = second.Audio(48000, 4800);
    ASSERT_EQ(sound.size(), 4800u * second.format.nChannels);
    EXPECT_NE(*std::max_element(sound.begin(), sound.end()), 0);
    const avs::SourceCounts read = Since(before);
    EXPECT_EQ(read.streamSearches, 0);
    EXPECT_EQ(read.decoderOpens, 2);  // the picture's and the sound's
    EXPECT_EQ(read.countDecodes, 0);
}

TEST(SourceReuse, FileChangedBetweenOpeningsIsReadAfresh) {
    const std::string longer = NumberedMkv("reuse_130.mkv", 130, "pcm_s16le");
    const std::string shorter = NumberedMkv("reuse_90.mkv", 90, "pcm_s16le");
    ASSERT_FALSE(longer.empty());
    ASSERT_FALSE(shorter.empty());
    const std::string path = TestRoot() + "/changing.mkv";
    std::filesystem::copy_file(longer, path, std::filesystem::copy_options::overwrite_existing);
    {
        Opened o;
        ASSERT_TRUE(o.Open(Script(path))) << o.error;
        EXPECT_EQ(o.videoInfo.dwLength, 130u);
    }
    // Same path, other content (size and time of change differ).
    std::filesystem::copy_file(shorter, path, std::filesystem::copy_options::overwrite_existing);
    const avs::SourceCounts before = avs::SourceOpenCounts();
    Opened o;
    ASSERT_TRUE(o.Open(Script(path, "again.avs"))) << o.error;
    EXPECT_EQ(o.videoInfo.dwLength, 90u);
    EXPECT_EQ(Since(before).streamSearches, 1);
    EXPECT_EQ(WrongFrames(o), 0);
}

TEST(SourceReuse, ProgramStreamsAreSearchedOnceAndTheirReadingHandedOn) {
    // Their streams are found while reading, so no parameters can be taken
    // over; the reading itself is: the next opening of the same file takes
    // the first one's, searched already, back at its start.
    const std::string mpg = SharedMedia("reuse.mpg", {"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=2", "-c:v",
                                                      "mpeg2video", "-f", "vob"});
    ASSERT_FALSE(mpg.empty());
    const avs::SourceCounts before = avs::SourceOpenCounts();
    for (const char* name : {"a.avs", "b.avs"}) {
        Opened o;
        ASSERT_TRUE(o.Open(Script(mpg, name))) << o.error;
        EXPECT_EQ(o.videoInfo.dwLength, 50u);
    }
    EXPECT_EQ(Since(before).streamSearches, 1);
    // A changed file is searched afresh, its reading not taken over.
    std::filesystem::last_write_time(mpg, std::filesystem::last_write_time(mpg) + std::chrono::seconds(2));
    const avs::SourceCounts changed = avs::SourceOpenCounts();
    Opened o;
    ASSERT_TRUE(o.Open(Script(mpg, "c.avs"))) << o.error;
    EXPECT_EQ(o.videoInfo.dwLength, 50u);
    EXPECT_EQ(Since(changed).streamSearches, 1);
    EXPECT_EQ(o.Frame(49).size(), size_t(160 * 120 * 3 / 2));
}

TEST(SourceReuse, SliceOnlyDecodersTakeOneThreadOnTwoCoresWhoeverReads) {
    // MPEG-2 only splits pictures into slices: beside the scaling, the
    // encoder and the sound, slice threads on two cores only add
    // hand-overs. Every reader opens it alike, so that the examination's
    // decoder can be handed on to the conversion.
    const int cores = av_cpu_count();
    const std::string mpg = SharedMedia("reuse.mpg", {"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=2", "-c:v",
                                                      "mpeg2video", "-f", "vob"});
    const std::string mkv = NumberedMkv("threads.mkv", 50, "aac");
    ASSERT_FALSE(mpg.empty());
    ASSERT_FALSE(mkv.empty());
    avs::ForgetSourceFacts();
    {
        Opened o;
        ASSERT_TRUE(o.Open(Script(mpg, "slices.avs"))) << o.error;
        EXPECT_FALSE(o.Frame(10).empty());
        const int threads = avs::SourceOpenCounts().lastVideoDecoderThreads;
        if (cores <= 2) {
            EXPECT_EQ(threads, 1);
        } else {
            EXPECT_GT(threads, 1);
        }
    }
    // A decoder that works on several pictures at once keeps the library's
    // count where no count is asked for (the preview's reading).
    Opened h;
    ASSERT_TRUE(h.Open(Script(mkv, "frames.avs"))) << h.error;
    EXPECT_FALSE(h.Frame(10).empty());
    if (cores > 1) {
        EXPECT_GT(avs::SourceOpenCounts().lastVideoDecoderThreads, 1);
    }
}

TEST(SourceStart, AacPrimingAheadOfThePictureIsLeftOut) {
    // The Matroska writer shifts every stream by the AAC priming (1024
    // samples: 21 ms at 48 kHz, 23 ms at 44.1 kHz), which puts the first
    // picture at 21 or 23 ms: still frame 0, and 75 frames in 3 s.
    for (const int rate : {48000, 44100}) {
        SCOPED_TRACE(rate);
        for (const QString codec : {"mpeg4", "libx264"}) {
            SCOPED_TRACE(codec.toStdString());
            const std::string mkv =
                NumberedMkv(QString("primed_%1_%2.mkv").arg(codec).arg(rate), 75, "aac", "0", codec, rate);
            ASSERT_FALSE(mkv.empty());
            Opened o;
            ASSERT_TRUE(o.Open(Script(mkv, "primed.avs"))) << o.error;
            EXPECT_EQ(o.videoInfo.dwLength, 75u);
            EXPECT_EQ(WrongFrames(o), 0);
            // The sound runs from the picture's start: the priming is gone,
            // three seconds of sound remain (AAC ends on a whole block).
            EXPECT_NEAR(double(o.audioInfo.dwLength), 3.0 * rate, 1024.0);
            EXPECT_LE(double(o.audioInfo.dwLength), 3.0 * rate + 1024.0);
        }
    }
}

TEST(SourceStart, PictureAFrameOrMoreAfterTheSoundKeepsItsPlace) {
    // Without priming (PCM), a picture that starts 40 ms (one frame) or 60
    // ms after the sound starts on frame 1 or 2: the sound before it is
    // real.
    struct Case {
        const char* offset;
        int firstPictureAt;
    };
    for (const Case c : {Case{"0.04", 1}, Case{"0.06", 2}}) {
        SCOPED_TRACE(c.offset);
        const std::string mkv = NumberedMkv(QString("late_%1.mkv").arg(c.offset), 50, "pcm_s16le", c.offset);
        ASSERT_FALSE(mkv.empty());
        Opened o;
        ASSERT_TRUE(o.Open(Script(mkv, "late.avs"))) << o.error;
        EXPECT_EQ(long(o.videoInfo.dwLength), 50 + c.firstPictureAt);
        std::vector<uint8_t> f = o.Frame(c.firstPictureAt);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(FrameNumber(f.data(), o.header.biWidth, o.header.biHeight), 0);
        f = o.Frame(c.firstPictureAt + 10);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(FrameNumber(f.data(), o.header.biWidth, o.header.biHeight), 10);
    }
}

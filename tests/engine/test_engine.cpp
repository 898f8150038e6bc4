// The script engine on generated media: lengths, rates, pictures, sound and
// frame positions that the conversion relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <dlfcn.h>
#include <set>
#include <thread>

#include "engine/Clip.h"
#include "platform/plugins/DirectShowSourcePlugin.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

std::string Source(const std::string& media) { return "DirectShowSource(\"" + media + "\")\nConvertToYV12()\n"; }

}  // namespace

TEST(ScriptEngine, RatesAndLengthsOfSources) {
    std::string pal = NumberedClip("25", 250);
    std::string ntsc = NumberedClip("30000/1001", 600);
    ASSERT_FALSE(pal.empty());
    ASSERT_FALSE(ntsc.empty());
    {
        Opened o;
        ASSERT_TRUE(o.Open(WriteScript(Source(pal)))) << o.error;
        EXPECT_EQ(o.videoInfo.fccType, streamtypeVIDEO);
        EXPECT_EQ(o.videoInfo.dwLength, 250u);
        EXPECT_EQ(o.videoInfo.dwRate, 25u);
        EXPECT_EQ(o.videoInfo.dwScale, 1u);
        EXPECT_EQ(o.header.biCompression, kFourCC_YV12);
        EXPECT_EQ(o.header.biWidth, 160);
        EXPECT_EQ(o.header.biHeight, 120);
        EXPECT_EQ(o.header.biSizeImage, 160u * 120 * 3 / 2);
        EXPECT_EQ(o.audioInfo.fccType, streamtypeAUDIO);
        EXPECT_EQ(o.format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(o.format.nChannels, 2);
        EXPECT_EQ(o.format.nSamplesPerSec, 48000u);
        EXPECT_EQ(o.format.wBitsPerSample, 16);
        EXPECT_EQ(o.format.nBlockAlign, 4);
        EXPECT_NEAR(double(o.audioInfo.dwLength), 480000.0, 2048.0);
    }
    {
        Opened o;
        ASSERT_TRUE(o.Open(WriteScript(Source(ntsc)))) << o.error;
        EXPECT_EQ(o.videoInfo.dwRate, 30000u);
        EXPECT_EQ(o.videoInfo.dwScale, 1001u);
        EXPECT_EQ(o.videoInfo.dwLength, 600u);
    }
}

TEST(ScriptEngine, SequentialReadingGivesEveryFrameOnceAndJumpsLandExactly) {
    std::string media = NumberedClip("25", 250);
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media)))) << o.error;
    ASSERT_EQ(o.videoInfo.dwLength, 250u);
    for (long n = 0; n < 250; ++n) {
        auto f = o.Frame(n);
        ASSERT_FALSE(f.empty());
        ASSERT_EQ(FrameNumber(f.data(), 160, 120), n) << "frame " << n;
    }
    // Jumps backwards and forwards, across key frames and inside a group.
    for (long n : {200L, 13L, 137L, 249L, 0L, 126L, 125L, 60L}) {
        auto f = o.Frame(n);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(FrameNumber(f.data(), 160, 120), n) << "jump to " << n;
    }
    // Past the end there is nothing to read, and no failure.
    std::vector<uint8_t> buf(o.header.biSizeImage);
    LONG bytes = -1, frames = -1;
    EXPECT_EQ(AVIStreamRead(o.video, 250, 1, buf.data(), LONG(buf.size()), &bytes, &frames), 0);
    EXPECT_EQ(bytes, 0);
    // A buffer too small for one frame is refused, not overrun.
    EXPECT_NE(AVIStreamRead(o.video, 0, 1, buf.data(), 100, &bytes, &frames), 0);
}

TEST(ScriptEngine, AudioIsSampleExactInSequenceAndAfterJumps) {
    std::string media = NumberedClip("25", 250);
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media)))) << o.error;
    long pos = 0;
    for (int block = 0; block < 40; ++block) {
        auto s = o.Audio(pos, 1001);
        ASSERT_EQ(s.size(), 2002u);
        for (size_t i = 0; i < 1001; i += 97) {
            ASSERT_EQ(RampPosition(s[i * 2]), (pos + long(i)) % 2000) << "sample " << pos + long(i);
            ASSERT_EQ(s[i * 2], s[i * 2 + 1]);
        }
        pos += 1001;
    }
    for (long start : {300000L, 1234L, 250001L}) {
        auto s = o.Audio(start, 10);
        ASSERT_EQ(s.size(), 20u);
        EXPECT_EQ(RampPosition(s[0]), start % 2000) << "jump to " << start;
    }
}

TEST(ScriptEngine, ChangeFPSKeepsTheDurationAndPicksFloorFrames) {
    std::string media = NumberedClip("30000/1001", 600);
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media) + "ChangeFPS(25.000000)\n"))) << o.error;
    EXPECT_EQ(o.videoInfo.dwRate, 25u);
    EXPECT_EQ(o.videoInfo.dwScale, 1u);
    // 600 frames at 29.97 last 20.02 s: round(600 x 25 x 1001 / 30000) = 501
    EXPECT_EQ(o.videoInfo.dwLength, 501u);
    for (long n : {0L, 1L, 5L, 6L, 250L, 500L}) {
        auto f = o.Frame(n);
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(FrameNumber(f.data(), 160, 120), long(std::floor(n * 30000.0 / 1001.0 / 25.0))) << n;
    }

    Opened up;
    ASSERT_TRUE(up.Open(WriteScript(Source(NumberedClip("25", 250)) + "ChangeFPS(29.970030)\n", "up.avs"))) << up.error;
    EXPECT_EQ(up.videoInfo.dwRate, 30000u);
    EXPECT_EQ(up.videoInfo.dwScale, 1001u);
    EXPECT_EQ(up.videoInfo.dwLength, 300u);  // round(250 x 29.97 / 25) = round(299.7)
    Opened src;
    ASSERT_TRUE(src.Open(WriteScript(Source(NumberedClip("25", 250)), "src.avs")));
    EXPECT_EQ(up.audioInfo.dwLength, src.audioInfo.dwLength);  // the sound is untouched
}

TEST(ScriptEngine, TrimCutsFramesAndTheSameAudioSpan) {
    std::string media = NumberedClip("30000/1001", 600);
    Opened full;
    ASSERT_TRUE(full.Open(WriteScript(Source(media) + "ChangeFPS(29.970030)\n", "full.avs"))) << full.error;
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media) + "ChangeFPS(29.970030)\nTrim(290,580)\n"))) << o.error;
    EXPECT_EQ(o.videoInfo.dwLength, 291u);
    EXPECT_EQ(FrameNumber(o.Frame(0).data(), 160, 120), 290);
    EXPECT_EQ(FrameNumber(o.Frame(290).data(), 160, 120), 580);
    EXPECT_EQ(FrameNumber(o.Frame(100).data(), 160, 120), 390);
    // Audio: the span of frames 290..580 at 48 kHz, 30000/1001 fps.
    const double first = 290 * 48000.0 * 1001 / 30000, end = 581 * 48000.0 * 1001 / 30000;
    EXPECT_NEAR(double(o.audioInfo.dwLength), end - first, 1.0);
    auto cut = o.Audio(0, 64);
    ASSERT_EQ(cut.size(), 128u);
    EXPECT_NEAR(RampPosition(cut[0]), std::fmod(first, 2000.0), 1.0);
    auto same = full.Audio(long(first), 64);
    EXPECT_EQ(cut, same);
    // The last samples of the cut are the source's samples at that place.
    long last = long(o.audioInfo.dwLength) - 1;
    auto tail = o.Audio(last, 1);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_NEAR(RampPosition(tail[0]), std::fmod(first + last, 2000.0), 1.0);
}

// Rates in scripts are decimal texts: whole numbers, NTSC rates (written
// as n x 1000 / 1001 in full or shortened) and any other rate, which is
// kept as it is and never pulled to a neighbouring whole or NTSC rate.
TEST(ScriptEngine, RatesFromTextsKeepWhatIsNotWholeOrNtsc) {
    auto text = [](double fps) {
        const AVRational r = avs::RateFromDouble(fps);
        return std::to_string(r.num) + "/" + std::to_string(r.den);
    };
    EXPECT_EQ(text(25), "25/1");
    EXPECT_EQ(text(25.0000005), "25/1");  // within a millionth of a frame per second
    EXPECT_EQ(text(29.970030), "30000/1001");
    EXPECT_EQ(text(29.97), "30000/1001");
    EXPECT_EQ(text(23.976), "24000/1001");
    EXPECT_EQ(text(24.95), "499/20");
    EXPECT_EQ(text(24.97), "2497/100");
    EXPECT_EQ(text(12.5), "25/2");
    EXPECT_EQ(text(25.01), "2501/100");
}

// The sound of a cut starts at the first sample of its first frame, and the
// first sample of frame n is n x rate / fps truncated: at 48 kHz and NTSC
// rate frame 291 starts at 466,065.6, so at sample 466,065, and the cut of
// frames 291..580 ends before 930,529.6, so it holds 464,464 samples.
TEST(ScriptEngine, TrimStartsItsSoundAtTheTruncatedFirstSample) {
    std::string media = NumberedClip("30000/1001", 600);
    Opened full;
    ASSERT_TRUE(full.Open(WriteScript(Source(media) + "ChangeFPS(29.970030)\n", "full.avs"))) << full.error;
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media) + "ChangeFPS(29.970030)\nTrim(291,580)\n"))) << o.error;
    EXPECT_EQ(o.audioInfo.dwLength, 930529u - 466065u);
    EXPECT_EQ(o.Audio(0, 64), full.Audio(466065, 64));
    EXPECT_EQ(o.Audio(long(o.audioInfo.dwLength) - 1, 1), full.Audio(930528, 1));
}

TEST(ScriptEngine, TrimFollowsAviSynthRulesForTheEnd) {
    std::string media = NumberedClip("25", 250);
    struct Case {
        const char* line;
        DWORD frames;
        int firstShown;
    } cases[] = {{"Trim(10,0)", 240, 10}, {"Trim(10,-5)", 5, 10}, {"Trim(0,9)", 10, 0}, {"Trim(240,1000)", 10, 240}};
    for (const Case& c : cases) {
        Opened o;
        ASSERT_TRUE(o.Open(WriteScript(Source(media) + c.line + "\n"))) << o.error;
        EXPECT_EQ(o.videoInfo.dwLength, c.frames) << c.line;
        EXPECT_EQ(FrameNumber(o.Frame(0).data(), 160, 120), c.firstShown) << c.line;
        EXPECT_EQ(FrameNumber(o.Frame(long(c.frames) - 1).data(), 160, 120), c.firstShown + int(c.frames) - 1) << c.line;
    }
}

TEST(ScriptEngine, BordersAreBlackAndPlanesComeInYV12Order) {
    std::string media = NumberedClip("25", 250);
    Opened o;
    // Odd borders are rounded down to even: 3 -> 2, 5 -> 4.
    ASSERT_TRUE(o.Open(WriteScript(Source(media) + "AddBorders(8,5,3,4)\n"))) << o.error;
    const int w = 160 + 8 + 2, h = 120 + 4 + 4;
    ASSERT_EQ(o.header.biWidth, w);
    ASSERT_EQ(o.header.biHeight, h);
    auto f = o.Frame(30);
    ASSERT_EQ(f.size(), size_t(w * h * 3 / 2));
    const uint8_t* Y = f.data();
    const uint8_t* V = Y + w * h;
    const uint8_t* U = V + (w / 2) * (h / 2);
    for (int x = 0; x < w; ++x) {
        for (int y : {0, 3, h - 1, h - 4}) ASSERT_EQ(Y[y * w + x], 16) << x << "," << y;
    }
    for (int y = 0; y < h; ++y) {
        for (int x : {0, 7, w - 1, w - 2}) ASSERT_EQ(Y[y * w + x], 16) << x << "," << y;
    }
    const int cw = w / 2, ch = h / 2;
    for (int x = 0; x < cw; ++x) {
        for (int y : {0, 1, ch - 1, ch - 2}) {
            ASSERT_EQ(U[y * cw + x], 128);
            ASSERT_EQ(V[y * cw + x], 128);
        }
    }
    for (int y = 0; y < ch; ++y) {
        for (int x : {0, 3, cw - 1}) {
            ASSERT_EQ(U[y * cw + x], 128);
            ASSERT_EQ(V[y * cw + x], 128);
        }
    }
    // Inside: the picture, with V (Cr 192) before U (Cb 64).
    EXPECT_EQ(V[(ch / 2) * cw + cw / 2], 192);
    EXPECT_EQ(U[(ch / 2) * cw + cw / 2], 64);
    EXPECT_EQ(Y[(4 + 60) * w + 8 + 40], 16 + 8 * (30 % 25));
    EXPECT_EQ(Y[(4 + 60) * w + 8 + 120], 16 + 8 * (30 / 25));
}

TEST(ScriptEngine, BicubicResizeGivesTheRequestedEvenSize) {
    std::string media = NumberedClip("25", 250);
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media) + "AddBorders(0,16,0,16)\nBicubicResize(368,208)\n"))) << o.error;
    EXPECT_EQ(o.header.biWidth, 368);
    EXPECT_EQ(o.header.biHeight, 208);
    EXPECT_EQ(o.header.biSizeImage, 368u * 208 * 3 / 2);
    auto f = o.Frame(77);
    ASSERT_EQ(f.size(), size_t(368 * 208 * 3 / 2));
    EXPECT_EQ(FrameNumber(f.data(), 368, 208), 77);
    EXPECT_NEAR(f[1 * 368 + 100], 16, 1);  // the top border survives scaling

    Opened odd;
    ASSERT_TRUE(odd.Open(WriteScript(Source(media) + "BicubicResize(367,207)\n", "odd.avs"))) << odd.error;
    EXPECT_EQ(odd.header.biWidth, 366);
    EXPECT_EQ(odd.header.biHeight, 206);
    EXPECT_EQ(odd.Frame(3).size(), size_t(366 * 206 * 3 / 2));
}

// A letterboxed picture is scaled straight from the source picture, in
// bands; it must equal to the bit scaling the boxed picture made first
// (ConvertToYV12 between the two keeps them apart).
TEST(ScriptEngine, LetterboxScaledInBandsEqualsScalingTheBoxedPicture) {
    const std::string media = SharedMedia("detail_160x120.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=0.2",
                                                                 "-c:v", "libx264", "-qp", "20", "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(media.empty());
    struct Case {
        const char* borders;
        const char* resize;
    } cases[] = {
        {"AddBorders(0,20,0,20)", "BicubicResize(96,54)"},    // the script's letterbox, shrinking
        {"AddBorders(0,20,0,20)", "BicubicResize(64,64)"},    // shrinking 2.5 times: the engine's own shrink
        {"AddBorders(0,8,0,12)", "BicubicResize(64,56)"},     // the same, uneven bands
        {"AddBorders(0,2,0,6)", "BicubicResize(368,208)"},    // uneven bands, enlarging
        {"AddBorders(0,5,0,0)", "BicubicResize(100,70)"},     // only above (odd: 4 rows)
        {"AddBorders(0,0,0,10)", "BicubicResize(100,70)"},    // only below
        {"AddBorders(0,150,0,150)", "BicubicResize(64,64)"},  // bands taller than the picture
        {"AddBorders(4,8,4,8)", "BicubicResize(96,54)"},      // with sides: boxed first, as before
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string tail = std::string(c.resize) + "\n";
        Opened banded, boxed;
        ASSERT_TRUE(banded.Open(WriteScript(Source(media) + c.borders + "\n" + tail, "banded" + std::to_string(n) + ".avs")))
            << banded.error;
        ASSERT_TRUE(boxed.Open(WriteScript(Source(media) + c.borders + "\nConvertToYV12()\n" + tail,
                                           "boxed" + std::to_string(n) + ".avs")))
            << boxed.error;
        ++n;
        ASSERT_EQ(banded.header.biWidth, boxed.header.biWidth) << c.borders;
        ASSERT_EQ(banded.header.biHeight, boxed.header.biHeight) << c.borders;
        for (long f : {0L, 3L, 4L}) {
            const auto a = banded.Frame(f), b = boxed.Frame(f);
            ASSERT_FALSE(a.empty()) << c.borders;
            EXPECT_TRUE(a == b) << c.borders << " " << c.resize << ", frame " << f;
        }
    }
}

TEST(ScriptEngine, ResampleAudioLengthAndChannels) {
    std::string media = NumberedClip("25", 250, 160, 120, 44100);
    Opened src;
    ASSERT_TRUE(src.Open(WriteScript(Source(media), "src.avs"))) << src.error;
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Source(media) + "ResampleAudio(24000)\n"))) << o.error;
    EXPECT_EQ(o.format.nSamplesPerSec, 24000u);
    EXPECT_EQ(o.audioInfo.dwLength, DWORD(std::llround(src.audioInfo.dwLength * 24000.0 / 44100.0)));
    // Reading it all in blocks delivers exactly that many samples, with sound.
    long total = 0, loud = 0;
    for (;;) {
        auto s = o.Audio(total, 4000);
        if (s.empty()) break;
        for (int16_t v : s) loud += std::abs(v) > 100;
        total += long(s.size() / 2);
    }
    EXPECT_EQ(total, long(o.audioInfo.dwLength));
    EXPECT_GT(loud, total / 2);

    // No delay: halfway up a ramp, output sample k is input time k / 24000.
    Opened half;
    ASSERT_TRUE(half.Open(WriteScript(Source(NumberedClip("25", 250)) + "ResampleAudio(24000)\n", "half.avs"))) << half.error;
    auto ramp = half.Audio(0, 2000);
    ASSERT_EQ(ramp.size(), 4000u);
    for (long k : {300L, 555L, 1300L, 1700L}) EXPECT_NEAR(RampPosition(ramp[size_t(k) * 2]), (2 * k) % 2000, 2.0) << k;

    std::string surround = SharedMedia("surround.mkv", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1",
                                                         "-f", "lavfi", "-i", "sine=frequency=300:sample_rate=48000:duration=1",
                                                         "-af", "aformat=channel_layouts=5.1", "-c:a", "ac3", "-pix_fmt", "yuv420p"});
    std::string mono = SharedMedia("mono.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1", "-f", "lavfi",
                                                "-i", "sine=frequency=300:sample_rate=22050:duration=1", "-ac", "1",
                                                "-pix_fmt", "yuv420p"});
    Opened s51, m;
    ASSERT_TRUE(s51.Open(WriteScript(Source(surround) + "ResampleAudio(24000)\n", "s.avs"))) << s51.error;
    EXPECT_EQ(s51.format.nChannels, 2);
    EXPECT_EQ(s51.format.nBlockAlign, 4);
    auto block = s51.Audio(4000, 100);
    EXPECT_EQ(block.size(), 200u);
    EXPECT_TRUE(std::any_of(block.begin(), block.end(), [](int16_t v) { return std::abs(v) > 100; }));
    ASSERT_TRUE(m.Open(WriteScript(Source(mono) + "ResampleAudio(24000)\n", "m.avs"))) << m.error;
    EXPECT_EQ(m.format.nChannels, 1);
    EXPECT_EQ(m.format.nSamplesPerSec, 24000u);
}

TEST(ScriptEngine, TheConversionScriptShapeEvaluates) {
    std::string media = NumberedClip("30000/1001", 600);
    // As the script builder writes it: CRLF lines, no break after the last.
    std::string script = "DirectShowSource(\"" + media + "\")\r\nConvertToYV12()\r\nChangeFPS(29.970030)\r\nTrim(290,580)\r\n"
                         "ResampleAudio(24000)\r\nAddBorders(26,0,26,0)\r\nBicubicResize(368,208)";
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(script))) << o.error;
    EXPECT_EQ(o.videoInfo.dwLength, 291u);
    EXPECT_EQ(o.header.biWidth, 368);
    EXPECT_EQ(o.format.nSamplesPerSec, 24000u);
    EXPECT_NEAR(double(o.audioInfo.dwLength), 291 * 24000.0 * 1001 / 30000, 2.0);
    EXPECT_EQ(FrameNumber(o.Frame(0).data(), 368, 208), 290);
}

TEST(ScriptEngine, DisplayAspectRatioThroughThePlugInModule) {
    void* module = dlopen((BinDir() + "/plugins/DirectShowSource.so").c_str(), RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    auto entry = reinterpret_cast<AvsGetDARFunction>(dlsym(module, "AvsGetDAR"));
    ASSERT_NE(entry, nullptr);
    struct Case {
        const char* sar;
        int x, y;
    } cases[] = {{"32/27", 16, 9}, {"8/9", 4, 3}, {"0/1", 0, 0}};
    for (const Case& c : cases) {
        std::string media = SharedMedia(QString("dar_%1.mkv").arg(QString(c.sar).replace('/', '_')),
                                         {"-f", "lavfi", "-i", "testsrc2=size=720x480:rate=5:duration=0.4", "-f", "lavfi",
                                          "-i", "anullsrc=r=8000:cl=mono", "-t", "0.4", "-vf", QString("setsar=%1").arg(c.sar),
                                          "-c:v", "libx264", "-pix_fmt", "yuv420p"});
        avs::OpenResult o = avs::OpenScriptFile(WriteScript(Source(media)));
        ASSERT_TRUE(o.script) << o.error;
        const KalvexAvsSource source{sizeof(KalvexAvsSource), o.source.darX, o.source.darY};
        int x = -1, y = -1;
        entry(&source, &x, &y);
        EXPECT_EQ(x, c.x) << c.sar;
        EXPECT_EQ(y, c.y) << c.sar;
    }
}

TEST(ScriptEngine, VideoAndAudioOfOneScriptReadFromTwoThreads) {
    // The preview reads each stream on its own thread; the result must be
    // what one thread reading both gets.
    std::string media = NumberedClip("25", 250);
    std::string script = WriteScript(Source(media) + "ResampleAudio(24000)\nBicubicResize(96,64)\n");
    Opened o;
    ASSERT_TRUE(o.Open(script)) << o.error;
    std::vector<int> numbers(250, -1);
    std::vector<int16_t> sound;
    std::thread video([&] {
        for (long n = 0; n < 250; ++n) {
            auto f = o.Frame(n);
            if (!f.empty()) numbers[size_t(n)] = FrameNumber(f.data(), 96, 64);
        }
    });
    std::thread audio([&] {
        for (long s = 0; s < long(o.audioInfo.dwLength); s += 2400) {
            auto block = o.Audio(s, 2400);
            sound.insert(sound.end(), block.begin(), block.end());
        }
    });
    video.join();
    audio.join();
    for (int n = 0; n < 250; ++n) EXPECT_EQ(numbers[size_t(n)], n);
    Opened alone;
    ASSERT_TRUE(alone.Open(script));
    EXPECT_EQ(sound, alone.Audio(0, long(alone.audioInfo.dwLength)));
}

namespace kalvex::avs {
namespace {

// Mean absolute difference of two luma planes.
double LumaDistance(const std::vector<uint8_t>& a, const std::string& b, size_t size) {
    if (a.size() < size || b.size() < size) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < size; ++i) sum += std::abs(int(a[i]) - int(static_cast<unsigned char>(b[i])));
    return sum / double(size);
}

// The sharper kernel of best quality: libswscale's three-lobe Lanczos, as
// the ffmpeg tool scales with it; the default bicubic stays far softer.
TEST(ScriptEngine, LanczosResizeScalesWithTheLanczosKernel) {
    const std::string media = SharedMedia("detail_160x120.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=0.2",
                                                                 "-c:v", "libx264", "-qp", "20", "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(media.empty());
    const std::string raw = test::TestRoot() + "/lanczos.gray";
    ASSERT_EQ(test::RunProgram("ffmpeg", {"-v", "error", "-y", "-i", QString::fromStdString(media), "-vf",
                                          "scale=96:72:flags=lanczos", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                                          "yuv420p", QString::fromStdString(raw)}),
              0);
    const std::string reference = test::ReadFile(raw);  // the luma plane first
    ASSERT_EQ(reference.size(), 96u * 72u * 3 / 2);

    Opened lanczos, bicubic;
    ASSERT_TRUE(lanczos.Open(WriteScript(Source(media) + "LanczosResize(97,73)\n", "lanczos.avs"))) << lanczos.error;
    ASSERT_TRUE(bicubic.Open(WriteScript(Source(media) + "BicubicResize(96,72)\n", "bicubic.avs"))) << bicubic.error;
    EXPECT_EQ(lanczos.header.biWidth, 96);  // odd sizes rounded down to even
    EXPECT_EQ(lanczos.header.biHeight, 72);
    const double l = LumaDistance(lanczos.Frame(0), reference, 96 * 72);
    const double b = LumaDistance(bicubic.Frame(0), reference, 96 * 72);
    EXPECT_LT(l, 1.0);
    EXPECT_GT(b, 2 * l + 0.5) << "lanczos " << l << ", bicubic " << b;

    // Its own name in its messages.
    Opened bad;
    EXPECT_FALSE(bad.Open(WriteScript(Source(media) + "LanczosResize(1,1)\n", "bad.avs")));
    EXPECT_NE(bad.error.find("LanczosResize: the size must be between 2 and 16384"), std::string::npos) << bad.error;
}

// The banded letterbox path gives the same pictures with the wider kernel.
TEST(ScriptEngine, LanczosLetterboxInBandsEqualsScalingTheBoxedPicture) {
    const std::string media = SharedMedia("detail_160x120.mp4", {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=0.2",
                                                                 "-c:v", "libx264", "-qp", "20", "-pix_fmt", "yuv420p"});
    ASSERT_FALSE(media.empty());
    Opened banded, boxed;
    ASSERT_TRUE(banded.Open(WriteScript(Source(media) + "AddBorders(0,20,0,20)\nLanczosResize(96,54)\n", "lb.avs")));
    ASSERT_TRUE(boxed.Open(WriteScript(Source(media) + "AddBorders(0,20,0,20)\nConvertToYV12()\nLanczosResize(96,54)\n", "lx.avs")));
    for (long f : {0L, 3L}) {
        const auto a = banded.Frame(f), b = boxed.Frame(f);
        ASSERT_FALSE(a.empty());
        EXPECT_TRUE(a == b) << "frame " << f;
    }
}

}  // namespace
}  // namespace kalvex::avs

// Subtitles drawn into the picture by TextSub and VobSub: where and when
// their pixels appear, at the clip's size and rate, and the errors of
// subtitle files that cannot be read.
#include <gtest/gtest.h>

#include "subtitles/engine/SubtitleFilters.h"
#include "tests/engine/EngineFixtures.h"
#include "samples/VobSubMaker.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

constexpr int kW = 368, kH = 208;

// Six seconds of black at the PSP size, 25 frames a second.
std::string BlackClip() {
    return SharedMedia("black368.mkv", {"-f", "lavfi", "-i", "color=black:size=368x208:rate=25:duration=6", "-f", "lavfi",
                                        "-i", "anullsrc=r=48000:cl=stereo", "-t", "6", "-c:v", "libx264", "-qp", "0",
                                        "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"});
}

// Every script here burns subtitles in: the filters join the engine's
// table before the first one is written.
std::string Script(const std::string& tail) {
    RegisterSubtitleFilters();
    return "DirectShowSource(\"" + BlackClip() + "\")\nConvertToYV12()\n" + tail;
}

std::string Subtitle(const std::string& name, const std::string& text) {
    const std::string path = TestRoot() + "/" + name;
    WriteFile(path, text);
    return path;
}

// Bright luma samples in rows [top, bottom) of a YV12 picture.
int BrightPixels(const std::vector<uint8_t>& f, int top, int bottom, int threshold = 180) {
    int n = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < kW; ++x)
            if (f[size_t(y) * kW + size_t(x)] > threshold) ++n;
    return n;
}

// The V sample (YV12: the plane right after luma) at a picture position.
int VAt(const std::vector<uint8_t>& f, int x, int y) { return f[size_t(kW) * kH + size_t(y / 2) * (kW / 2) + size_t(x / 2)]; }

TEST(TextSub, WhiteSubRipLineOnlyDuringItsTimeInTheBottomPart) {
    ASSERT_FALSE(BlackClip().empty());
    // 2,020 ms is not on a frame: frame 50 (2,000 ms) is before it, 51 after.
    const std::string srt = Subtitle("line.srt", "1\r\n00:00:02,020 --> 00:00:03,000\r\nWHITE LINE HERE\r\n\r\n");
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Script("TextSub(\"" + srt + "\")\n")))) << o.error;
    ASSERT_EQ(o.header.biWidth, kW);
    ASSERT_EQ(o.header.biHeight, kH);
    for (long n : {0L, 25L, 50L, 75L, 76L, 149L}) {
        auto f = o.Frame(n);
        ASSERT_EQ(f.size(), size_t(kW) * kH * 3 / 2);
        EXPECT_EQ(BrightPixels(f, 0, kH), 0) << "frame " << n;
    }
    for (long n : {51L, 60L, 74L}) {
        auto f = o.Frame(n);
        EXPECT_GT(BrightPixels(f, kH * 2 / 3, kH), 100) << "frame " << n;
        EXPECT_EQ(BrightPixels(f, 0, kH / 2), 0) << "frame " << n;
        // White carries no colour.
        EXPECT_NEAR(VAt(f, kW / 2, kH - 20), 128, 6);
    }
    // Reading backwards gives the same pictures.
    EXPECT_GT(BrightPixels(o.Frame(60), kH * 2 / 3, kH), 100);
    EXPECT_EQ(BrightPixels(o.Frame(10), 0, kH), 0);
}

TEST(TextSub, MicroDvdFramesCountAtTheClipsRate) {
    ASSERT_FALSE(BlackClip().empty());
    // At 50 frames a second, frames 50 to 75 are 1,000 ms to 1,500 ms.
    const std::string sub = Subtitle("frames.sub", "{50}{75}FRAMES\r\n");
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Script("ChangeFPS(50)\nTextSub(\"" + sub + "\")\n")))) << o.error;
    EXPECT_EQ(BrightPixels(o.Frame(49), 0, kH), 0);
    EXPECT_GT(BrightPixels(o.Frame(50), 0, kH), 50);
    EXPECT_GT(BrightPixels(o.Frame(74), 0, kH), 50);
    EXPECT_EQ(BrightPixels(o.Frame(75), 0, kH), 0);
}

TEST(TextSub, StylesOverrideTagsAndPlayResolution) {
    ASSERT_FALSE(BlackClip().empty());
    // A 100 x 100 play area: a red line placed at (50, 10) lands near the
    // top centre of the picture.
    const std::string ass = Subtitle(
        "styled.ass",
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 100\nPlayResY: 100\n\n"
        "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
        "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
        "MarginL, MarginR, MarginV, Encoding\n"
        "Style: Big,DejaVu Sans,12,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,0,0,8,0,0,0,0\n\n"
        "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
        "Dialogue: 0,0:00:01.00,0:00:02.00,Big,,0,0,0,,{\\pos(50,10)\\c&H0000FF&}RRRR\n");
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Script("TextSub(\"" + ass + "\")\n")))) << o.error;
    auto f = o.Frame(37);
    // Red raises V well above 128; find it in the upper third only.
    int red = 0, redLow = 0;
    for (int y = 0; y < kH; y += 2)
        for (int x = 0; x < kW; x += 2) {
            if (VAt(f, x, y) > 180) (y < kH / 3 ? red : redLow)++;
        }
    EXPECT_GT(red, 20);
    EXPECT_EQ(redLow, 0);
    EXPECT_EQ(BrightPixels(o.Frame(60), 0, kH, 60), 0);  // after its end
}

// A line stays on screen for many frames and is drawn from what was made
// for its first frame: the picture must still change exactly where the lines
// change, and match a picture drawn afresh.
TEST(TextSub, KeptLinesChangeAtTheirFrame) {
    ASSERT_FALSE(BlackClip().empty());
    // Frames are 40 ms apart. The first line ends where the second starts,
    // on frame 50; the third has the second's text (libass draws the same
    // images) and ends at 3,500 ms, between frames 87 and 88.
    const std::string srt = Subtitle("kept.srt",
                                     "1\r\n00:00:01,000 --> 00:00:02,000\r\nIIII\r\n\r\n"
                                     "2\r\n00:00:02,000 --> 00:00:03,000\r\nWWWWWWWWWW\r\n\r\n"
                                     "3\r\n00:00:03,000 --> 00:00:03,500\r\nWWWWWWWWWW\r\n\r\n");
    const std::string script = WriteScript(Script("TextSub(\"" + srt + "\")\n"), "kept.avs");
    Opened o;
    ASSERT_TRUE(o.Open(script)) << o.error;
    std::vector<std::vector<uint8_t>> seq;  // frames 0..100 read in order
    for (long n = 0; n <= 100; ++n) seq.push_back(o.Frame(n));
    const auto& blank = seq[0];
    for (long n = 25; n < 50; ++n) EXPECT_EQ(seq[n], seq[25]) << "frame " << n;
    for (long n = 50; n < 88; ++n) EXPECT_EQ(seq[n], seq[50]) << "frame " << n;
    EXPECT_GT(BrightPixels(seq[25], kH * 2 / 3, kH), 20);
    EXPECT_GT(BrightPixels(seq[50], kH * 2 / 3, kH), BrightPixels(seq[25], kH * 2 / 3, kH) + 50);
    for (long n : {24L, 88L, 89L, 100L}) EXPECT_EQ(seq[n], blank) << "frame " << n;
    // Each boundary frame as a reader that jumps straight to it draws it.
    for (long n : {24L, 25L, 49L, 50L, 75L, 87L, 88L}) {
        Opened fresh;
        ASSERT_TRUE(fresh.Open(script)) << fresh.error;
        EXPECT_EQ(fresh.Frame(n), seq[n]) << "frame " << n;
    }
    // Going back over the change gives the first line again.
    EXPECT_EQ(o.Frame(49), seq[25]);
    EXPECT_EQ(o.Frame(50), seq[50]);
}

// A fading line changes from frame to frame: it is drawn anew each time.
TEST(TextSub, AnimatedLinesAreDrawnForEveryFrame) {
    ASSERT_FALSE(BlackClip().empty());
    const std::string ass = Subtitle(
        "fade.ass",
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 368\nPlayResY: 208\n\n"
        "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
        "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
        "MarginL, MarginR, MarginV, Encoding\n"
        "Style: Default,DejaVu Sans,30,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,0,0,2,0,0,10,0\n\n"
        "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
        "Dialogue: 0,0:00:01.00,0:00:03.00,Default,,0,0,0,,{\\fad(1000,0)}FADING IN\n");
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Script("TextSub(\"" + ass + "\")\n")))) << o.error;
    auto luma = [](const std::vector<uint8_t>& f) {
        long sum = 0;
        for (size_t i = 0; i < size_t(kW) * kH; ++i) sum += f[i];
        return sum;
    };
    std::vector<long> sums;
    for (long n = 26; n <= 50; n += 6) sums.push_back(luma(o.Frame(n)));
    for (size_t i = 1; i < sums.size(); ++i) EXPECT_GT(sums[i], sums[i - 1]) << "step " << i;
    EXPECT_EQ(o.Frame(60), o.Frame(61));  // fully faded in
}

TEST(TextSub, UnreadableFilesAreScriptErrors) {
    ASSERT_FALSE(BlackClip().empty());
    const std::string junk = Subtitle("junk.srt", std::string("\x00\x01garbage", 9));
    {
        Opened o;
        EXPECT_FALSE(o.Open(WriteScript(Script("TextSub(\"" + junk + "\")\n"))));
        EXPECT_NE(o.error.find("TextSub: cannot read the subtitle file"), std::string::npos) << o.error;
        EXPECT_NE(o.error.find("line 3"), std::string::npos) << o.error;
    }
    {
        Opened o;
        EXPECT_FALSE(o.Open(WriteScript(Script("TextSub(\"" + TestRoot() + "/missing.srt\")\n"))));
        EXPECT_NE(o.error.find("cannot read"), std::string::npos) << o.error;
    }
    {
        Opened o;
        EXPECT_FALSE(o.Open(WriteScript(Script("TextSub(3)\n"))));
        EXPECT_NE(o.error.find("Invalid arguments"), std::string::npos) << o.error;
    }
}

TEST(VobSub, PictureAppearsAtItsTimeScaledToTheClip) {
    ASSERT_FALSE(BlackClip().empty());
    const std::string base = TestRoot() + "/movie";
    // A white bar at (100, 380) to (300, 420) of the 720 x 480 picture,
    // from 2,000 ms for 1,000 ms; a second one from 4,000 ms.
    ASSERT_TRUE(samples::WriteVobSub(base, {{2000, 1000, 100, 380, 200, 40}, {4000, 500, 500, 40, 100, 40}}));
    Opened o;
    ASSERT_TRUE(o.Open(WriteScript(Script("VobSub(\"" + base + ".sub\", 0)\n")))) << o.error;
    auto at = [](const std::vector<uint8_t>& f, int x, int y) { return int(f[size_t(y) * kW + size_t(x)]); };
    // Scaled: x 100..300 → 51..153, y 380..420 → 164..182.
    for (long n : {50L, 62L, 74L}) {
        auto f = o.Frame(n);
        EXPECT_GT(at(f, 100, 173), 200) << "frame " << n;
        EXPECT_GT(at(f, 55, 167), 200) << "frame " << n;
        EXPECT_LT(at(f, 45, 173), 40) << "frame " << n;   // left of the bar
        EXPECT_LT(at(f, 160, 173), 40) << "frame " << n;  // right of it
        EXPECT_LT(at(f, 100, 155), 40) << "frame " << n;  // above it
        EXPECT_EQ(BrightPixels(f, 0, kH / 2), 0) << "frame " << n;
    }
    for (long n : {0L, 49L, 75L, 99L, 113L}) EXPECT_EQ(BrightPixels(o.Frame(n), 0, kH), 0) << "frame " << n;
    // The second picture: top right, 4,000 to 4,500 ms.
    auto f = o.Frame(100);
    EXPECT_GT(at(f, 280, 25), 200);
    EXPECT_EQ(BrightPixels(f, kH / 2, kH), 0);
    EXPECT_GT(BrightPixels(o.Frame(112), 0, kH), 100);
}

TEST(VobSub, MissingStreamsAndFilesAreScriptErrors) {
    ASSERT_FALSE(BlackClip().empty());
    const std::string base = TestRoot() + "/movie";
    ASSERT_TRUE(samples::WriteVobSub(base, {{1000, 1000, 10, 10, 20, 20}}));
    {
        Opened o;
        EXPECT_FALSE(o.Open(WriteScript(Script("VobSub(\"" + base + ".sub\", 1)\n"))));
        EXPECT_NE(o.error.find("has no stream 1 (it has 1)"), std::string::npos) << o.error;
    }
    {
        Opened o;
        EXPECT_FALSE(o.Open(WriteScript(Script("VobSub(\"" + TestRoot() + "/none.sub\", 0)\n"))));
        EXPECT_NE(o.error.find("VobSub: cannot read"), std::string::npos) << o.error;
    }
    {
        // A damaged picture is left out; the video goes on.
        std::string sub = ReadFile(base + ".sub");
        for (size_t i = 40; i < sub.size(); ++i) sub[i] = char(0xFF);
        WriteFile(base + ".sub", sub);
        Opened o;
        ASSERT_TRUE(o.Open(WriteScript(Script("VobSub(\"" + base + ".sub\", 0)\n")))) << o.error;
        EXPECT_EQ(o.Frame(37).size(), size_t(kW) * kH * 3 / 2);
    }
}

}  // namespace

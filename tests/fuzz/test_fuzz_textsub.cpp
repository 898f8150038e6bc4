// Damaged SSA, ASS and SubRip files burned into a tiny clip by TextSub,
// under AddressSanitizer and UndefinedBehaviorSanitizer: our reader builds
// the text subtitle model, which goes to libass as ASS header, styles and
// events, and libass's images are drawn into the picture. 10,000 inputs in
// ten rounds of 1,000 (each round its own seed, its own test entry).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "tests/fuzz/Burn.h"
#include "tests/fuzz/Mutator.h"

using namespace kalvex;

namespace {

constexpr int kRounds = 10;
constexpr int kPerRound = 1000;

const char* const kAss =
    "[Script Info]\nScriptType: v4.00+\nPlayResX: 16\nPlayResY: 16\nWrapStyle: 0\n\n"
    "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
    "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, "
    "MarginR, MarginV, Encoding\n"
    "Style: Default,Sans,8,&H00FFFFFF,&H000000FF,&H00000000,&H80000000,-1,0,0,0,100,100,0,0,1,1,0,2,1,1,1,1\n"
    "Style: Top,Sans,12,&H0000FFFF,&H000000FF,&H00000000,&H80000000,0,-1,0,0,150,50,2,30,3,2,1,8,0,0,0,0\n\n"
    "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
    "Dialogue: 0,0:00:00.00,0:00:01.00,Default,,0,0,0,,XX\n"
    "Dialogue: 1,0:00:00.00,0:00:00.05,Top,,0,0,0,,{\\fad(10,10)\\t(\\fscx200)}Y{\\k10}Z\\NW\n"
    "Dialogue: 0,0:00:00.04,0:00:09.00,Default,,0,0,0,Scroll up;0;16;10,{\\pos(8,8)\\frz45\\bord3}M\n";

const char* const kSsa =
    "[Script Info]\nScriptType: v4.00\nPlayResY: 16\n\n[V4 Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, "
    "SecondaryColour, TertiaryColour, BackColour, Bold, Italic, BorderStyle, Outline, Shadow, Alignment, MarginL, "
    "MarginR, MarginV, AlphaLevel, Encoding\n"
    "Style: Default,Sans,10,16777215,255,0,0,-1,0,1,1,0,2,1,1,1,0,0\n\n"
    "[Events]\nFormat: Marked, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
    "Dialogue: Marked=0,0:00:00.00,0:00:01.00,Default,,0000,0000,0000,,AB\n"
    "Dialogue: Marked=0,0:00:00.02,0:00:00.30,Default,,0000,0000,0000,,{\\c&H00FF00&}C\\nD\n";

const char* const kSrt =
    "1\r\n00:00:00,000 --> 00:00:01,000\r\nHELLO\r\n\r\n"
    "2\r\n00:00:00,030 --> 00:00:00,500\r\n<i>two</i> <font color=\"#FF0000\">lines</font>\r\n<b>here</b>\r\n\r\n";

// Sizes and scales stay moderate: libass draws a huge glyph in full before
// it is cut to the 16 x 16 picture, which costs time and finds nothing more.
std::vector<std::string> Tokens() {
    std::vector<std::string> t = fuzz::TextTokens();
    for (const char* s : {"{\\", "}", "\\N", "\\n", "\\h", "{\\t(", "\\move(", "\\fad(", "\\k", "&H", "&HFFFFFFFF&",
                          "Dialogue: ", "Style: ", "Format: ", "[Events]", "[V4+ Styles]", "[Script Info]", "-->", "<i>",
                          "</", "<font ", "{\\fs40}", "{\\fscx400\\fscy0}", "{\\pos(-99999,99999)}", "{\\p1}m 0 0 l 99 99{\\p0}",
                          "\\clip(", "{\\an10}", "{\\r}", "{\\fn", "PlayResX: ", "PlayResY: 0", "WrapStyle: ", "0:00:00.00",
                          "00:00:00,000", "9:59:59.99"})
        t.emplace_back(s);
    return t;
}

class TextSubFuzz : public testing::TestWithParam<int> {};

}  // namespace

TEST_P(TextSubFuzz, DamagedTextSubtitlesBurnOrAreRefusedWithAReason) {
    const std::string clip = fuzz::TinyClip();
    ASSERT_FALSE(clip.empty());
    const int round = GetParam();
    fuzz::Mutator mutator(0x7e575b00ull + uint64_t(round), {kAss, kSsa, kSrt}, Tokens());
    const char* const kExtensions[] = {".ass", ".ssa", ".srt"};
    int opened = 0, lit = 0;
    for (int i = 0; i < kPerRound; ++i) {
        const std::string text = mutator.Next(6, 8192);
        const std::string path = test::TestRoot() + "/sub" + kExtensions[mutator.rng().Below(3)];
        test::WriteFile(path, text);
        const fuzz::Burned b = fuzz::Burn(clip, "TextSub(\"" + path + "\")");
        if (!b.opened) {
            // A file no reader takes is a script error that names the filter.
            EXPECT_NE(b.error.find("TextSub"), std::string::npos) << "round " << round << " input " << i << ": " << b.error;
            continue;
        }
        ++opened;
        ASSERT_FALSE(b.readFailed) << "round " << round << " input " << i;
        ASSERT_EQ(b.frames[0].size(), fuzz::kFrameBytes);
        // The same frame twice is the same picture.
        EXPECT_EQ(b.frames[0], b.frames[2]) << "round " << round << " input " << i;
        lit += fuzz::LitPixels(b.frames[0]) > 0 || fuzz::LitPixels(b.frames[1]) > 0;
    }
    // Most damaged files are still read, and many still draw something.
    EXPECT_GT(opened, kPerRound / 3);
    EXPECT_GT(lit, kPerRound / 5);
}

INSTANTIATE_TEST_SUITE_P(Rounds, TextSubFuzz, testing::Range(0, kRounds));

// Found by the rounds above: a damaged style ("Fontsize" 65536) made libass
// draw glyphs of gigabytes (17 GB before the process was killed); override
// tags can ask the same. Sizes, scales, borders, shadows and blurs are now
// held to a few picture heights: the line still shows, the memory stays small.
TEST(TextSubFuzzFindings, HugeSizesInStylesAndTagsAreHeldToAFewPictureHeights) {
    const std::string clip = fuzz::TinyClip();
    ASSERT_FALSE(clip.empty());
    std::string style = kSsa;
    const size_t at = style.find("Default,Sans,10,");
    ASSERT_NE(at, std::string::npos);
    style.replace(at, 16, "Default,Sans,65536,");
    const std::string tags = std::string(kSrt).replace(std::string(kSrt).find("HELLO"), 5,
                                                           "{\\fs65536\\bord65536\\shad65536\\fscx65536\\blur65536\\be65536}HELLO");
    const std::pair<std::string, std::string> files[] = {{"huge.ssa", style}, {"huge.srt", tags}};
    for (const auto& [name, text] : files) {
        const std::string path = test::TestRoot() + "/" + name;
        test::WriteFile(path, text);
        const fuzz::Burned b = fuzz::Burn(clip, "TextSub(\"" + path + "\")");
        ASSERT_TRUE(b.opened) << b.error;
        ASSERT_FALSE(b.readFailed);
        EXPECT_GT(fuzz::LitPixels(b.frames[0]), 0) << path;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 2L * 1024 * 1024) << "peak of " << usage.ru_maxrss / 1024 << " MB";
}

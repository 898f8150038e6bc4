// Bad input for both readers: empty and binary files, huge lines and counts,
// numbers that overflow or are negative. Nothing may crash, hang or read past
// a buffer (this file also runs in the sanitizer build).
#include <gtest/gtest.h>

#include <QFile>
#include <random>

#include "common/ui/Dialogs.h"
#include "subtitles/RTS.h"
#include "subtitles/VobSubFile.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kManyEntries = 100000;  // the instrumented build is slower
#else
constexpr int kManyEntries = 1000000;
#endif

QString Write(const std::string& name, const std::string& bytes) {
    test::WriteFile(test::TestRoot() + "/" + name, bytes);
    return QString::fromStdString(test::TestRoot() + "/" + name);
}

std::string Garbage(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

}  // namespace

TEST(BadInput, EmptyAndBinaryFilesAreNoSubtitles) {
    int boxes = 0;
    SetMessageBoxHook([&](const MessageBoxRequest&) { return ++boxes, IDOK; });
    for (const char* ext : {".srt", ".sub", ".ssa", ".smi", ".usf", ".txt", ".idx"}) {
        SCOPED_TRACE(ext);
        CRenderedTextSubtitle sts;
        EXPECT_FALSE(sts.Open(Write(std::string("empty") + ext, ""), DEFAULT_CHARSET));
        EXPECT_FALSE(sts.Open(Write(std::string("garbage") + ext, Garbage(256 * 1024, 7)), DEFAULT_CHARSET));
        EXPECT_EQ(sts.GetCount(), 0);
    }
    Write("movie.idx", "");
    Write("movie.sub", Garbage(100000, 3));
    CVobSubFile vob;
    EXPECT_FALSE(vob.Open(QString::fromStdString(test::TestRoot() + "/movie.idx")));
    Write("movie.idx", Garbage(100000, 4));
    EXPECT_FALSE(vob.Open(QString::fromStdString(test::TestRoot() + "/movie.idx")));
    EXPECT_EQ(vob.CountStreams(), 0);
}

TEST(BadInput, LongLinesInEveryFormat) {
    const std::string longText(100000, 'w');
    struct Case {
        const char* name;
        std::string content;
        int textLength;  // expected length of the first entry's text, -1: no check
    };
    const Case cases[] = {
        {"long.srt", "1\n00:00:01,000 --> 00:00:02,000\n" + longText + "\n", 100000},
        {"long.sub", "{1}{2}" + longText + "\n", 100000},
        {"long.txt", "00:00:01:" + longText + "\n", 100000},
        {"long.ass", "[Events]\nDialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,," + longText + "\n", 100000},
        {"long2.txt", "[1][2]" + longText + "\n", 100000},
        {"long.smi", "<SAMI>\n<SYNC Start=1000>" + longText + "\n", 100000},
        {"noise.srt", std::string(300000, '1') + "\n", -1},
        {"noise.ass", "[Script Info]\nPlayResX: " + std::string(100000, '9') + "\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRenderedTextSubtitle sts;
        bool ok = sts.Open(Write(c.name, c.content), DEFAULT_CHARSET);
        if (c.textLength >= 0) {
            ASSERT_TRUE(ok);
            ASSERT_GE(sts.GetCount(), 1);
            EXPECT_EQ(sts[0].str.size(), c.textLength);
        }
    }
}

TEST(BadInput, MillionsOfEntries) {
    std::string text;
    text.reserve(static_cast<size_t>(kManyEntries) * 16);
    for (int i = 0; i < kManyEntries; ++i) text += "{" + std::to_string(i) + "}{" + std::to_string(i + 1) + "}x\n";
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("many.sub", text), DEFAULT_CHARSET));
    EXPECT_EQ(sts.GetCount(), kManyEntries);
    EXPECT_EQ(sts[kManyEntries - 1].start, kManyEntries - 1);
}

TEST(BadInput, TimesBeyond32BitsAreClamped) {
    struct Case {
        const char* name;
        std::string content;
        int start, end;
    };
    const Case cases[] = {
        {"big.srt", "1\n99999999:00:00,000 --> 99999999:00:01,000\nx\n", 2147483647, 2147483647},
        {"big.txt", "[99999999999][99999999999]x\n", 2147483647, 2147483647},
        {"big.sub", "{99999999999}{99999999999}x\n", 2147483647, 2147483647},
        {"big.ass", "[Events]\nDialogue: 0,99999:00:00.00,99999999999:00:00.00,Default,,0,0,0,,x\n", 2147483647,
         2147483647},
        {"big.smi", "<SAMI>\n<SYNC Start=999999999999999>x\n", 2147483647, 2147483647},
        {"neg.srt", "1\n-1:-1:-1,-1 --> 00:00:01,000\nx\n", -3661001, 1000},
        {"neg.sub", "{-50}{-10}x\n", -50, -10},
        {"neg.txt", "[-10][-5]x\n", -1000, -500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRenderedTextSubtitle sts;
        ASSERT_TRUE(sts.Open(Write(c.name, c.content), DEFAULT_CHARSET));
        ASSERT_GE(sts.GetCount(), 1);
        EXPECT_EQ(sts[0].start, c.start);
        EXPECT_EQ(sts[0].end, c.end);
    }
}

TEST(BadInput, NegativeAndHugeStyleValues) {
    std::string ass =
        "[Script Info]\nScriptType: v4.00+\nPlayResX: -5\nPlayResY: 2147483647\n[V4+ Styles]\n"
        "Style: S,Arial,-20,&HFFFFFFFFFF,-1,99999999999,-99999999999,-1,-1,-1,-1,-100,-100,-5,-720,-7,-2,-3,-9,"
        "-10,-10,-10,-1\n"
        "[Events]\nDialogue: -3,0:00:01.00,0:00:02.00,S,,-1,-2,-3,,x\n";
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("neg.ass", ass), DEFAULT_CHARSET));
    const STSStyle* s = sts.FindStyle("S");
    ASSERT_NE(s, nullptr);
    EXPECT_DOUBLE_EQ(s->fontScaleX, 0);
    EXPECT_DOUBLE_EQ(s->fontSpacing, 0);
    EXPECT_DOUBLE_EQ(s->outlineWidth, 0);
    EXPECT_DOUBLE_EQ(s->shadowDepth, 0);
    EXPECT_EQ(s->borderStyle, 0);
    EXPECT_EQ(s->colors[0], 0xFFFFFFu);
    EXPECT_EQ(sts[0].layer, -3);
}

TEST(BadInput, VobSubHugeAndNegativeValues) {
    std::string idx =
        "# VobSub index file, v7\nsize: -1x-1\norg: -5, -5\nalpha: -50\nfadein/out: -1, -1\n"
        "time offset: -99999999:00:00:000\nlangidx: 2147483647\n"
        "id: en, index: 0\n"
        "delay: -99999999:00:00:000\n"
        "timestamp: 99999999:00:00:000, filepos: ffffffffffffffffff\n"
        "timestamp: -00:00:01:000, filepos: 7fffffffffffffff\n";
    Write("movie.idx", idx);
    Write("movie.sub", "");
    CVobSubFile vob;
    ASSERT_TRUE(vob.Open(QString::fromStdString(test::TestRoot() + "/movie.idx")));
    EXPECT_EQ(vob.CountStreams(), 1);
    EXPECT_EQ(vob.GetStream(), 1);
    EXPECT_EQ(vob.m_langs[0].subpos.size(), 2u);
    EXPECT_FALSE(vob.m_langs[0].subpos[0].fValid);
}

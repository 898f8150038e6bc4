// The ten text formats, each read from a small hand-written file in
// tests/data/subtitles: entry count, times, texts with their override tags,
// styles, and the recognition order.
#include <gtest/gtest.h>

#include <QFile>

#include "platform/shell/Shell.h"
#include "subtitles/RTS.h"

using namespace kalvex;

namespace {

QString Data(const char* name) { return QString(KALVEX_SOURCE_DIR "/tests/data/subtitles/") + name; }

struct Expected {
    int start, end;
    const char* text;
};

void ExpectEntries(const CSimpleTextSubtitle& sts, std::initializer_list<Expected> expected) {
    ASSERT_EQ(sts.GetCount(), static_cast<int>(expected.size()));
    int i = 0;
    for (const Expected& e : expected) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sts[i].start, e.start);
        EXPECT_EQ(sts[i].end, e.end);
        EXPECT_EQ(sts[i].str, QString::fromUtf8(e.text));
        ++i;
    }
}

}  // namespace

TEST(TextFormats, SubRipTagsTimesAndNumberInsideText) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("sample.srt"), DEFAULT_CHARSET));
    EXPECT_EQ(sts.m_mode, TIME);
    ExpectEntries(sts, {{1500, 3250, "{\\i1}Hello{\\i} world\\Nsecond {\\b1}line{\\b}"},
                        {62003, 64000, "A number line inside the text:\\N42\\N{\\u1}still entry two{\\u}"},
                        {3600000, 3602500, "Last"}});
    for (const STSEntry& e : sts.Entries()) {
        EXPECT_EQ(e.style, "Default");
        EXPECT_FALSE(e.fUnicode);
    }
    EXPECT_EQ(sts[2].readorder, 2);
    EXPECT_EQ(sts.m_playResX, 384);
    EXPECT_EQ(sts.m_playResY, 288);
    ASSERT_NE(sts.FindStyle("Default"), nullptr);
}

TEST(TextFormats, SubRipWithoutSequenceNumbersStillSplitsEntries) {
    QString path = QString::fromStdString(std::string(getenv("KALVEX_TEST_ROOT")) + "/nonum.srt");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("00:00:01,000 --> 00:00:02,000\nA\n\n00:00:03,000 --> 00:00:04,000\nB\n");
    f.close();
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 2000, "A"}, {3000, 4000, "B"}});
}

// A time line that stops short of its last number (13 of its 14 fields,
// or fewer) is not SubRip: the reader refuses the file rather than take
// times it never read. All 14 fields are taken.
TEST(TextFormats, SubRipRefusesATimeLineCutShort) {
    const char* const lines[] = {"1\n00:00:01,000 --> 00:00:02,\nA\n",
                                 "1\n00:00:01,000 --> 00:00:02\nA\n",
                                 "1\n00:00:01,000 --> 00\nA\n",
                                 "1\n00:00:01,000\nA\n"};
    const QString path = QString::fromStdString(std::string(getenv("KALVEX_TEST_ROOT")) + "/cut.srt");
    for (const char* text : lines) {
        SCOPED_TRACE(text);
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(text);
        out.close();
        CTextFile f;
        ASSERT_TRUE(f.Open(path));
        CSimpleTextSubtitle sts;
        EXPECT_FALSE(sts::OpenSubRipper(&f, sts, DEFAULT_CHARSET));
    }
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write("1\n00:00:01,000 --> 00:00:02,5\nA\n");
    out.close();
    CTextFile f;
    ASSERT_TRUE(f.Open(path));
    CSimpleTextSubtitle sts;
    ASSERT_TRUE(sts::OpenSubRipper(&f, sts, DEFAULT_CHARSET));
    ASSERT_EQ(sts.GetCount(), 1);
    EXPECT_EQ(sts[0].end, 2005);
}

TEST(TextFormats, OldSubRip) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("oldsubrip.srt"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 4000, "First line\\Nsecond line"}, {60000, 62000, "Another"}});
}

TEST(TextFormats, SubViewerSettingsBecomeOverrideTags) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("subviewer.sub"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1500, 3000, "{\\fnTahoma\\c&H0000FF\\fs24\\i1}Hello\\NWorld"},
                        {4000, 5250, "{\\fnTahoma\\c&H0000FF\\fs24\\i1}Second"}});
}

TEST(TextFormats, MicroDVDFramesCodesStyleAndOpenEnd) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("microdvd.sub"), DEFAULT_CHARSET));
    EXPECT_EQ(sts.m_mode, FRAME);
    ExpectEntries(sts, {{25, 75, "{\\i1}Italic line{\\i}\\N{\\b1}Bold entry\\Nplain"},
                        {100, 150, "Open entry"},
                        {150, 200, "{\\c&Hff00&}Green{\\c}\\Nnormal"}});
    // "{DEFAULT}{}" with codes defined the Default style itself.
    const STSStyle* def = sts.FindStyle("Default");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->colors[0], 0x0000FFu);
    EXPECT_DOUBLE_EQ(def->fontSize, 20.0);
    EXPECT_EQ(sts.Styles().size(), 1u);
}

TEST(TextFormats, MicroDVDCodeConversion) {
    EXPECT_EQ(sts::MicroDVDToSSA("{f:Tahoma}{s:12}{h:0}a|{F:Times}b|c"),
              "{\\fnTahoma}{\\fs12.000000}{\\fe0}a{\\fn}{\\fs}{\\fe}\\N{\\fnTimes}b\\Nc");
    EXPECT_EQ(sts::MicroDVDToSSA("{y:bius}x"), "{\\b1\\i1\\u1\\s1}x{\\b}{\\i}{\\u}{\\s}");
    EXPECT_EQ(sts::MicroDVDToSSA("{o:10,20}pos"), "{\\move(10,20,10,20,0,0)}pos");
    // Braces that are no control code stay text.
    EXPECT_EQ(sts::MicroDVDToSSA("{not a code} text"), "{not a code} text");
}

TEST(TextFormats, SamiSyncsCommentsAndLastEnd) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("sample.smi"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 3000, "Hello there\\Nsecond line"},
                        {4000, 6500, "{\\i1}It{\\i} says \"hi\" {\\c&H0000FF&}red{\\c}"},
                        {6500, 2147483647, "{\\b1}Last{\\b}"}});
}

TEST(TextFormats, SamiColourNamesAndHex) {
    EXPECT_EQ(sts::SamiToSSA("<font color=red>a</font>"), "{\\c&H0000FF&}a{\\c}");
    EXPECT_EQ(sts::SamiToSSA("<FONT COLOR=\"#00ff80\">b</FONT>"), "{\\c&H80FF00&}b{\\c}");
    EXPECT_EQ(sts::SamiToSSA("<font color=nosuchcolour>c</font>"), "c{\\c}");
    EXPECT_EQ(sts::SamiToSSA("x<BR>y<br/>z"), "x\\Ny\\Nz");
}

TEST(TextFormats, VPlayerEndFromTextLength) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("vplayer.txt"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 1000 + 1000 + 50 * 11, "Hello\\Nworld"}, {10000, 10000 + 1000 + 50 * 6, "Second"}});
}

TEST(TextFormats, SubStationAlphaVersion4) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("sample.ssa"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1500, 4000, "{\\i1}Hello{\\i}\\Nthere"}, {5000, 6250, "Sign text, with comma"}});
    EXPECT_EQ(sts[0].style, "Default");
    EXPECT_EQ(sts[0].actor, "Bob");
    EXPECT_EQ(sts[1].style, "Sign");
    EXPECT_EQ(sts[1].effect, "Karaoke");
    EXPECT_EQ(sts[1].marginRect, (MarginRect{10, 30, 20, 30}));
    EXPECT_EQ(sts.m_playResX, 640);
    EXPECT_EQ(sts.m_playResY, 480);
    EXPECT_EQ(sts.m_collisions, 1);

    const STSStyle* def = sts.FindStyle("Default");  // written "*Default"
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->fontName, "Tahoma");
    EXPECT_EQ(def->fontWeight, FW_BOLD);
    EXPECT_EQ(def->colors[0], 0xFFFFFFu);
    EXPECT_EQ(def->colors[2], 255u);  // the outline takes the back colour
    EXPECT_EQ(def->alpha[0], 255);    // alpha level 300 clamped
    EXPECT_EQ(def->alpha[3], 128);
    EXPECT_EQ(def->borderStyle, 0);
    EXPECT_EQ(def->scrAlignment, 8);  // old 6 = top centre
    EXPECT_EQ(def->marginRect, (MarginRect{10, 30, 20, 30}));
    EXPECT_EQ(def->charSet, 0);

    const STSStyle* sign = sts.FindStyle("Sign");
    ASSERT_NE(sign, nullptr);
    EXPECT_EQ(sign->fontWeight, FW_NORMAL);
    EXPECT_TRUE(sign->fItalic);
    EXPECT_EQ(sign->borderStyle, 1);
    EXPECT_EQ(sign->scrAlignment, 5);  // old 10 = middle centre
    EXPECT_EQ(sign->colors[2], 0xFF0000u);
    EXPECT_EQ(sign->alpha[0], 64);
}

TEST(TextFormats, AdvancedSubStationLayersAndAlpha) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("sample.ass"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{0, 2000, "{\\an8}Layer two"}, {2500, 3000, "{\\b1}Top{\\b0} line\\Nnext"}});
    EXPECT_EQ(sts[0].layer, 2);
    EXPECT_EQ(sts[1].style, "Top");
    EXPECT_EQ(sts[1].actor, "Ann");
    EXPECT_EQ(sts[1].effect, "Banner;10;20");
    EXPECT_EQ(sts[1].marginRect, (MarginRect{5, 7, 6, 7}));
    EXPECT_EQ(sts.m_playResX, 960);
    EXPECT_EQ(sts.m_playResY, 720);
    EXPECT_EQ(sts.m_defaultWrapStyle, 2);
    EXPECT_TRUE(sts.m_fScaledBAS);

    const STSStyle* def = sts.FindStyle("Default");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->colors[1], 0x0000FFu);
    EXPECT_EQ(def->colors[2], 0u);
    EXPECT_EQ(def->alpha[2], 0x80);
    EXPECT_EQ(def->colors[3], 0x102030u);
    EXPECT_EQ(def->alpha[3], 0xC0);

    const STSStyle* top = sts.FindStyle("Top");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->fontName, "DejaVu Sans");
    EXPECT_DOUBLE_EQ(top->fontSize, 32.5);
    EXPECT_EQ(top->colors[0], 0x00FFFFu);
    EXPECT_EQ(top->alpha[0], 0x40);
    EXPECT_TRUE(top->fItalic && top->fUnderline && top->fStrikeOut);
    EXPECT_EQ(top->fontWeight, FW_BOLD);
    EXPECT_DOUBLE_EQ(top->fontScaleX, 90);
    EXPECT_DOUBLE_EQ(top->fontScaleY, 110);
    EXPECT_DOUBLE_EQ(top->fontSpacing, 1.5);
    EXPECT_DOUBLE_EQ(top->fontAngleZ, 15);
    EXPECT_EQ(top->borderStyle, 1);
    EXPECT_DOUBLE_EQ(top->outlineWidth, 0);
    EXPECT_EQ(top->scrAlignment, 8);
    EXPECT_EQ(top->marginRect, (MarginRect{15, 35, 25, 35}));
}

TEST(TextFormats, AdvancedSubStationVersion6BottomMarginAndRelativeTo) {
    QString path = QString::fromStdString(std::string(getenv("KALVEX_TEST_ROOT")) + "/v6.ass");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Script Info]\nScriptType: v4.00++\n[V4++ Styles]\n"
            "Style: S,Arial,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,2,2,1,2,3,4,1,0\n"
            "[Events]\nDialogue: 1,0:00:01.00,0:00:02.00,S,,5,6,7,8,,Six\n");
    f.close();
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
    ASSERT_EQ(sts.GetCount(), 1);
    EXPECT_EQ(sts[0].marginRect, (MarginRect{5, 7, 6, 8}));
    EXPECT_EQ(sts[0].layer, 1);
    const STSStyle* s = sts.FindStyle("S");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->marginRect, (MarginRect{1, 3, 2, 4}));
    EXPECT_EQ(s->relativeTo, 0);
}

TEST(TextFormats, XombieSub) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("sample.xss"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 2500, "Hello from {\\i1}Xombie{\\i}"}, {5000, 6000, "Second line"}});
    EXPECT_EQ(sts[0].style, "Main_Normal");
    EXPECT_EQ(sts[0].actor, "Narrator");
    EXPECT_EQ(sts[1].layer, 1);
    EXPECT_EQ(sts[1].marginRect, (MarginRect{1, 3, 2, 3}));
    EXPECT_EQ(sts.m_playResX, 1280);
    EXPECT_EQ(sts.m_playResY, 1024);
    const STSStyle* s = sts.FindStyle("Main_Normal");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->fontName, "Verdana");
    EXPECT_EQ(s->alpha[3], 128);
    EXPECT_EQ(s->fontWeight, FW_BOLD);
    EXPECT_EQ(s->borderStyle, 0);
    EXPECT_EQ(s->marginRect, (MarginRect{10, 20, 10, 20}));
}

TEST(TextFormats, USF) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("sample.usf"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 3500, "Hello {\\1c&H0000ff&}{\\i1}red{\\i}{\\1c}\\Nsecond"},
                        {60250, 62000, "{\\an5}{\\rz45}{\\q1}Middle"},
                        {5500, 7000, "{\\fnCourier}{\\fs30}{\\b1}Mono{\\b}{\\fs}{\\fn}"}});
    EXPECT_EQ(sts[0].style, "Default");
    EXPECT_EQ(sts[1].style, "Top");
    EXPECT_TRUE(sts[0].fUnicode);
    const STSStyle* def = sts.FindStyle("Default");
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->colors[0], 0x00FFFFu);
    EXPECT_EQ(def->colors[2], 0x800000u);
    EXPECT_EQ(def->fontWeight, FW_BOLD);
    EXPECT_DOUBLE_EQ(def->fontSize, 24);
    EXPECT_EQ(def->marginRect, (MarginRect{20, 30, 20, 30}));
    const STSStyle* top = sts.FindStyle("Top");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->scrAlignment, 7);
    EXPECT_TRUE(top->fItalic && top->fUnderline);
    EXPECT_EQ(top->fontWeight, FW_NORMAL);
    EXPECT_DOUBLE_EQ(top->fontAngleZ, 10);
}

TEST(TextFormats, MPL2) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Data("mpl2.txt"), DEFAULT_CHARSET));
    ExpectEntries(sts, {{1000, 2500, "Hello\\N{\\i1}italic line{\\i0}"}, {3000, 4500, "{\\i1}all italic{\\i0}\\Nnormal"}});
}

TEST(TextFormats, EachSampleIsTakenByItsOwnReaderOnly) {
    // Every reader on every sample: only the sample's own format (and none
    // before it in the order) accepts it.
    struct Case {
        const char* file;
        int reader;
    };
    using Fn = bool (*)(CTextFile*, CSimpleTextSubtitle&, int);
    const Fn readers[] = {sts::OpenSubRipper, sts::OpenOldSubRipper, sts::OpenSubViewer, sts::OpenMicroDVD,
                          sts::OpenSami,      sts::OpenVPlayer,      sts::OpenSubStationAlpha, sts::OpenXombieSub,
                          sts::OpenUSF,       sts::OpenMPL2};
    const Case cases[] = {{"sample.srt", 0},   {"oldsubrip.srt", 1}, {"subviewer.sub", 2}, {"microdvd.sub", 3},
                          {"sample.smi", 4},   {"vplayer.txt", 5},   {"sample.ssa", 6},    {"sample.ass", 6},
                          {"sample.xss", 7},   {"sample.usf", 8},    {"mpl2.txt", 9}};
    for (const Case& c : cases) {
        for (int r = 0; r <= c.reader; ++r) {
            SCOPED_TRACE(std::string(c.file) + " reader " + std::to_string(r));
            CTextFile f;
            ASSERT_TRUE(f.Open(Data(c.file)));
            CSimpleTextSubtitle sts;
            EXPECT_EQ(readers[r](&f, sts, DEFAULT_CHARSET), r == c.reader);
        }
    }
}

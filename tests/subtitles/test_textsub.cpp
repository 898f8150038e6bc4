// Text subtitle model and reading: encodings, stream names, styles and their
// renaming, unknown styles, the ".style" companion, syntax errors, segments,
// the stream interface, and files fetched from a web address.
#include <gtest/gtest.h>
#include <httplib.h>

#include <QFile>
#include <QFileInfo>
#include <thread>

#include "common/ui/Dialogs.h"
#include "subtitles/RTS.h"
#include "subtitles/Scan.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {

QString Write(const QString& name, const QByteArray& bytes) {
    QString path = test::TestPath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

QByteArray Utf16(const QString& s, bool bigEndian) {
    QByteArray out = bigEndian ? QByteArray("\xFE\xFF", 2) : QByteArray("\xFF\xFE", 2);
    for (QChar c : s) {
        char hi = static_cast<char>(c.unicode() >> 8), lo = static_cast<char>(c.unicode() & 0xFF);
        if (bigEndian) out.append(hi).append(lo);
        else out.append(lo).append(hi);
    }
    return out;
}

const char* kSrt = "1\r\n00:00:01,000 --> 00:00:02,000\r\nPlain ASCII text\r\n\r\n2\r\n00:00:03,000 --> 00:00:04,000\r\nMore\r\n";

std::vector<MessageBoxRequest> g_boxes;
void RecordBoxes(int answer = IDOK) {
    g_boxes.clear();
    SetMessageBoxHook([answer](const MessageBoxRequest& r) {
        g_boxes.push_back(r);
        return answer;
    });
}

}  // namespace

TEST(TextFile, ByteOrderMarksAndEncodings) {
    QString text = QString::fromUtf8("Grüße € ✓ 日本");
    struct Case {
        QByteArray bytes;
        CTextFile::enc encoding;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBF" + text.toUtf8() + "\r\nnext", CTextFile::UTF8},
        {Utf16(text + "\r\nnext", false), CTextFile::LE16},
        {Utf16(text + "\r\nnext", true), CTextFile::BE16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        CTextFile f;
        ASSERT_TRUE(f.Open(Write("t.txt", c.bytes)));
        EXPECT_EQ(f.GetEncoding(), c.encoding);
        EXPECT_TRUE(f.IsUnicode());
        QString line;
        ASSERT_TRUE(f.ReadLine(line));
        EXPECT_EQ(line, text);
        ASSERT_TRUE(f.ReadLine(line));
        EXPECT_EQ(line, "next");
        EXPECT_FALSE(f.ReadLine(line));
        // Seeking back to 0 lands after the byte-order mark.
        f.Seek(0);
        QByteArray narrow;
        ASSERT_TRUE(f.ReadLine(narrow));
        EXPECT_EQ(narrow, text.toUtf8());
    }
}

TEST(TextFile, SingleByteKeepsByteValuesAndTwoByteFileWithoutMark) {
    CTextFile f;
    ASSERT_TRUE(f.Open(Write("a.txt", QByteArray("caf\xE9\r\nx"))));
    EXPECT_EQ(f.GetEncoding(), CTextFile::ASCII);
    EXPECT_FALSE(f.IsUnicode());
    QString line;
    ASSERT_TRUE(f.ReadLine(line));
    ASSERT_EQ(line.size(), 4);
    EXPECT_EQ(line[3].unicode(), 0xE9);
    QByteArray raw;
    ASSERT_TRUE(f.ReadLine(raw));
    EXPECT_EQ(raw, "x");

    CTextFile g;  // EF BB without BF is no mark
    ASSERT_TRUE(g.Open(Write("b.txt", QByteArray("\xEF\xBB" "A"))));
    EXPECT_EQ(g.GetEncoding(), CTextFile::ASCII);
    CTextFile h;
    ASSERT_TRUE(h.Open(Write("c.txt", QByteArray("\xFF\xFE"))));
    EXPECT_EQ(h.GetEncoding(), CTextFile::LE16);
    EXPECT_FALSE(h.ReadLine(line));
}

TEST(TextFile, BrokenUtf8BecomesQuestionMarks) {
    CTextFile f;
    // Truncated 3-byte sequence, stray continuation, invalid lead, truncated at the end.
    ASSERT_TRUE(f.Open(Write("u.txt", QByteArray("\xEF\xBB\xBF" "a\xE2\x82z\x80\xFF\n\xE2"))));
    QString line;
    ASSERT_TRUE(f.ReadLine(line));
    EXPECT_EQ(line, "a?z??");
    ASSERT_TRUE(f.ReadLine(line));
    EXPECT_EQ(line, "?");
    EXPECT_FALSE(f.ReadLine(line));
}

TEST(TextFile, MissingFolderAndUnreadablePathsFail) {
    CTextFile f;
    EXPECT_FALSE(f.Open(test::TestPath("missing.srt")));
    EXPECT_FALSE(f.Open(QString::fromStdString(test::TestRoot())));  // a folder
}

TEST(TextSubtitle, Utf8WithMarkAndAsciiGiveTheSameEntries) {
    CRenderedTextSubtitle a, b;
    ASSERT_TRUE(a.Open(Write("a.srt", kSrt), DEFAULT_CHARSET));
    ASSERT_TRUE(b.Open(Write("b.srt", QByteArray("\xEF\xBB\xBF") + kSrt), DEFAULT_CHARSET));
    ASSERT_EQ(a.GetCount(), 2);
    ASSERT_EQ(b.GetCount(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(a[i].str, b[i].str);
        EXPECT_EQ(a[i].start, b[i].start);
        EXPECT_EQ(a[i].end, b[i].end);
    }
    EXPECT_FALSE(a[0].fUnicode);
    EXPECT_TRUE(b[0].fUnicode);
    EXPECT_EQ(a.m_encoding, CTextFile::ASCII);
    EXPECT_EQ(b.m_encoding, CTextFile::UTF8);
}

TEST(TextSubtitle, Utf16BigEndianSubRip) {
    QString srt = QString::fromUtf8("1\r\n00:00:01,000 --> 00:00:02,000\r\nÄrger über Öl\r\n");
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("be.srt", Utf16(srt, true)), DEFAULT_CHARSET));
    ASSERT_EQ(sts.GetCount(), 1);
    EXPECT_EQ(sts[0].str, QString::fromUtf8("Ärger über Öl"));
    EXPECT_TRUE(sts[0].fUnicode);
    EXPECT_EQ(sts.m_encoding, CTextFile::BE16);
}

TEST(TextSubtitle, StreamNames) {
    EXPECT_EQ(CSimpleTextSubtitle::StreamNameFromPath("C:\\subs\\movie.eng.srt"), "eng");
    EXPECT_EQ(CSimpleTextSubtitle::StreamNameFromPath("/subs/movie.srt"), "movie");
    EXPECT_EQ(CSimpleTextSubtitle::StreamNameFromPath("/sub.dir/movie"), "movie");
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("movie.en.ass", "[Script Info]\n[Events]\nDialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,x\n"),
                         DEFAULT_CHARSET));
    EXPECT_EQ(sts.m_name, "en");
    CRenderedTextSubtitle named;
    ASSERT_TRUE(named.Open(Write("x.srt", kSrt), DEFAULT_CHARSET, "given"));
    EXPECT_EQ(named.m_name, "given");
}

TEST(TextSubtitle, StreamInterface) {
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("movie.eng.srt", kSrt), DEFAULT_CHARSET));
    ISubStream* stream = &sts;
    EXPECT_EQ(stream->CountStreams(), 1);
    WCHAR* name = nullptr;
    LCID lcid = 99;
    ASSERT_EQ(stream->DescribeStream(0, &name, &lcid), S_OK);
    EXPECT_EQ(QString::fromUtf16(name), "eng");
    EXPECT_EQ(lcid, 0u);
    CoTaskMemFree(name);
    EXPECT_EQ(stream->DescribeStream(1, &name, &lcid), E_INVALIDARG);
    EXPECT_EQ(stream->DescribeStream(-1, &name, &lcid), E_INVALIDARG);
    SetTaskMemAllocHook([](std::size_t) -> void* { return nullptr; });
    EXPECT_EQ(stream->DescribeStream(0, &name, &lcid), E_OUTOFMEMORY);
    SetTaskMemAllocHook(nullptr);
    EXPECT_EQ(stream->GetStream(), 0);
    EXPECT_EQ(stream->SelectStream(0), S_OK);
    EXPECT_EQ(stream->SelectStream(1), E_FAIL);
    CLSID clsid{};
    EXPECT_EQ(stream->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_RenderedTextSubtitle);
    EXPECT_EQ(stream->GetClassID(nullptr), E_POINTER);
}

TEST(TextSubtitle, AddEntryRules) {
    CSimpleTextSubtitle sts;
    sts.AddEntry("   ", false, 0, 10);                // empty after trimming
    sts.AddEntry("x", false, 20, 10);                 // start after end
    sts.AddEntry(" a\r\nb \n", true, 5, 5, "", "", "", {}, 0, -1);
    sts.AddEntry("c", false, 6, 7, "**Sign", "", "", {}, 3, 42);
    ASSERT_EQ(sts.GetCount(), 2);
    EXPECT_EQ(sts[0].str, "a\\Nb");
    EXPECT_EQ(sts[0].style, "Default");
    EXPECT_EQ(sts[0].readorder, 0);
    EXPECT_EQ(sts[1].style, "Sign");
    EXPECT_EQ(sts[1].readorder, 42);
    EXPECT_EQ(sts[1].layer, 3);
}

TEST(TextSubtitle, DefaultStyleValues) {
    CSimpleTextSubtitle sts;
    sts.EnsureDefaultStyle(ANSI_CHARSET);
    const STSStyle* s = sts.FindStyle("Default");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->charSet, ANSI_CHARSET);
    EXPECT_EQ(s->marginRect, (MarginRect{20, 20, 20, 20}));
    EXPECT_EQ(s->scrAlignment, 2);
    EXPECT_EQ(s->borderStyle, 0);
    EXPECT_DOUBLE_EQ(s->outlineWidth, 2.0);
    EXPECT_DOUBLE_EQ(s->shadowDepth, 3.0);
    EXPECT_EQ(s->colors[0], 0x00FFFFFFu);
    EXPECT_EQ(s->colors[1], 0x0000FFFFu);
    EXPECT_EQ(s->colors[2], 0u);
    EXPECT_EQ(s->colors[3], 0u);
    EXPECT_EQ(s->alpha[3], 128);
    EXPECT_EQ(s->fontName, "Arial");
    EXPECT_DOUBLE_EQ(s->fontSize, 18.0);
    EXPECT_DOUBLE_EQ(s->fontScaleX, 100.0);
    EXPECT_EQ(s->fontWeight, 700);
    EXPECT_FALSE(s->fItalic || s->fUnderline || s->fStrikeOut || s->fBlur);
    EXPECT_EQ(s->relativeTo, 2);
    // A second call keeps the first.
    sts.EnsureDefaultStyle(DEFAULT_CHARSET);
    EXPECT_EQ(sts.FindStyle("Default")->charSet, ANSI_CHARSET);
}

TEST(TextSubtitle, StoreStyleRenamesTheOlderStyle) {
    CSimpleTextSubtitle sts;
    STSStyle a, b, c;
    b.fontName = "Tahoma";
    c.fontSize = 40;
    sts.StoreStyle("Default", a);
    sts.AddEntry("uses first", false, 0, 1, "Default");
    sts.StoreStyle("Default", a);  // equal in every field: nothing changes
    EXPECT_EQ(sts.Styles().size(), 1u);
    sts.StoreStyle("Default", b);
    sts.AddEntry("uses second", false, 2, 3, "Default");
    sts.StoreStyle("Default", c);
    ASSERT_EQ(sts.Styles().size(), 3u);
    EXPECT_EQ(sts.FindStyle("Default2")->fontName, "Arial");
    EXPECT_EQ(sts.FindStyle("Default3")->fontName, "Tahoma");
    EXPECT_DOUBLE_EQ(sts.FindStyle("Default")->fontSize, 40);
    EXPECT_EQ(sts[0].style, "Default2");
    EXPECT_EQ(sts[1].style, "Default3");
    // Trailing digits count on from their own number.
    sts.StoreStyle("Sign9", a);
    sts.StoreStyle("Sign9", b);
    EXPECT_NE(sts.FindStyle("Sign10"), nullptr);
    sts.StoreStyle("", b);  // an empty name is "Default"
    EXPECT_EQ(sts.FindStyle("Default")->fontName, "Tahoma");
}

TEST(TextSubtitle, DuplicateDefaultInFileMovesToDefault2) {
    QByteArray ass =
        "[Script Info]\nScriptType: v4.00+\n[V4+ Styles]\n"
        "Style: Default,Arial,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,2,2,10,10,10,1\n"
        "[Events]\nDialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,First\n"
        "[V4+ Styles]\n"
        "Style: Default,Tahoma,30,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,2,2,10,10,10,1\n"
        "[Events]\nDialogue: 0,0:00:03.00,0:00:04.00,Default,,0,0,0,,Second\n";
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("dup.ass", ass), DEFAULT_CHARSET));
    ASSERT_EQ(sts.GetCount(), 2);
    EXPECT_EQ(sts[0].style, "Default2");
    EXPECT_EQ(sts[1].style, "Default");
    EXPECT_EQ(sts.FindStyle("Default2")->fontName, "Arial");
    EXPECT_EQ(sts.FindStyle("Default")->fontName, "Tahoma");
}

TEST(TextSubtitle, UnknownStylesWarnUntilCancel) {
    QByteArray ass =
        "[Script Info]\nScriptType: v4.00+\n[Events]\n"
        "Dialogue: 0,0:00:01.00,0:00:02.00,Nope,,0,0,0,,a\n"
        "Dialogue: 0,0:00:02.00,0:00:03.00,Other,,0,0,0,,b\n"
        "Dialogue: 0,0:00:03.00,0:00:04.00,Third,,0,0,0,,c\n"
        "Dialogue: 0,0:00:04.00,0:00:05.00,default,,0,0,0,,d\n";
    QString path = Write("unknown.ass", ass);
    // The reader asks whoever opened the file and never shows a box itself.
    RecordBoxes(IDOK);
    std::vector<QString> asked;
    auto answering = [&asked](bool answer) {
        asked.clear();
        return [&asked, answer](const QString& style) {
            asked.push_back(style);
            return answer;
        };
    };
    {
        CRenderedTextSubtitle sts;
        sts.SetUnknownStyleQuestion(answering(true));
        ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
        // One question per unknown entry; "default" is Default.
        EXPECT_EQ(asked, (std::vector<QString>{"Nope", "Other", "Third"}));
        for (const STSEntry& e : sts.Entries()) EXPECT_EQ(e.style, "Default");
    }
    {
        // "No" stops the questions for the rest of the file, not the fixing.
        CRenderedTextSubtitle sts;
        sts.SetUnknownStyleQuestion(answering(false));
        ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
        EXPECT_EQ(asked, (std::vector<QString>{"Nope"}));
        for (const STSEntry& e : sts.Entries()) EXPECT_EQ(e.style, "Default");
        // The next file is asked about again.
        ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
        EXPECT_EQ(asked, (std::vector<QString>{"Nope", "Nope"}));
    }
    {
        // Nobody to ask: the styles are fixed all the same.
        CRenderedTextSubtitle sts;
        ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
        ASSERT_EQ(sts.GetCount(), 4);
        for (const STSEntry& e : sts.Entries()) EXPECT_EQ(e.style, "Default");
        EXPECT_FALSE(sts.LastError());
    }
    EXPECT_TRUE(g_boxes.empty());
}

TEST(TextSubtitle, StyleCompanionAddsStyles) {
    QString path = Write("movie.srt", kSrt);
    Write("movie.srt.style",
          "[V4+ Styles]\n"
          "Style: Sign,Verdana,30,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,2,8,10,10,10,1\n");
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(path, DEFAULT_CHARSET));
    ASSERT_NE(sts.FindStyle("Sign"), nullptr);
    EXPECT_EQ(sts.FindStyle("Sign")->fontName, "Verdana");
    ASSERT_NE(sts.FindStyle("Default"), nullptr);
    ASSERT_EQ(sts.GetCount(), 2);
    EXPECT_EQ(sts[0].style, "Default");
}

TEST(TextSubtitle, SyntaxErrorAfterGoodEntries) {
    RecordBoxes();
    CRenderedTextSubtitle sts;
    EXPECT_FALSE(sts.Open(Write("bad.sub", "{1}{2}one\n\n{3}{4}two\nthis is not MicroDVD\n{5}{6}three\n"),
                          DEFAULT_CHARSET));
    // The reason comes back; the reader shows nothing.
    EXPECT_EQ(sts.LastError().kind, SubtitleReadError::SyntaxError);
    EXPECT_EQ(sts.LastError().line, 4);
    EXPECT_EQ(sts.LastError().text, "Syntax error at line 4!\t");
    EXPECT_TRUE(g_boxes.empty());
    EXPECT_EQ(sts.GetCount(), 0);
    EXPECT_TRUE(sts.Styles().empty());
    // A good file afterwards clears the reason.
    EXPECT_TRUE(sts.Open(Write("good.srt", kSrt), DEFAULT_CHARSET));
    EXPECT_FALSE(sts.LastError());
}

TEST(TextSubtitle, SyntaxErrorLineNumbers) {
    // The line counts from 1 and includes empty lines; the first bad line
    // right after the first entry, and one far down.
    struct Case {
        const char* name;
        std::string text;
        int line;
    };
    std::string many;
    for (int i = 0; i < 99; ++i) many += "{" + std::to_string(i * 10) + "}{" + std::to_string(i * 10 + 5) + "}x\n";
    const Case cases[] = {
        {"second line", "{1}{2}one\nnot MicroDVD\n", 2},
        {"after empty lines", "{1}{2}one\n\n\n\nbroken\n", 5},
        {"line 100", many + "broken\n", 100},
        {"SubRip time line", "1\n00:00:01,000 --> 00:00:02,000\nA\n\n2\nnot a time\n", 6},
        {"CRLF", "{1}{2}one\r\n{3}{4}two\r\nbroken\r\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRenderedTextSubtitle sts;
        EXPECT_FALSE(sts.Open(Write("lines.sub", QByteArray::fromStdString(c.text)), DEFAULT_CHARSET));
        EXPECT_EQ(sts.LastError().kind, SubtitleReadError::SyntaxError);
        EXPECT_EQ(sts.LastError().line, c.line);
        EXPECT_EQ(sts.LastError().text, QString::asprintf("Syntax error at line %d!\t", c.line));
    }
    // A file that is no subtitle at all has no reason to tell.
    CRenderedTextSubtitle sts;
    EXPECT_FALSE(sts.Open(Write("notes.txt", "Just some notes\n"), DEFAULT_CHARSET));
    EXPECT_FALSE(sts.LastError());
    EXPECT_FALSE(sts.Open(Write("nothing-here.srt", ""), DEFAULT_CHARSET));
    EXPECT_FALSE(sts.LastError());
}

TEST(TextSubtitle, NotASubtitle) {
    RecordBoxes();
    CRenderedTextSubtitle sts;
    EXPECT_FALSE(sts.Open(Write("notes.txt", "Just some notes\nabout nothing\n"), DEFAULT_CHARSET));
    EXPECT_FALSE(sts.Open(Write("empty.srt", ""), DEFAULT_CHARSET));
    EXPECT_FALSE(sts.Open(test::TestPath("missing.srt"), DEFAULT_CHARSET));
    EXPECT_TRUE(g_boxes.empty());
}

TEST(TextSubtitle, SegmentsCutAtEveryStartAndEnd) {
    CSimpleTextSubtitle sts;
    sts.AddEntry("a", false, 0, 100);
    sts.AddEntry("b", false, 50, 150);
    sts.AddEntry("c", false, 200, 300);
    const auto& seg = sts.Segments();
    ASSERT_EQ(seg.size(), 4u);
    EXPECT_EQ(seg[0].start, 0);
    EXPECT_EQ(seg[0].end, 50);
    EXPECT_EQ(seg[0].entries, std::vector<int>({0}));
    EXPECT_EQ(seg[1].entries, std::vector<int>({0, 1}));
    EXPECT_EQ(seg[2].start, 100);
    EXPECT_EQ(seg[2].entries, std::vector<int>({1}));
    EXPECT_EQ(seg[3].start, 200);
    EXPECT_EQ(seg[3].end, 300);
    sts.AddEntry("d", false, 250, 260);
    EXPECT_EQ(sts.Segments().size(), 6u);
}

// An entry that ends where it starts (or before) is never shown and never
// cuts the segment of the entry it falls into.
TEST(TextSubtitle, EntriesOfNoLengthMakeNoSegment) {
    CSimpleTextSubtitle sts;
    sts.AddEntry("a", false, 1000, 3000);
    sts.AddEntry("zero", false, 2000, 2000);
    sts.AddEntry("backwards", false, 2500, 2400);
    sts.AddEntry("alone", false, 5000, 5000);
    const auto& seg = sts.Segments();
    ASSERT_EQ(seg.size(), 1u);
    EXPECT_EQ(seg[0].start, 1000);
    EXPECT_EQ(seg[0].end, 3000);
    EXPECT_EQ(seg[0].entries, std::vector<int>({0}));
}

TEST(TextSubtitle, EmbeddedFontIsDecoded) {
    // "ABC" encoded: 0x41 0x42 0x43 → 6-bit groups 16, 20, 9, 3 → +33.
    const char encoded[] = {char(16 + 33), char(20 + 33), char(9 + 33), char(3 + 33)};
    QByteArray ass = "[Script Info]\n[Fonts]\nfontname: test_0.ttf\n" + QByteArray(encoded, 4) +
                     "\n\n[Events]\nDialogue: Marked=0,0:00:01.00,0:00:02.00,Default,,0,0,0,,x\n";
    CRenderedTextSubtitle sts;
    ASSERT_TRUE(sts.Open(Write("font.ssa", ass), DEFAULT_CHARSET));
    ASSERT_EQ(sts.m_fonts.size(), 1u);
    EXPECT_EQ(sts.m_fonts[0].name, "test_0.ttf");
    EXPECT_EQ(sts.m_fonts[0].data, "ABC");
    EXPECT_EQ(sts.GetCount(), 1);
}

namespace {
// A server on 127.0.0.1 for one test; stopped and joined however the test ends.
struct LocalServer {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    void Start() {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
    }
    ~LocalServer() {
        server.stop();
        if (thread.joinable()) thread.join();
    }
};
}  // namespace

TEST(WebTextFile, DownloadsIntoTempFolderAndDeletesOnClose) {
    LocalServer local;
    std::string big(2 * 1024 * 1024, 'x');
    local.server.Get("/subs/movie.srt", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("1\r\n00:00:01,000 --> 00:00:02,000\r\nFrom the web\r\n", "text/plain");
    });
    local.server.Get("/big.txt", [&](const httplib::Request&, httplib::Response& res) { res.set_content(big, "text/plain"); });
    local.Start();
    ASSERT_GT(local.port, 0);
    QString base = QString("http://127.0.0.1:%1").arg(local.port);

    {
        CRenderedTextSubtitle sts;
        ASSERT_TRUE(sts.Open(base + "/subs/movie.srt?session=42", DEFAULT_CHARSET));
        ASSERT_EQ(sts.GetCount(), 1);
        EXPECT_EQ(sts[0].str, "From the web");
        EXPECT_EQ(sts.m_name, "movie");
    }
    {
        CWebTextFile f;
        ASSERT_TRUE(f.Open(base + "/big.txt"));
        QString copy = f.LocalCopy();
        EXPECT_TRUE(copy.startsWith(QString::fromStdString(test::TestRoot())));
        EXPECT_EQ(QFileInfo(copy).fileName(), "big.txt");
        EXPECT_EQ(QFileInfo(copy).size(), 1048576);
        QString line;
        ASSERT_TRUE(f.ReadLine(line));
        EXPECT_EQ(line.size(), 1048576);
        f.Close();
        EXPECT_FALSE(QFileInfo::exists(copy));
    }
    {
        CWebTextFile f;
        EXPECT_FALSE(f.Open(base + "/missing.srt"));
    }
}

TEST(ScanText, ScanfRulesWithSaturation) {
    int a = 0, b = 0;
    QChar c;
    EXPECT_EQ(ScanText(QString(""), "%d", &a), -1);
    EXPECT_EQ(ScanText(QString("x"), "%d", &a), 0);
    EXPECT_EQ(ScanText(QString("12"), "%d%c", &a, &c), 1);  // a sequence number alone
    EXPECT_EQ(ScanText(QString(" -7:+8"), "%d%c%d", &a, &c, &b), 3);
    EXPECT_EQ(a, -7);
    EXPECT_EQ(c, QChar(':'));
    EXPECT_EQ(b, 8);
    EXPECT_EQ(ScanText(QString("99999999999999999999 -99999999999999999999"), "%d %d", &a, &b), 2);
    EXPECT_EQ(a, 2147483647);
    EXPECT_EQ(b, -2147483647 - 1);
    unsigned x = 0;
    EXPECT_EQ(ScanText(QString("0x1F"), "%x", &x), 1);
    EXPECT_EQ(x, 0x1Fu);
    EXPECT_EQ(ScanText(QString("fffffffff"), "%x", &x), 1);
    EXPECT_EQ(x, 0xFFFFFFFFu);
    quint64 big = 0;
    EXPECT_EQ(ScanText(QString("filepos: 0001f4a00"), "filepos: %I64x", &big), 1);
    EXPECT_EQ(big, 0x1f4a00ull);
    double d = 0;
    EXPECT_EQ(ScanText(QString("32.5e1,"), "%f", &d), 1);
    EXPECT_DOUBLE_EQ(d, 325.0);
    EXPECT_EQ(ScanText(QString("1e999"), "%f", &d), 1);
    EXPECT_DOUBLE_EQ(d, 1e9);
    EXPECT_EQ(ScanText(QString("50%,60%"), "%d%%,%d%%", &a, &b), 2);
    EXPECT_EQ(b, 60);
    EXPECT_EQ(ScanText(QString("{1}{}"), "{%d}{%d}", &a, &b), 1);
}

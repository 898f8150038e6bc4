// Subtitle tracks inside video files drawn by EmbeddedSub: text tracks
// (SubRip in Matroska, mov_text in MP4), DVD pictures and Blu-ray PGS
// pictures appear in the frames of their time span at the output size and
// nowhere else; forced-only choices, bad tracks and odd files.
#include <gtest/gtest.h>

#include <QFile>
#include <sys/resource.h>

#include <chrono>
#include <tuple>

#include "samples/VobSubMaker.h"
#include "subtitles/engine/SubtitleFilters.h"
#include "tests/engine/EngineFixtures.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;
using namespace kalvex::test;

namespace {

constexpr int kW = 368, kH = 208;  // the output size the scripts scale to

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = TestRoot() + "/" + name;
    WriteFile(path, bytes);
    return path;
}

// Five seconds of black, 320 x 240 at 25 frames a second, with sound.
std::string BlackVideo() {
    return SharedMedia("black320.mkv", {"-f", "lavfi", "-i", "color=black:size=320x240:rate=25:duration=5", "-f", "lavfi",
                                        "-i", "anullsrc=r=48000:cl=stereo", "-t", "5", "-c:v", "libx264", "-qp", "0",
                                        "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"});
}

// A line from 1,020 ms to 2,000 ms (1,020 ms is not on a frame: frame 25 is
// before it, frame 26 after).
const char kLine[] = "1\n00:00:01,020 --> 00:00:02,000\nWHITE LINE HERE\n\n";

// The black video with the subtitle file muxed in as its one subtitle track.
std::string WithSubtitles(const QString& name, const std::string& subtitles, const QString& codec,
                          const QStringList& extra = {}) {
    QStringList args{"-i", Q(BlackVideo()), "-i", Q(subtitles), "-map", "0", "-map", "1", "-c:v", "copy", "-c:a", "copy",
                     "-c:s", codec};
    args << extra;
    return MakeMedia(TestPath(name), args).toStdString();
}

std::string Script(const std::string& media, const std::string& tail) {
    RegisterSubtitleFilters();
    return "DirectShowSource(\"" + media + "\")\nConvertToYV12()\nBicubicResize(368,208)\n" + tail;
}

std::string Embedded(const std::string& media, int track, int forced = -1) {
    return "EmbeddedSub(\"" + media + "\", " + std::to_string(track) + (forced >= 0 ? ", " + std::to_string(forced) : "") +
           ")\n";
}

int Bright(const std::vector<uint8_t>& f, int top = 0, int bottom = kH, int left = 0, int right = kW) {
    int n = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            if (f[size_t(y) * kW + size_t(x)] > 180) ++n;
    return n;
}

// Frames of one script, each read by a fresh reader or in one run.
struct Frames {
    Opened o;
    std::string error;
    explicit Frames(const std::string& script) {
        if (!o.Open(WriteScript(script, "s" + std::to_string(counter++) + ".avs"))) error = o.error;
    }
    std::vector<uint8_t> operator[](long n) { return o.Frame(n); }
    static inline int counter = 0;
};

// The subtitle shows in frames [first, last] and nowhere else among the
// frames looked at: other frames equal the same script without it.
void ExpectShownExactly(const std::string& media, const std::string& line, long first, long last,
                        const std::vector<long>& outside) {
    Frames plain(Script(media, ""));
    Frames burnt(Script(media, line));
    ASSERT_TRUE(plain.error.empty()) << plain.error;
    ASSERT_TRUE(burnt.error.empty()) << burnt.error;
    for (long n : {first, (first + last) / 2, last}) {
        const auto f = burnt[n];
        ASSERT_EQ(f.size(), size_t(kW) * kH * 3 / 2);
        EXPECT_GT(Bright(f), 100) << "frame " << n;
        EXPECT_EQ(Bright(plain[n]), 0) << "frame " << n;
    }
    for (long n : outside) EXPECT_EQ(burnt[n], plain[n]) << "frame " << n;
}

// ---- a Blu-ray PGS stream written segment by segment ----

void Be(std::string& s, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) s += char((v >> (8 * i)) & 0xFF);
}

std::string Segment(int ms, uint8_t type, const std::string& data) {
    std::string s = "PG";
    Be(s, uint32_t(ms) * 90, 4);  // presentation time, 90 kHz
    Be(s, 0, 4);
    s += char(type);
    Be(s, uint32_t(data.size()), 2);
    return s + data;
}

struct PgsObject {
    int id, x, y, w, h;
    bool forced;
};

// One display set at ms on a canvasW x canvasH presentation: the objects as
// white rectangles, or none (a set that clears the screen).
std::string DisplaySet(int ms, int canvasW, int canvasH, const std::vector<PgsObject>& objects) {
    std::string pcs;
    Be(pcs, canvasW, 2);
    Be(pcs, canvasH, 2);
    pcs += char(0x10);  // frame rate
    Be(pcs, uint32_t(ms / 100), 2);
    pcs += char(objects.empty() ? 0x00 : 0x80);  // epoch start
    pcs += char(0);                               // no palette update
    pcs += char(0);                               // palette 0
    pcs += char(objects.size());
    for (const PgsObject& o : objects) {
        Be(pcs, o.id, 2);
        pcs += char(0);                        // window
        pcs += char(o.forced ? 0x40 : 0x00);  // composition flags
        Be(pcs, o.x, 2);
        Be(pcs, o.y, 2);
    }
    std::string out = Segment(ms, 0x16, pcs);
    if (!objects.empty()) {
        std::string wds;
        wds += char(1);
        wds += char(0);
        Be(wds, 0, 2), Be(wds, 0, 2), Be(wds, canvasW, 2), Be(wds, canvasH, 2);
        out += Segment(ms, 0x17, wds);
        // Palette 0: entry 1 white (Y 235, Cr 128, Cb 128), opaque.
        out += Segment(ms, 0x14, std::string("\x00\x00\x01\xEB\x80\x80\xFF", 7));
        for (const PgsObject& o : objects) {
            std::string rle;
            for (int y = 0; y < o.h; ++y) {
                rle += std::string("\x00", 1) + char(0xC0 | (o.w >> 8)) + char(o.w & 0xFF) + char(1);
                rle += std::string("\x00\x00", 2);
            }
            std::string ods;
            Be(ods, o.id, 2);
            ods += char(0);     // version
            ods += char(0xC0);  // first and last fragment
            Be(ods, uint32_t(rle.size() + 4), 3);
            Be(ods, o.w, 2);
            Be(ods, o.h, 2);
            out += Segment(ms, 0x15, ods + rle);
        }
    }
    return out + Segment(ms, 0x80, "");
}

}  // namespace

TEST(EmbeddedSub, SubRipTrackInMatroskaShowsOnlyDuringItsLine) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string mkv = WithSubtitles("srt.mkv", Write("line.srt", kLine), "srt");
    ASSERT_FALSE(mkv.empty());
    ExpectShownExactly(mkv, Embedded(mkv, 1), 26, 49, {0, 25, 50, 51, 100});
    // In the lower part of the picture, as a linked file's line.
    Frames burnt(Script(mkv, Embedded(mkv, 1)));
    const auto f = burnt[30];
    EXPECT_GT(Bright(f, kH * 2 / 3, kH), 100);
    EXPECT_EQ(Bright(f, 0, kH / 2), 0);
}

TEST(EmbeddedSub, TextTrackLooksExactlyAsTheSameLinkedFile) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string srt = Write("same.srt", kLine);
    const std::string mkv = WithSubtitles("same.mkv", srt, "srt");
    ASSERT_FALSE(mkv.empty());
    Frames linked(Script(mkv, "TextSub(\"" + srt + "\")\n"));
    Frames embedded(Script(mkv, Embedded(mkv, 1)));
    ASSERT_TRUE(embedded.error.empty()) << embedded.error;
    for (long n : {25L, 26L, 40L, 49L, 50L}) {
        const auto a = linked[n];
        ASSERT_EQ(a.size(), size_t(kW) * kH * 3 / 2);
        EXPECT_EQ(embedded[n], a) << "frame " << n;
    }
}

TEST(EmbeddedSub, MovTextTrackInMp4ShowsOnlyDuringItsLine) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string mp4 = MakeMedia(TestPath("movtext.mp4"),
                                      {"-i", Q(BlackVideo()), "-i", Q(Write("m.srt", kLine)), "-map", "0:v", "-map", "1",
                                       "-c:v", "copy", "-c:s", "mov_text"})
                                .toStdString();
    ASSERT_FALSE(mp4.empty());
    ExpectShownExactly(mp4, Embedded(mp4, 1), 26, 49, {0, 25, 50, 100});
}

TEST(EmbeddedSub, DvdPictureTrackIsScaledToTheOutputAtItsTime) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string base = TestRoot() + "/dvd";
    // A white bar at (100, 380)-(300, 420) of the 720 x 480 DVD picture,
    // from 1,000 ms for 1,000 ms; another at the top from 3,000 ms.
    ASSERT_TRUE(samples::WriteVobSub(base, {{1000, 1000, 100, 380, 200, 40}, {3000, 500, 500, 40, 100, 40}}));
    const std::string mkv = MakeMedia(TestPath("dvd.mkv"), {"-i", Q(BlackVideo()), "-i", Q(base + ".idx"), "-map", "0",
                                                           "-map", "1", "-c", "copy"})
                                .toStdString();
    ASSERT_FALSE(mkv.empty());
    ExpectShownExactly(mkv, Embedded(mkv, 1), 25, 49, {0, 24, 50, 74, 88, 100});
    Frames burnt(Script(mkv, Embedded(mkv, 1)));
    auto at = [](const std::vector<uint8_t>& f, int x, int y) { return int(f[size_t(y) * kW + size_t(x)]); };
    // Scaled as VobSub scales: x 100..300 -> 51..153, y 380..420 -> 164..182.
    const auto f = burnt[37];
    EXPECT_GT(at(f, 100, 173), 200);
    EXPECT_LT(at(f, 45, 173), 40);
    EXPECT_LT(at(f, 160, 173), 40);
    EXPECT_LT(at(f, 100, 155), 40);
    const auto g = burnt[80];  // the second, top right
    EXPECT_GT(at(g, 280, 25), 200);
    EXPECT_EQ(Bright(g, kH / 2, kH), 0);
}

TEST(EmbeddedSub, PgsPicturesLastToTheNextDisplaySetAndForcedOnlyShowsTheForcedOne) {
    ASSERT_FALSE(BlackVideo().empty());
    // On the video's 320 x 240 canvas: a forced object top left from 1 s, a
    // clearing set at 2 s, a plain object bottom right from 3 s, cleared at
    // 4 s. The first set (at 0 s) is empty.
    const std::string sup =
        Write("subs.sup", DisplaySet(0, 320, 240, {}) + DisplaySet(1000, 320, 240, {{0, 20, 20, 100, 40, true}}) +
                              DisplaySet(2000, 320, 240, {}) + DisplaySet(3000, 320, 240, {{1, 180, 160, 100, 40, false}}) +
                              DisplaySet(4000, 320, 240, {}));
    const std::string mkv = MakeMedia(TestPath("pgs.mkv"), {"-i", Q(BlackVideo()), "-i", Q(sup), "-map", "0", "-map",
                                                           "1", "-c", "copy"})
                                .toStdString();
    ASSERT_FALSE(mkv.empty());
    Frames plain(Script(mkv, ""));
    Frames all(Script(mkv, Embedded(mkv, 1)));
    Frames forced(Script(mkv, Embedded(mkv, 1, 1)));
    Frames everything(Script(mkv, Embedded(mkv, 1, 0)));
    ASSERT_TRUE(all.error.empty()) << all.error;
    ASSERT_TRUE(forced.error.empty()) << forced.error;
    // 20..120 x 20..60 of 320 x 240 is 23..138 x 17..52 of 368 x 208.
    for (long n : {25L, 37L, 49L}) {
        EXPECT_GT(Bright(all[n], 17, 52, 23, 138), 3000) << n;
        EXPECT_EQ(Bright(all[n], kH / 2, kH), 0) << n;
        EXPECT_EQ(all[n], forced[n]) << n;
    }
    for (long n : {75L, 99L}) {
        EXPECT_GT(Bright(all[n], 139, 174, 207, 322), 3000) << n;  // 180..280 x 160..200
        EXPECT_EQ(Bright(all[n], 0, kH / 2), 0) << n;
        EXPECT_EQ(forced[n], plain[n]) << n;  // not forced: left out
        EXPECT_EQ(everything[n], all[n]) << n;
    }
    for (long n : {0L, 24L, 50L, 74L, 100L, 124L}) {
        EXPECT_EQ(all[n], plain[n]) << n;
        EXPECT_EQ(forced[n], plain[n]) << n;
    }
    // A reader that jumps back and forth (the preview) sees the same.
    for (long n : {99L, 30L, 120L, 25L, 75L}) EXPECT_EQ(Frames(Script(mkv, Embedded(mkv, 1)))[n], all[n]) << n;
    const auto once = all[80];
    EXPECT_EQ(all[30], forced[30]);
    EXPECT_EQ(all[80], once);
}

TEST(EmbeddedSub, PgsPictureLargerThanTheVideoIsCutAtTheFrame) {
    ASSERT_FALSE(BlackVideo().empty());
    // A 320 x 240 object placed at (200, 150) of a 320 x 240 canvas reaches
    // far past its right and bottom edges.
    const std::string sup = Write("big.sup", DisplaySet(0, 320, 240, {{0, 200, 150, 320, 240, false}}) +
                                                 DisplaySet(2000, 320, 240, {}));
    const std::string mkv = MakeMedia(TestPath("big.mkv"), {"-i", Q(BlackVideo()), "-i", Q(sup), "-map", "0", "-map",
                                                           "1", "-c", "copy"})
                                .toStdString();
    ASSERT_FALSE(mkv.empty());
    Frames burnt(Script(mkv, Embedded(mkv, 1)));
    ASSERT_TRUE(burnt.error.empty()) << burnt.error;
    const auto f = burnt[10];
    ASSERT_EQ(f.size(), size_t(kW) * kH * 3 / 2);
    // (200, 150) is (230, 130) of the output: white from there to the edges.
    EXPECT_EQ(Bright(f, 131, kH, 231, kW), (kH - 131) * (kW - 231));
    EXPECT_EQ(Bright(f, 0, 128), 0);
    EXPECT_EQ(Bright(f, 0, kH, 0, 228), 0);
}

TEST(EmbeddedSub, ForcedOnlyOfTextTracksFollowsTheTracksMark) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string srt = Write("f.srt", kLine);
    const std::string marked = WithSubtitles("marked.mkv", srt, "srt", {"-disposition:s:0", "forced"});
    const std::string unmarked = WithSubtitles("unmarked.mkv", srt, "srt", {"-disposition:s:0", "0"});
    ASSERT_FALSE(marked.empty());
    ASSERT_FALSE(unmarked.empty());
    // A track marked forced is forced as a whole; lines of another text
    // track carry no forced mark of their own.
    EXPECT_GT(Bright(Frames(Script(marked, Embedded(marked, 1, 1)))[30]), 100);
    Frames none(Script(unmarked, Embedded(unmarked, 1, 1)));
    ASSERT_TRUE(none.error.empty()) << none.error;
    EXPECT_EQ(Bright(none[30]), 0);
}

TEST(EmbeddedSub, TrackThatIsNotThereIsAnErrorNamingFileAndTrack) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string mkv = WithSubtitles("one.mkv", Write("one.srt", kLine), "srt");
    ASSERT_FALSE(mkv.empty());
    for (int track : {2, 0, -1}) {
        Frames f(Script(mkv, Embedded(mkv, track)));
        EXPECT_NE(f.error.find("EmbeddedSub"), std::string::npos) << f.error;
        EXPECT_NE(f.error.find("\"" + mkv + "\""), std::string::npos) << f.error;
        EXPECT_NE(f.error.find("no subtitle track " + std::to_string(track)), std::string::npos) << f.error;
        EXPECT_NE(f.error.find("line 4"), std::string::npos) << f.error;
    }
    {
        Frames f(Script(mkv, Embedded(BlackVideo(), 1)));  // a file without subtitle tracks
        EXPECT_NE(f.error.find("no subtitle track 1 (it has 0)"), std::string::npos) << f.error;
    }
    {
        Frames f(Script(mkv, Embedded(TestRoot() + "/gone.mkv", 1)));
        EXPECT_NE(f.error.find("could not open"), std::string::npos) << f.error;
        EXPECT_NE(f.error.find("gone.mkv"), std::string::npos) << f.error;
    }
    for (const char* args : {"(\"x.mkv\")", "(\"x.mkv\", \"1\")", "(1, 1)", "(\"x.mkv\", 1, 1, 1)"}) {
        Frames f(Script(mkv, std::string("EmbeddedSub") + args + "\n"));
        EXPECT_NE(f.error.find("Invalid arguments to function \"EmbeddedSub\""), std::string::npos) << args << f.error;
    }
}

TEST(EmbeddedSub, TrackWithoutPacketsDrawsNothing) {
    ASSERT_FALSE(BlackVideo().empty());
    // The only line lies after the end the file is cut at: the track is
    // there, its packets are not.
    const std::string mkv = WithSubtitles("empty.mkv", Write("far.srt", "1\n00:00:10,000 --> 00:00:11,000\nFAR\n\n"),
                                          "srt", {"-t", "3"});
    ASSERT_FALSE(mkv.empty());
    Frames plain(Script(mkv, ""));
    Frames burnt(Script(mkv, Embedded(mkv, 1)));
    ASSERT_TRUE(burnt.error.empty()) << burnt.error;
    for (long n : {0L, 30L, 74L}) EXPECT_EQ(burnt[n], plain[n]) << n;
}

TEST(EmbeddedSub, AttachedFontsAndAttachmentsThatAreNoFonts) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string srt = Write("a.srt", kLine);
    const std::string notFont = Write("notes.ttf", std::string(5000, 'x'));
    const std::string text = Write("readme.txt", "not a font\n");
    QStringList extra{"-attach", Q(notFont), "-attach", Q(text), "-metadata:s:t:0", "mimetype=application/x-truetype-font",
                      "-metadata:s:t:1", "mimetype=text/plain"};
    const QString font = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
    if (QFile::exists(font)) extra << "-attach" << font << "-metadata:s:t:2" << "mimetype=font/ttf";
    const std::string mkv = WithSubtitles("fonts.mkv", srt, "srt", extra);
    ASSERT_FALSE(mkv.empty());
    Frames burnt(Script(mkv, Embedded(mkv, 1)));
    ASSERT_TRUE(burnt.error.empty()) << burnt.error;
    EXPECT_GT(Bright(burnt[30]), 100);  // the line is drawn all the same
    EXPECT_EQ(Bright(burnt[60]), 0);
}

TEST(EmbeddedSub, TwoHundredTracksTheLastOneIsItsOwn) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string early = Write("early.srt", kLine);
    const std::string late = Write("late.srt", "1\n00:00:03,020 --> 00:00:04,000\nLAST TRACK\n\n");
    QStringList args{"-i", Q(BlackVideo()), "-i", Q(early), "-i", Q(late), "-map", "0:v"};
    for (int i = 0; i < 199; ++i) args << "-map" << "1";
    args << "-map" << "2" << "-c:v" << "copy" << "-c:s" << "srt";
    const std::string mkv = MakeMedia(TestPath("many.mkv"), args).toStdString();
    ASSERT_FALSE(mkv.empty());
    auto timed = [&](int track, double* seconds) {
        const auto t0 = std::chrono::steady_clock::now();
        auto f = std::make_unique<Frames>(Script(mkv, Embedded(mkv, track)));
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        return f;
    };
    double first = 0, last = 0;
    auto one = timed(1, &first);
    auto twoHundred = timed(200, &last);
    ASSERT_TRUE(twoHundred->error.empty()) << twoHundred->error;
    EXPECT_GT(Bright((*one)[30]), 100);
    EXPECT_EQ(Bright((*one)[80]), 0);
    EXPECT_EQ(Bright((*twoHundred)[30]), 0);
    EXPECT_GT(Bright((*twoHundred)[80]), 100);
    EXPECT_LT(last, first * 3 + 1.0) << "track 1: " << first << " s, track 200: " << last << " s";
    Frames past(Script(mkv, Embedded(mkv, 201)));
    EXPECT_NE(past.error.find("no subtitle track 201 (it has 200)"), std::string::npos) << past.error;
}

// A DVD picture that ends exactly on a frame: 512 ms (a whole number of the
// track's 1024/90 ms ticks) from 4,000 ms, read at 125 frames a second
// (8 ms apart): frame 563 (4,504 ms) shows it, frame 564 (4,512 ms) no
// longer does.
TEST(EmbeddedSub, DvdPictureEndsOnTheFrameAtItsEndTime) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string base = TestRoot() + "/exact";
    ASSERT_TRUE(samples::WriteVobSub(base, {{4000, 512, 100, 380, 200, 40}}));
    const std::string mkv = MakeMedia(TestPath("exact.mkv"), {"-i", Q(BlackVideo()), "-i", Q(base + ".idx"), "-map", "0",
                                                             "-map", "1", "-c", "copy"})
                                .toStdString();
    ASSERT_FALSE(mkv.empty());
    RegisterSubtitleFilters();
    Frames burnt("DirectShowSource(\"" + mkv + "\")\nConvertToYV12()\nChangeFPS(125)\nBicubicResize(368,208)\n" +
                 Embedded(mkv, 1));
    ASSERT_TRUE(burnt.error.empty()) << burnt.error;
    EXPECT_EQ(Bright(burnt[499]), 0);
    EXPECT_GT(Bright(burnt[500]), 1000);
    EXPECT_GT(Bright(burnt[563]), 1000);
    EXPECT_EQ(Bright(burnt[564]), 0);
}

// An SSA/ASS track keeps its own styles: a red line placed near the top.
TEST(EmbeddedSub, AssTrackIsDrawnWithItsOwnStyles) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string ass = Write(
        "styled.ass",
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 100\nPlayResY: 100\n\n"
        "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
        "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
        "MarginL, MarginR, MarginV, Encoding\n"
        "Style: Big,DejaVu Sans,12,&H000000FF,&H000000FF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,0,0,8,0,0,0,0\n\n"
        "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
        "Dialogue: 0,0:00:01.00,0:00:02.00,Big,,0,0,0,,{\\pos(50,10)}RRRR\n");
    const std::string mkv = WithSubtitles("ass.mkv", ass, "ass");
    ASSERT_FALSE(mkv.empty());
    Frames burnt(Script(mkv, Embedded(mkv, 1)));
    ASSERT_TRUE(burnt.error.empty()) << burnt.error;
    const auto f = burnt[37];
    // Red raises V well above 128: in the upper third only.
    int top = 0, low = 0;
    for (int y = 0; y < kH; y += 2)
        for (int x = 0; x < kW; x += 2)
            if (f[size_t(kW) * kH + size_t(y / 2) * (kW / 2) + size_t(x / 2)] > 180) (y < kH / 3 ? top : low)++;
    EXPECT_GT(top, 20);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(Bright(burnt[60], 0, kH), 0);
}

// A damaged style (font size 65536) or tag in a track would have libass
// draw glyphs of gigabytes: sizes are held to a few picture heights, as for
// linked files, and the line still shows.
TEST(EmbeddedSub, HugeSizesInTrackStylesAndTagsAreHeldToAFewPictureHeights) {
    ASSERT_FALSE(BlackVideo().empty());
    const std::string ass = Write(
        "huge.ass",
        "[Script Info]\nScriptType: v4.00+\nPlayResX: 384\nPlayResY: 288\n\n"
        "[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, "
        "Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
        "MarginL, MarginR, MarginV, Encoding\n"
        "Style: Default,DejaVu Sans,65536,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,65536,100,0,0,1,65536,"
        "65536,2,10,10,10,0\n\n"
        "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
        "Dialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,HELLO\n");
    const std::string srt = Write("huge.srt", "1\n00:00:01,000 --> 00:00:02,000\n<font size=\"65536\">HELLO</font>\n\n");
    // Plain style; the tags ask for the huge size and width, of a letter
    // that shows as a bar in the middle even at a few picture heights (a
    // black border that big would hide it, so none is asked for).
    std::string tags = ReadFile(ass);
    tags.replace(tags.find("Default,DejaVu Sans,65536"), 25, "Default,DejaVu Sans,20");
    tags.replace(tags.find(",65536,100,"), 11, ",100,100,");
    tags.replace(tags.find(",65536,65536,"), 13, ",0,0,");
    tags.replace(tags.find(",,HELLO"), 7, ",,{\\fs65536\\fscx65536}I");
    const std::string tagged = Write("tags.ass", tags);
    for (const auto& [name, file, codec] :
         {std::tuple<QString, std::string, QString>{"huge_ass.mkv", ass, "ass"}, {"huge_srt.mkv", srt, "srt"},
          {"huge_tags.mkv", tagged, "ass"}}) {
        const std::string mkv = WithSubtitles(name, file, codec);
        ASSERT_FALSE(mkv.empty()) << name.toStdString();
        Frames burnt(Script(mkv, Embedded(mkv, 1)));
        ASSERT_TRUE(burnt.error.empty()) << burnt.error;
        const auto f = burnt[37];
        ASSERT_EQ(f.size(), size_t(kW) * kH * 3 / 2);
        EXPECT_GT(Bright(f), 0) << name.toStdString();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 2L * 1024 * 1024) << "peak of " << usage.ru_maxrss / 1024 << " MB";
}

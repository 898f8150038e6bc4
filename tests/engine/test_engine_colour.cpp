// The colour numbers of the delivered pictures: whatever matrix and range a
// source holds, the scaled (or same-size) picture carries BT.601 limited
// range numbers; BT.601 limited sources pass through untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/Colour.h"
#include "engine/Engine.h"
#include "tests/engine/EngineFixtures.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

using namespace kalvex;
using namespace kalvex::avs;
using namespace kalvex::test;

namespace {

struct Yuv {
    int y, u, v;
};
// Reference numbers of pure red and pure green (8-bit).
constexpr Yuv kRed601{81, 90, 240}, kGreen601{145, 54, 34};        // BT.601 limited
constexpr Yuv kRed709{63, 102, 240}, kGreen709{173, 42, 26};       // BT.709 limited
constexpr Yuv kRed601Full{76, 85, 255}, kGreen601Full{150, 44, 21};  // BT.601 full

::testing::AssertionResult Near(const Yuv& got, const Yuv& want, int tolerance) {
    if (std::abs(got.y - want.y) <= tolerance && std::abs(got.u - want.u) <= tolerance &&
        std::abs(got.v - want.v) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got.y << "/" << got.u << "/" << got.v << ", want " << want.y << "/"
                                         << want.u << "/" << want.v;
}

Yuv At(const AVFrame& f, int x, int y) {
    return {f.data[0][y * f.linesize[0] + x], f.data[1][(y / 2) * f.linesize[1] + x / 2],
            f.data[2][(y / 2) * f.linesize[2] + x / 2]};
}

// A 4:2:0 frame of 2x2 blocks, one colour per block, left to right.
FramePtr Blocks(std::initializer_list<Yuv> colours, AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    FramePtr f = NewFrame(int(colours.size()) * 2, 2, format);
    int i = 0;
    for (const Yuv& c : colours) {
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) f->data[0][dy * f->linesize[0] + 2 * i + dx] = uint8_t(c.y);
        f->data[1][i] = uint8_t(c.u);
        f->data[2][i] = uint8_t(c.v);
        ++i;
    }
    return f;
}

// Red on the left half, green on the right, made in RGB and stored with
// the given matrix and range; `tagged` says whether the
// file declares them.
std::string Bars(int width, int height, const char* matrix, bool full, bool tagged, bool jpegLayout = false) {
    const QString name = QString("bars_%1x%2_%3_%4_%5_%6.mkv")
                             .arg(width)
                             .arg(height)
                             .arg(matrix)
                             .arg(full ? "pc" : "tv")
                             .arg(tagged ? "tag" : "untag")
                             .arg(jpegLayout ? "j" : "p");
    const QString half = QString("s=%1x%2:d=0.2:r=25,format=rgb24").arg(width / 2).arg(height);
    QStringList args{"-f", "lavfi", "-i", "color=c=red:" + half, "-f", "lavfi", "-i", "color=c=0x00FF00:" + half,
                     "-filter_complex",
                     QString("[0:v][1:v]hstack=inputs=2,scale=out_color_matrix=%1:out_range=%2,format=%3")
                         .arg(matrix, full ? "pc" : "tv", jpegLayout ? "yuvj420p" : "yuv420p")};
    // FFV1 is lossless but has no yuvj layout; Motion JPEG at its best
    // quality keeps flat patches within a step.
    args << "-c:v" << (jpegLayout ? "mjpeg" : "ffv1");
    if (jpegLayout) args << "-q:v" << "1";
    if (tagged)
        args << "-colorspace" << (QString(matrix) == "bt601" ? "smpte170m" : matrix) << "-color_range"
             << (full ? "pc" : "tv");
    return SharedMedia(name, args);
}

struct Picture {
    OpenResult opened;
    FramePtr frame;
    ClipInfo info;
};

Picture Open(const std::string& source, const std::string& filters, int64_t frame = 2) {
    Picture p;
    p.opened = OpenScriptText("DirectShowSource(\"" + source + "\")\nConvertToYV12()\n" + filters, "colour.avs");
    if (!p.opened.Clip()) {
        ADD_FAILURE() << p.opened.error;
        return p;
    }
    p.info = p.opened.Clip()->Info();
    p.frame = p.opened.Clip()->GetFrame(frame);
    return p;
}

// The left and right patch of a picture, sampled in their middle.
void ExpectBars(const Picture& p, const Yuv& left, const Yuv& right, int tolerance) {
    ASSERT_TRUE(p.frame);
    const AVFrame& f = *p.frame;
    EXPECT_TRUE(Near(At(f, f.width / 4, f.height / 2), left, tolerance)) << "left";
    EXPECT_TRUE(Near(At(f, 3 * f.width / 4, f.height / 2), right, tolerance)) << "right";
}

void ExpectBt601Limited(const ClipInfo& info) {
    EXPECT_EQ(info.colorSpace, AVCOL_SPC_SMPTE170M);
    EXPECT_EQ(info.colorRange, AVCOL_RANGE_MPEG);
    EXPECT_EQ(info.pixelFormat, AV_PIX_FMT_YUV420P);
}

}  // namespace

// The matrix of a source that declares none: BT.709 above standard
// definition (wider than 1024 or taller than 576), BT.601 up to it.
TEST(ColourNumbers, UndeclaredMatrixIsGuessedFromTheSizeAtTheStandardDefinitionEdge) {
    EXPECT_EQ(GuessMatrix(1024, 576), AVCOL_SPC_SMPTE170M);
    EXPECT_EQ(GuessMatrix(1025, 576), AVCOL_SPC_BT709);
    EXPECT_EQ(GuessMatrix(1024, 577), AVCOL_SPC_BT709);
    EXPECT_EQ(GuessMatrix(720, 576), AVCOL_SPC_SMPTE170M);
    EXPECT_EQ(GuessMatrix(1280, 720), AVCOL_SPC_BT709);

    ClipInfo hd;
    hd.width = 1920;
    hd.height = 1080;
    EXPECT_EQ(MatrixOf(hd), AVCOL_SPC_BT709);
    hd.colorSpace = AVCOL_SPC_BT470BG;  // declared: believed, whatever the size
    EXPECT_EQ(MatrixOf(hd), AVCOL_SPC_SMPTE170M);
    EXPECT_FALSE(NeedsBt601(hd));
    hd.colorRange = AVCOL_RANGE_JPEG;
    EXPECT_TRUE(NeedsBt601(hd));
    hd.colorSpace = AVCOL_SPC_RGB;  // no YUV matrix: the guess
    EXPECT_EQ(MatrixOf(hd), AVCOL_SPC_BT709);
    ClipInfo sd;
    sd.width = 720;
    sd.height = 480;
    EXPECT_FALSE(NeedsBt601(sd));
    sd.pixelFormat = AV_PIX_FMT_YUVJ420P;  // full range by its layout
    EXPECT_TRUE(NeedsBt601(sd));
}

// The conversion itself, on known numbers: BT.709 and full-range BT.601
// colours come out as their BT.601 limited numbers; grey, white and black
// keep theirs; numbers pushed past 255 stop there.
TEST(ColourNumbers, ConversionGivesTheBt601NumbersOfEachColour) {
    FramePtr f = Blocks({kRed709, kGreen709, {235, 128, 128}, {16, 128, 128}, {126, 128, 128}, {250, 128, 255}});
    ASSERT_TRUE(ToBt601(AVCOL_SPC_BT709, false).Apply(*f));
    EXPECT_TRUE(Near(At(*f, 0, 0), kRed601, 1));
    EXPECT_TRUE(Near(At(*f, 3, 1), kGreen601, 1));
    EXPECT_TRUE(Near(At(*f, 4, 0), {235, 128, 128}, 0));
    EXPECT_TRUE(Near(At(*f, 6, 1), {16, 128, 128}, 0));
    EXPECT_TRUE(Near(At(*f, 8, 0), {126, 128, 128}, 0));
    EXPECT_EQ(At(*f, 10, 0).y, 255);  // 250 plus the red's share would pass 255
    EXPECT_EQ(f->colorspace, AVCOL_SPC_SMPTE170M);
    EXPECT_EQ(f->color_range, AVCOL_RANGE_MPEG);

    FramePtr full = Blocks({kRed601Full, kGreen601Full, {255, 128, 128}, {0, 128, 128}, {0, 0, 255}},
                           AV_PIX_FMT_YUVJ420P);
    ASSERT_TRUE(ToBt601(AVCOL_SPC_SMPTE170M, true).Apply(*full));
    EXPECT_TRUE(Near(At(*full, 0, 0), kRed601, 1));
    EXPECT_TRUE(Near(At(*full, 2, 0), kGreen601, 1));
    EXPECT_TRUE(Near(At(*full, 4, 0), {235, 128, 128}, 0));
    EXPECT_TRUE(Near(At(*full, 6, 0), {16, 128, 128}, 0));
    EXPECT_TRUE(Near(At(*full, 8, 0), {16, 16, 240}, 0));  // the ends of the chroma scale too
    EXPECT_EQ(full->format, AV_PIX_FMT_YUV420P);

    // Another layout is left alone.
    FramePtr rgb = NewFrame(4, 2, AV_PIX_FMT_RGB24);
    EXPECT_FALSE(ToBt601(AVCOL_SPC_BT709, false).Apply(*rgb));
}

// A limited-range source's luma takes its chroma's share once per chroma
// sample, in a vectorized loop: the numbers are the tables' to the bit, at
// every size (odd ones leave a last column and row of their own), under
// every matrix, and at both ends of the scale.
TEST(ColourNumbers, LumaShortcutGivesTheTablesNumbers) {
    std::srand(29);
    const AVColorSpace matrices[] = {AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL, AVCOL_SPC_FCC, AVCOL_SPC_SMPTE240M,
                                     AVCOL_SPC_SMPTE170M};
    const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {17, 9}, {33, 31}, {368, 208}};
    for (const AVColorSpace m : matrices) {
        for (const auto& size : sizes) {
            FramePtr a = NewFrame(size[0], size[1], AV_PIX_FMT_YUV420P);
            ASSERT_TRUE(a);
            for (int p = 0; p < 3; ++p) {
                const int h = p ? (size[1] + 1) / 2 : size[1];
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < a->linesize[p]; ++x) a->data[p][y * a->linesize[p] + x] = uint8_t(std::rand());
            }
            // The first rows hold the ends: luma 0 and 255 under chroma 0
            // and 255, where the shares push past both ends of the scale.
            if (size[0] >= 4 && size[1] >= 4) {
                const uint8_t ends[] = {0, 255};
                for (int i = 0; i < 4; ++i) {
                    a->data[0][i] = ends[i & 1];
                    a->data[0][a->linesize[0] + i] = ends[(i >> 1) & 1];
                }
                a->data[1][0] = 0, a->data[2][0] = 255, a->data[1][1] = 255, a->data[2][1] = 0;
            }
            FramePtr b = NewFrame(size[0], size[1], AV_PIX_FMT_YUV420P);
            ASSERT_TRUE(b);
            ASSERT_GE(av_frame_copy(b.get(), a.get()), 0);
            ASSERT_TRUE(ToBt601(m, false).Apply(*a));
            ASSERT_TRUE(ToBt601(m, false, true).Apply(*b));
            for (int p = 0; p < 3; ++p) {
                const int w = p ? (size[0] + 1) / 2 : size[0], h = p ? (size[1] + 1) / 2 : size[1];
                int differ = 0;
                for (int y = 0; y < h; ++y)
                    differ += std::memcmp(a->data[p] + y * a->linesize[p], b->data[p] + y * b->linesize[p], size_t(w)) != 0;
                EXPECT_EQ(differ, 0) << "matrix " << m << ", " << size[0] << "x" << size[1] << ", plane " << p;
            }
        }
    }
}

// HD sources scaled to the PSP's size: BT.709 numbers become BT.601 ones,
// whether the file says BT.709 or says nothing, and also when the picture is
// letterboxed (scaled in bands); the borders stay black.
TEST(ColourNumbers, HdSourceScaledDownGetsBt601Numbers) {
    const std::string tagged = Bars(1280, 720, "bt709", false, true);
    const std::string untagged = Bars(1280, 720, "bt709", false, false);
    ASSERT_FALSE(tagged.empty() || untagged.empty());
    for (const std::string& source : {tagged, untagged}) {
        SCOPED_TRACE(source);
        Picture p = Open(source, "BicubicResize(480,272)\n");
        ExpectBars(p, kRed601, kGreen601, 2);
        ExpectBt601Limited(p.info);
    }
    const Picture original = Open(untagged, "");
    ExpectBars(original, kRed709, kGreen709, 1);  // the source holds BT.709 numbers
    EXPECT_EQ(original.info.colorSpace, AVCOL_SPC_BT709);  // the guess, settled on the source's size

    const std::string wide = Bars(1280, 544, "bt709", false, true);
    ASSERT_FALSE(wide.empty());
    Picture boxed = Open(wide, "AddBorders(0,88,0,88)\nBicubicResize(480,272)\n");
    ExpectBars(boxed, kRed601, kGreen601, 2);
    ASSERT_TRUE(boxed.frame);
    EXPECT_TRUE(Near(At(*boxed.frame, 120, 4), {16, 128, 128}, 0));
    EXPECT_TRUE(Near(At(*boxed.frame, 360, 266), {16, 128, 128}, 0));
}

// A picture that already has the size asked for (the preview of an HD
// source) is converted in a pass of its own; a BT.601 one is the very same
// picture.
TEST(ColourNumbers, SameSizeIsConvertedOnlyWhenItsNumbersAreNotBt601) {
    const std::string hd = Bars(1280, 720, "bt709", false, false);
    const std::string sd = Bars(640, 480, "bt601", false, false);
    ASSERT_FALSE(hd.empty() || sd.empty());
    Picture p = Open(hd, "BicubicResize(1280,720)\n");
    ExpectBars(p, kRed601, kGreen601, 1);
    ExpectBt601Limited(p.info);

    Picture plain = Open(sd, "");
    Picture same = Open(sd, "BicubicResize(640,480)\n");
    ASSERT_TRUE(plain.frame && same.frame);
    EXPECT_EQ(plain.opened.Clip()->Info().colorSpace, AVCOL_SPC_SMPTE170M);
    // No filter was added: the same clip type hands out the same picture.
    EXPECT_EQ(typeid(*same.opened.Clip()), typeid(*plain.opened.Clip()));
    ExpectBars(same, kRed601, kGreen601, 1);
    // Only one side of the size the same: scaled all the same.
    for (const auto& [w, h] : {std::pair{640, 240}, std::pair{320, 480}}) {
        Picture half = Open(sd, "BicubicResize(" + std::to_string(w) + "," + std::to_string(h) + ")\n");
        ASSERT_TRUE(half.frame);
        EXPECT_EQ(half.info.width, w);
        EXPECT_EQ(half.info.height, h);
        EXPECT_EQ(half.frame->width, w);
        EXPECT_EQ(half.frame->height, h);
        ExpectBars(half, kRed601, kGreen601, 1);
    }
}

// A BT.601 limited source is scaled exactly as the scaler alone scales it:
// no colour step touches its numbers.
TEST(ColourNumbers, Bt601SourceIsScaledByteForByteAsBefore) {
    const std::string sd = Bars(640, 480, "bt601", false, false);
    ASSERT_FALSE(sd.empty());
    Picture in = Open(sd, "");
    Picture out = Open(sd, "BicubicResize(480,272)\n");
    ASSERT_TRUE(in.frame && out.frame);
    ExpectBars(out, kRed601, kGreen601, 1);
    double params[2] = {1.0 / 3, 1.0 / 3};
    SwsContext* sws = sws_getContext(640, 480, AV_PIX_FMT_YUV420P, 480, 272, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr,
                                     nullptr, params);
    ASSERT_NE(sws, nullptr);
    FramePtr want = NewFrame(480, 272, AV_PIX_FMT_YUV420P);
    sws_scale(sws, in.frame->data, in.frame->linesize, 0, 480, want->data, want->linesize);
    sws_freeContext(sws);
    for (int p = 0; p < 3; ++p) {
        const int w = p ? 240 : 480, h = p ? 136 : 272;
        int differing = 0;
        for (int y = 0; y < h; ++y)
            differing += std::memcmp(want->data[p] + y * want->linesize[p], out.frame->data[p] + y * out.frame->linesize[p],
                                     size_t(w)) != 0;
        EXPECT_EQ(differing, 0) << "plane " << p;
    }
}

// Full-range sources (the yuvj layout, or a plain layout that declares full
// range) come out limited; their black borders are limited black, not grey.
TEST(ColourNumbers, FullRangeSourceComesOutLimited) {
    for (const bool jpegLayout : {true, false}) {
        const std::string source = Bars(640, 480, "bt601", true, true, jpegLayout);
        ASSERT_FALSE(source.empty());
        SCOPED_TRACE(source);
        Picture original = Open(source, "");
        ExpectBars(original, kRed601Full, kGreen601Full, 1);
        Picture p = Open(source, "AddBorders(0,60,0,60)\nBicubicResize(480,272)\n");
        ExpectBars(p, kRed601, kGreen601, 2);
        ExpectBt601Limited(p.info);
        ASSERT_TRUE(p.frame);
        EXPECT_TRUE(Near(At(*p.frame, 120, 2), {16, 128, 128}, 0));
        EXPECT_TRUE(Near(At(*p.frame, 360, 270), {16, 128, 128}, 0));
        // Shrunk two and a half times and more, which the engine's own shrink
        // does for limited-range sources: limited all the same.
        Picture small = Open(source, "AddBorders(0,60,0,60)\nBicubicResize(240,136)\n");
        ExpectBars(small, kRed601, kGreen601, 2);
        ExpectBt601Limited(small.info);
        ASSERT_TRUE(small.frame);
        EXPECT_TRUE(Near(At(*small.frame, 60, 1), {16, 128, 128}, 0));
        Picture same = Open(source, "BicubicResize(640,480)\n");
        ExpectBars(same, kRed601, kGreen601, 1);
        // Borders at the sides are drawn by the borders filter itself.
        Picture pillar = Open(source, "AddBorders(80,0,80,0)\nBicubicResize(480,272)\n");
        ExpectBars(pillar, kRed601, kGreen601, 2);
        ASSERT_TRUE(pillar.frame);
        EXPECT_TRUE(Near(At(*pillar.frame, 8, 136), {16, 128, 128}, 0));
        EXPECT_TRUE(Near(At(*pillar.frame, 470, 136), {16, 128, 128}, 0));
    }
}

// The size guess through the whole chain, at the edge of standard
// definition: 1024x576 is read as BT.601 and left alone, one step past it
// in either direction as BT.709 and converted.
TEST(ColourNumbers, SizeGuessEdgeDecidesTheConversion) {
    struct Case {
        int w, h;
        Yuv red;
    };
    for (const Case& c : {Case{1024, 576, kRed709}, Case{1026, 576, kRed601}, Case{1024, 578, kRed601}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const std::string source = Bars(c.w, c.h, "bt709", false, false);
        ASSERT_FALSE(source.empty());
        Picture p = Open(source, "BicubicResize(480,272)\n");
        ASSERT_TRUE(p.frame);
        EXPECT_TRUE(Near(At(*p.frame, 120, 136), c.red, 2));
    }
}

namespace {

// A detailed, moving 10-bit 4:2:0 picture (lossless), 25 fps, 1 s, with a
// sound track, declared BT.601 limited range. `whiteEdge` draws its last
// column and row white.
std::string DeepPicture(int width, int height, bool whiteEdge = false) {
    const QString size = QString("%1x%2").arg(width).arg(height);
    // The pattern is drawn at an even size and then scaled: it rounds odd
    // sizes down itself.
    const QString drawn = QString("%1x%2").arg((width + 1) & ~1).arg((height + 1) & ~1);
    const QString edge = whiteEdge ? "drawbox=x=iw-1:y=0:w=1:h=ih:color=white:t=fill,"
                                     "drawbox=x=0:y=ih-1:w=iw:h=1:color=white:t=fill,"
                                   : "";
    return SharedMedia("deep_" + size + (whiteEdge ? "_edge" : "") + ".mkv",
                       {"-f", "lavfi", "-i", "testsrc2=s=" + drawn + ":d=1:r=25", "-f", "lavfi", "-i",
                        "sine=frequency=500:sample_rate=48000:duration=1", "-vf",
                        QString("scale=%1:%2,").arg(width).arg(height) + edge + "format=yuv420p10le", "-c:v", "ffv1",
                        "-colorspace", "smpte170m", "-color_range", "tv", "-c:a", "pcm_s16le"});
}

// How far two 8-bit pictures of the same size are apart: the mean and the
// largest difference over all three planes.
struct Apart {
    double mean = 0;
    int most = 0;
};
Apart Compare(const AVFrame& a, const AVFrame& b) {
    Apart r;
    int64_t sum = 0, n = 0;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? a.width / 2 : a.width, h = p ? a.height / 2 : a.height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int d = std::abs(a.data[p][y * a.linesize[p] + x] - b.data[p][y * b.linesize[p] + x]);
                sum += d;
                r.most = std::max(r.most, d);
                ++n;
            }
    }
    r.mean = double(sum) / double(n);
    return r;
}

// The 8-bit picture scaled as the resize scales (bicubic, B = C = 1/3).
FramePtr Scaled(const AVFrame& in, int w, int h) {
    double params[2] = {1.0 / 3, 1.0 / 3};
    SwsContext* sws = sws_getContext(in.width, in.height, AVPixelFormat(in.format), w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                     nullptr, nullptr, params);
    if (!sws) return nullptr;
    FramePtr out = NewFrame(w, h, AV_PIX_FMT_YUV420P);
    sws_scale(sws, in.data, in.linesize, 0, in.height, out->data, out->linesize);
    sws_freeContext(sws);
    return out;
}

}  // namespace

// A 10-bit source goes through the conversion's script (frame rate, cut,
// sound rate, then the resize) as the same picture its 8-bit conversion
// scales to: the resize takes the deeper picture over, the frames picked,
// the cut and the sound stay as they were.
TEST(DeepPictures, TenBitSourceScalesToTheSamePictureThroughTheScript) {
    const std::string source = DeepPicture(640, 480);
    ASSERT_FALSE(source.empty());
    // Frame 7 at 30 fps behind a cut at 3 is frame 10 at 30 fps, which
    // shows source frame floor(10 x 25 / 30) = 8.
    Picture eight = Open(source, "", 8);
    Picture fused = Open(source, "ChangeFPS(30)\nTrim(3,0)\nResampleAudio(24000)\nBicubicResize(368,208)\n", 7);
    ASSERT_TRUE(eight.frame && fused.frame);
    EXPECT_EQ(fused.info.frameCount, 30 - 3);
    EXPECT_EQ(fused.info.fps.num * 1, 30 * fused.info.fps.den);
    EXPECT_EQ(fused.info.sampleRate, 24000);
    EXPECT_EQ(fused.info.sampleCount, 24000 - 2400);
    ExpectBt601Limited(fused.info);
    ASSERT_EQ(fused.frame->width, 368);
    ASSERT_EQ(fused.frame->height, 208);
    EXPECT_EQ(fused.frame->format, AV_PIX_FMT_YUV420P);
    FramePtr want = Scaled(*eight.frame, 368, 208);
    ASSERT_TRUE(want);
    // The 8-bit picture was rounded before its scaling, the fused one after:
    // a level apart here and there, nowhere a picture apart (the frame
    // before differs by far more).
    const Apart same = Compare(*fused.frame, *want);
    EXPECT_LT(same.mean, 0.6);
    EXPECT_LE(same.most, 3);
    // The deeper numbers did reach the scaling: rounded after it, not
    // before, some levels come out otherwise.
    EXPECT_GT(same.mean, 0.0);
    Picture before = Open(source, "", 7);
    ASSERT_TRUE(before.frame);
    FramePtr other = Scaled(*before.frame, 368, 208);
    EXPECT_GT(Compare(*fused.frame, *other).mean, 2 * same.mean + 1);

    // The sound behind the reordered filters is the sound of the plain
    // script with the same filters.
    OpenResult plain = OpenScriptText("DirectShowSource(\"" + source + "\")\nChangeFPS(30)\nTrim(3,0)\nResampleAudio(24000)\n",
                                      "plain.avs");
    ASSERT_TRUE(plain.Clip());
    std::vector<int16_t> a(2000 * 2), b(2000 * 2);
    fused.opened.Clip()->GetAudio(a.data(), 5000, 2000);
    plain.Clip()->GetAudio(b.data(), 5000, 2000);
    EXPECT_EQ(a, b);
}

// Where the conversion does more than narrow the numbers, it keeps its own
// pass: an odd size loses its last column and row before the scaling, a
// box is drawn on 8-bit pictures, and a resize to the same size still
// narrows.
TEST(DeepPictures, TenBitSourceKeepsItsOwnConversionWhereItDoesMore) {
    // The odd column and row are white: scaled along, they would show.
    const std::string odd = DeepPicture(641, 481, true);
    const std::string even = DeepPicture(640, 360);
    ASSERT_FALSE(odd.empty() || even.empty());
    Picture cropped = Open(odd, "");
    ASSERT_TRUE(cropped.frame);
    EXPECT_EQ(cropped.info.width, 640);
    Picture scaled = Open(odd, "BicubicResize(480,360)\n");
    ASSERT_TRUE(scaled.frame);
    FramePtr want = Scaled(*cropped.frame, 480, 360);
    ASSERT_TRUE(want);
    const Apart oddApart = Compare(*scaled.frame, *want);
    EXPECT_LT(oddApart.mean, 0.6);
    EXPECT_LE(oddApart.most, 3);

    Picture boxed = Open(even, "AddBorders(0,60,0,60)\nBicubicResize(368,208)\n");
    ASSERT_TRUE(boxed.frame);
    EXPECT_TRUE(Near(At(*boxed.frame, 100, 2), {16, 128, 128}, 0));
    EXPECT_TRUE(Near(At(*boxed.frame, 300, 206), {16, 128, 128}, 0));

    Picture same = Open(even, "BicubicResize(640,360)\n");
    ASSERT_TRUE(same.frame);
    EXPECT_EQ(same.frame->format, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(same.info.pixelFormat, AV_PIX_FMT_YUV420P);
}

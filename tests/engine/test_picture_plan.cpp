// The decisions about a source's pictures, at their boundaries: which
// display matrices turn the picture, when a look at the pictures calls
// them interlaced or telecined, which light level the tone mapping takes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/AvHandles.h"
#include "engine/Clip.h"
#include "engine/PictureChain.h"
#include "engine/Zigzag.h"

extern "C" {
#include <libavutil/display.h>
}

namespace kalvex::avs {
namespace {

void Matrix(int32_t m[9], int a, int b, int c, int d) {
    std::memset(m, 0, 9 * sizeof(int32_t));
    m[0] = a * 65536;
    m[1] = b * 65536;
    m[3] = c * 65536;
    m[4] = d * 65536;
    m[8] = 1 << 30;
}

TEST(PicturePlan, EveryQuarterTurnAndMirrorOfTheMatrix) {
    struct Case {
        int a, b, c, d;
        int transpose;
        bool hflip, vflip, mirrored;
        int rotation;
    };
    // A point (p, q) is shown at (a p + c q, b p + d q), y growing down.
    const Case cases[] = {
        {1, 0, 0, 1, -1, false, false, false, 0},    // identity
        {0, -1, 1, 0, 2, false, false, false, 90},   // the rotate=90 tag: a quarter turn left
        {-1, 0, 0, -1, -1, true, true, false, 180},  // upside down
        {0, 1, -1, 0, 1, false, false, false, 270},  // a quarter turn right
        {-1, 0, 0, 1, -1, true, false, true, 0},     // mirrored left to right
        {1, 0, 0, -1, -1, false, true, true, 180},   // mirrored top to bottom
        {0, 1, 1, 0, 0, false, false, true, 90},     // axes swapped
        {0, -1, -1, 0, 3, false, false, true, 270},  // swapped the other way
    };
    for (const Case& k : cases) {
        int32_t m[9];
        Matrix(m, k.a, k.b, k.c, k.d);
        std::string note = "x";
        const Orientation o = OrientationFromMatrix(m, &note);
        SCOPED_TRACE(testing::Message() << k.a << " " << k.b << " " << k.c << " " << k.d);
        EXPECT_TRUE(note.empty());
        EXPECT_EQ(o.transpose, k.transpose);
        EXPECT_EQ(o.hflip, k.hflip);
        EXPECT_EQ(o.vflip, k.vflip);
        EXPECT_EQ(o.mirrored, k.mirrored);
        EXPECT_EQ(o.rotation, k.rotation);
        EXPECT_EQ(o.SwapsSides(), k.transpose >= 0);
    }
    // FFmpeg's own matrix for a turn agrees with the table.
    int32_t m[9];
    av_display_rotation_set(m, -90);  // clockwise -90: shown a quarter turn left
    EXPECT_EQ(OrientationFromMatrix(m, nullptr).transpose, 2);
}

TEST(PicturePlan, MatricesThatAreNoQuarterTurnLeaveThePictureUnturned) {
    int32_t m[9];
    std::string note;
    av_display_rotation_set(m, 37);
    EXPECT_FALSE(OrientationFromMatrix(m, &note).Turns());
    EXPECT_FALSE(note.empty());
    // Within the tolerance of a 16.16 matrix a near-quarter turn counts;
    // half a degree off does not.
    av_display_rotation_set(m, 89.9);
    EXPECT_TRUE(OrientationFromMatrix(m, &note).SwapsSides());
    EXPECT_TRUE(note.empty());
    av_display_rotation_set(m, 89.5);
    EXPECT_FALSE(OrientationFromMatrix(m, &note).Turns());
    Matrix(m, 1, 0, 0, 1);
    m[3] = 65536 / 2;  // shear
    EXPECT_FALSE(OrientationFromMatrix(m, &note).Turns());
    EXPECT_FALSE(note.empty());
    Matrix(m, 2, 0, 0, 2);  // scale
    EXPECT_FALSE(OrientationFromMatrix(m, &note).Turns());
    Matrix(m, 0, -1, 1, 0);
    m[2] = 1 << 20;  // projection
    EXPECT_FALSE(OrientationFromMatrix(m, &note).Turns());
    Matrix(m, 0, 0, 0, 0);  // singular
    EXPECT_FALSE(OrientationFromMatrix(m, &note).Turns());

    PictureTraits t;
    t.fieldOrder = AV_FIELD_PROGRESSIVE;
    t.hasMatrix = true;
    av_display_rotation_set(t.matrix, 37);
    const PicturePlan plan = PlanPictures(t, nullptr);
    EXPECT_FALSE(plan.NeedsGraph());
    ASSERT_EQ(plan.notes.size(), 1u);
}

TEST(PicturePlan, OrdinaryProgressiveSdrNeedsNothing) {
    PictureTraits t;
    t.fieldOrder = AV_FIELD_PROGRESSIVE;
    t.transfer = AVCOL_TRC_BT709;
    t.hasMatrix = true;
    Matrix(t.matrix, 1, 0, 0, 1);
    EXPECT_FALSE(NeedsProbe(t));
    const PicturePlan plan = PlanPictures(t, nullptr);
    EXPECT_FALSE(plan.NeedsGraph());
    EXPECT_TRUE(plan.notes.empty());
    EXPECT_TRUE(FilterDescription(plan, t).empty());
    // Field order not given: only the pictures can tell.
    t.fieldOrder = AV_FIELD_UNKNOWN;
    EXPECT_TRUE(NeedsProbe(t));
    t.fieldOrder = AV_FIELD_BB;
    EXPECT_TRUE(NeedsProbe(t));
}

TEST(PicturePlan, CombedPicturesDecideAnUnknownFieldOrderAtTheThreshold) {
    PictureTraits t;
    t.fieldOrder = AV_FIELD_UNKNOWN;
    t.fps = {25, 1};
    auto plan = [&](int frames, int moving, int combed, int top = 0, int bottom = 0) {
        PictureProbe p;
        p.frames = frames;
        p.moving = moving;
        p.combed = combed;
        for (int i = 0; i < combed; ++i) ++p.combedAt[i % 5];
        p.topFirst = top;
        p.bottomFirst = bottom;
        return PlanPictures(t, &p);
    };
    EXPECT_EQ(plan(10, 6, 3).deinterlace, Deinterlace::Bwdif);     // half the moving ones
    EXPECT_EQ(plan(10, 7, 3).deinterlace, Deinterlace::None);      // fewer than half
    EXPECT_EQ(plan(10, 4, 2).deinterlace, Deinterlace::None);      // fewer than three
    EXPECT_EQ(plan(9, 6, 3).deinterlace, Deinterlace::None);       // too short a look
    EXPECT_EQ(plan(40, 0, 0).deinterlace, Deinterlace::None);      // a still picture
    EXPECT_FALSE(plan(40, 40, 40, 5, 30).topFieldFirst);           // idet says bottom first
    EXPECT_TRUE(plan(40, 40, 40, 30, 30).topFieldFirst);           // a tie: top first
    // No look at all: an unknown order stays progressive.
    EXPECT_EQ(PlanPictures(t, nullptr).deinterlace, Deinterlace::None);
    // A declared order is deinterlaced with its parity, look or not.
    t.fieldOrder = AV_FIELD_BB;
    const PicturePlan bb = PlanPictures(t, nullptr);
    EXPECT_EQ(bb.deinterlace, Deinterlace::Bwdif);
    EXPECT_FALSE(bb.topFieldFirst);
    EXPECT_NE(FilterDescription(bb, t).find("bwdif=mode=send_frame:parity=bff"), std::string::npos);
    t.fieldOrder = AV_FIELD_BT;  // bottom coded first, top shown first
    EXPECT_TRUE(PlanPictures(t, nullptr).topFieldFirst);
}

TEST(PicturePlan, TelecineIsTwoCombedPlacesInEveryCycleOfFive) {
    PictureTraits t;
    t.fieldOrder = AV_FIELD_TT;
    t.fps = {30000, 1001};
    auto probe = [](int at0, int at1, int elsewhere, int frames = 40) {
        PictureProbe p;
        p.frames = p.moving = frames;
        p.combedAt[1] = at0;
        p.combedAt[3] = at1;
        p.combedAt[4] = elsewhere;
        p.combed = at0 + at1 + elsewhere;
        return p;
    };
    PictureProbe p = probe(8, 8, 0);
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::InverseTelecine);
    p = probe(8, 6, 0);  // six of eight cycles: three quarters
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::InverseTelecine);
    p = probe(8, 5, 0);  // five of eight: not a pattern
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::Bwdif);
    p = probe(8, 8, 1);  // a stray combed picture (one in ten) is allowed
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::InverseTelecine);
    p = probe(8, 8, 2);  // two are not
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::Bwdif);
    p = probe(8, 8, 8);  // combed everywhere: interlaced video
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::Bwdif);
    p = probe(1, 1, 0, 9);  // too short a look
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::Bwdif);
    p = probe(8, 8, 0);
    t.fps = {25, 1};  // PAL has no 3:2 pulldown
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::Bwdif);
    t.fps = {30, 1};
    t.fieldOrder = AV_FIELD_UNKNOWN;
    const PicturePlan plan = PlanPictures(t, &p);
    EXPECT_EQ(plan.deinterlace, Deinterlace::InverseTelecine);
    const std::string graph = FilterDescription(plan, t);
    EXPECT_LT(graph.find("fieldmatch"), graph.find("decimate"));
    t.fieldOrder = AV_FIELD_PROGRESSIVE;  // the stream's word stands
    EXPECT_EQ(PlanPictures(t, &p).deinterlace, Deinterlace::None);
}

TEST(PicturePlan, InverseTelecineGivesFourPicturesOfFive) {
    PicturePlan plan;
    plan.deinterlace = Deinterlace::InverseTelecine;
    const AVRational rate = PlannedRate(plan, {30000, 1001});
    EXPECT_EQ(rate.num, 24000);
    EXPECT_EQ(rate.den, 1001);
    EXPECT_EQ(PlannedCount(plan, 60), 48);
    EXPECT_EQ(PlannedCount(plan, 59), 48);  // a cut-short cycle keeps its pictures
    EXPECT_EQ(PlannedCount(plan, 61), 49);
    EXPECT_EQ(PlannedCount(plan, 5), 4);
    EXPECT_EQ(PlannedCount(plan, 4), 4);
    plan.deinterlace = Deinterlace::Bwdif;
    EXPECT_EQ(PlannedCount(plan, 61), 61);
    EXPECT_EQ(PlannedRate(plan, {30000, 1001}).num, 30000);
}

TEST(PicturePlan, ToneMappingPeakComesFromTheFileThenTheLookThenADefault) {
    PictureTraits t;
    t.fieldOrder = AV_FIELD_PROGRESSIVE;
    t.transfer = AVCOL_TRC_SMPTE2084;
    auto peak = [&](double cll, double mastering, double measured, std::string* from = nullptr) {
        t.maxCll = cll;
        t.masteringPeak = mastering;
        PictureProbe p;
        p.peakNits = measured;
        const PicturePlan plan = PlanPictures(t, measured >= 0 ? &p : nullptr);
        EXPECT_EQ(plan.toneMap, ToneMap::Pq);
        if (from) *from = plan.peakFrom;
        return plan.peakNits;
    };
    std::string from;
    EXPECT_EQ(peak(1000, 4000, 300, &from), 1000);
    EXPECT_EQ(from, "MaxCLL");
    EXPECT_EQ(peak(0, 4000, 300, &from), 4000);  // a zero MaxCLL means nothing
    EXPECT_EQ(from, "mastering display");
    {
        // ... and the log says it was passed over.
        const PicturePlan plan = PlanPictures(t, nullptr);
        ASSERT_EQ(plan.notes.size(), 2u);
        EXPECT_NE(plan.notes[0].find("0 nits (MaxCLL) ignored"), std::string::npos);
    }
    EXPECT_EQ(peak(-1, 0, 300, &from), 300);
    EXPECT_EQ(from, "measured");
    EXPECT_EQ(peak(-1, -1, -1, &from), 1000);
    EXPECT_EQ(from, "assumed");
    EXPECT_EQ(peak(10000000, -1, -1), 10000);  // clamped to the PQ ceiling
    EXPECT_EQ(peak(10000, -1, -1), 10000);
    EXPECT_EQ(peak(10000.5, -1, -1), 10000);
    EXPECT_EQ(peak(99.5, -1, -1), 100);  // nothing above SDR white
    EXPECT_EQ(peak(100.5, -1, -1), 100.5);
    t.maxCll = -1;
    t.masteringPeak = -1;
    EXPECT_TRUE(NeedsProbe(t));
    t.maxCll = 0;
    EXPECT_TRUE(NeedsProbe(t));
    t.maxCll = 1;
    EXPECT_FALSE(NeedsProbe(t));
    t.maxCll = 1000;
    const PicturePlan plan = PlanPictures(t, nullptr);
    const std::string graph = FilterDescription(plan, t);
    EXPECT_NE(graph.find("tin=smpte2084"), std::string::npos);
    EXPECT_NE(graph.find("peak=10.0000"), std::string::npos);  // in units of SDR white
    EXPECT_NE(graph.find("format=yuv420p"), std::string::npos);
    t.transfer = AVCOL_TRC_ARIB_STD_B67;
    EXPECT_EQ(PlanPictures(t, nullptr).toneMap, ToneMap::Hlg);
    t.transfer = AVColorTransferCharacteristic(200);  // no such transfer
    const PicturePlan unknown = PlanPictures(t, nullptr);
    EXPECT_EQ(unknown.toneMap, ToneMap::None);
    EXPECT_EQ(unknown.notes.size(), 1u);
    t.transfer = AVCOL_TRC_BT2020_10;
    EXPECT_EQ(PlanPictures(t, nullptr).toneMap, ToneMap::None);
}

TEST(PicturePlan, SignalLevelsInNits) {
    EXPECT_NEAR(SignalToNits(1.0, AVCOL_TRC_SMPTE2084), 10000, 1);
    EXPECT_NEAR(SignalToNits(0.5081, AVCOL_TRC_SMPTE2084), 100, 1);  // PQ's code for SDR white
    EXPECT_NEAR(SignalToNits(0.0, AVCOL_TRC_SMPTE2084), 0, 0.01);
    EXPECT_NEAR(SignalToNits(1.0, AVCOL_TRC_ARIB_STD_B67), 1000, 1);
    EXPECT_NEAR(SignalToNits(0.5, AVCOL_TRC_ARIB_STD_B67), 1000 * std::pow(1.0 / 12, 1.2), 0.5);
    EXPECT_NEAR(SignalToNits(1.5, AVCOL_TRC_SMPTE2084), 10000, 1);  // out of range: clamped
}

FramePtr Filled10(int w, int h, int value) {
    FramePtr f = NewFrame(w, h, AV_PIX_FMT_YUV420P10LE);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) reinterpret_cast<uint16_t*>(f->data[0] + y * f->linesize[0])[x] = uint16_t(value);
    return f;
}

TEST(PicturePlan, BrightestPartIgnoresASingleHotPixel) {
    // 10-bit limited range: code 64 + 876 e.
    const int white = int(std::lround(64 + 876 * 0.5081));  // 100 nits
    FramePtr f = Filled10(64, 64, white);
    ASSERT_TRUE(f);
    EXPECT_NEAR(BrightestNits(f.get(), AVCOL_TRC_SMPTE2084, AVCOL_RANGE_MPEG), 100, 3);
    reinterpret_cast<uint16_t*>(f->data[0] + 20 * f->linesize[0])[20] = 940;  // one pixel at 10000
    EXPECT_LT(BrightestNits(f.get(), AVCOL_TRC_SMPTE2084, AVCOL_RANGE_MPEG), 150);
    for (int y = 56; y < 64; ++y)  // a whole block at the peak
        for (int x = 56; x < 64; ++x) reinterpret_cast<uint16_t*>(f->data[0] + y * f->linesize[0])[x] = 940;
    EXPECT_NEAR(BrightestNits(f.get(), AVCOL_TRC_SMPTE2084, AVCOL_RANGE_MPEG), 10000, 1);
}

TEST(PicturePlan, CombingTellsWovenFieldsFromAProgressivePicture) {
    const int w = 64, h = 64;
    FramePtr smooth = NewFrame(w, h, AV_PIX_FMT_YUV420P);
    FramePtr woven = NewFrame(w, h, AV_PIX_FMT_YUV420P);
    FramePtr lines = NewFrame(w, h, AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(smooth && woven && lines);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // A soft diagonal ramp; the woven picture takes its odd lines
            // from the ramp moved 12 pixels on.
            auto ramp = [&](int shift) { return uint8_t(40 + 2 * ((x + y + shift) % 64)); };
            smooth->data[0][y * smooth->linesize[0] + x] = ramp(0);
            woven->data[0][y * woven->linesize[0] + x] = ramp(y % 2 ? 12 : 0);
            // One thin bright line every eight: sharp, but no combing.
            lines->data[0][y * lines->linesize[0] + x] = y % 8 == 0 ? 200 : 60;
        }
    }
    EXPECT_FALSE(LooksCombed(smooth.get()));
    EXPECT_TRUE(LooksCombed(woven.get()));
    EXPECT_FALSE(LooksCombed(lines.get()));
    // The same woven picture in 10 bits, and in P010 (the bits at the top
    // of each 16-bit sample), is combed just the same.
    FramePtr wide = NewFrame(w, h, AV_PIX_FMT_YUV420P10LE);
    FramePtr p010 = NewFrame(w, h, AV_PIX_FMT_P010LE);
    ASSERT_TRUE(wide && p010);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int v = woven->data[0][y * woven->linesize[0] + x];
            reinterpret_cast<uint16_t*>(wide->data[0] + y * wide->linesize[0])[x] = uint16_t(v << 2);
            reinterpret_cast<uint16_t*>(p010->data[0] + y * p010->linesize[0])[x] = uint16_t(v << 8);
        }
    EXPECT_TRUE(LooksCombed(wide.get()));
    EXPECT_TRUE(LooksCombed(p010.get()));
    // Packed layouts are not looked at: never called combed.
    FramePtr packed = NewFrame(w, h, AV_PIX_FMT_YUYV422);
    ASSERT_TRUE(packed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < 2 * w; ++x) packed->data[0][y * packed->linesize[0] + x] = uint8_t(y % 2 ? 230 : 20);
    EXPECT_FALSE(LooksCombed(packed.get()));
}

}  // namespace
// The zigzag count pixel by pixel, as its comment states it.
int64_t ZigzagsByHand(const std::vector<std::vector<uint8_t>>& rows, int width, int step, int t) {
    int64_t count = 0;
    for (int y = 2 * step; y + 2 * step < int(rows.size()); ++y)
        for (int x = 0; x < width; ++x) {
            const int c = rows[y][x], p = rows[y - step][x], n = rows[y + step][x];
            const bool sameSide = (c - p > t && c - n > t) || (c - p < -t && c - n < -t);
            const int e = rows[y - 2 * step][x] + 4 * c + rows[y + 2 * step][x] - 3 * (p + n);
            if (sameSide && std::abs(e) > 6 * t) ++count;
        }
    return count;
}

int64_t Zigzags(const std::vector<std::vector<uint8_t>>& rows, int width, int step, int t) {
    std::vector<const uint8_t*> pointers;
    for (const auto& r : rows) pointers.push_back(r.data());
    return CountZigzags(pointers.data(), int(pointers.size()), width, step, t);
}

TEST(PicturePlan, ZigzagCountAgreesWithThePixelByPixelRule) {
    // Widths around the lengths the compiler works in (the leftover pixels
    // of a row), noise and woven pictures, both steps.
    unsigned seed = 99;
    for (int width : {1, 7, 8, 15, 16, 17, 31, 32, 33, 100}) {
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<std::vector<uint8_t>> rows(23, std::vector<uint8_t>(size_t(width)));
            for (int y = 0; y < 23; ++y)
                for (int x = 0; x < width; ++x) {
                    seed = seed * 1103515245u + 12345u;
                    const int noise = int(seed >> 24);
                    rows[y][x] = uint8_t(kind == 0 ? noise                                         // anything
                                         : kind == 1 ? (y % 2 ? 230 : 20) + (noise & 15)          // woven
                                                     : std::clamp(128 + (noise & 31) - 16, 0, 255));  // flat-ish
                }
            for (int step : {1, 2})
                for (int t : {0, 9})
                    EXPECT_EQ(Zigzags(rows, width, step, t), ZigzagsByHand(rows, width, step, t))
                        << "width " << width << " kind " << kind << " step " << step << " threshold " << t;
        }
    }
    // The extremes: 0 and 255 woven (every difference and sum at its
    // largest) in a row of 40.
    std::vector<std::vector<uint8_t>> extreme(9, std::vector<uint8_t>(40));
    for (int y = 0; y < 9; ++y) std::fill(extreme[y].begin(), extreme[y].end(), uint8_t(y % 2 ? 255 : 0));
    EXPECT_EQ(Zigzags(extreme, 40, 1, 9), 5 * 40);
    EXPECT_EQ(Zigzags(extreme, 40, 1, 254), 5 * 40);
    EXPECT_EQ(Zigzags(extreme, 40, 1, 255), 0);  // a difference of 255 is not more than 255
    EXPECT_EQ(Zigzags(extreme, 40, 2, 9), 0);     // its own field is flat
}

TEST(PicturePlan, ZigzagLimitsAreStrictAndTheFirstAndLastRowsAreLeftOut) {
    // One column; the middle row stands d above both neighbours, the far
    // rows lie at f: e = 2 f + 4 (p + d) - 6 p = 2 f - 2 p + 4 d.
    auto column = [](int p, int d, int f) {
        return std::vector<std::vector<uint8_t>>{{uint8_t(f)}, {uint8_t(p)}, {uint8_t(p + d)}, {uint8_t(p)}, {uint8_t(f)}};
    };
    // d exactly at the threshold does not count, one more does.
    EXPECT_EQ(Zigzags(column(100, 9, 200), 1, 1, 9), 0);
    EXPECT_EQ(Zigzags(column(100, 10, 200), 1, 1, 9), 1);
    EXPECT_EQ(Zigzags(column(100, -9, 0), 1, 1, 9), 0);
    EXPECT_EQ(Zigzags(column(100, -10, 0), 1, 1, 9), 1);
    // |e| exactly at 6 t (54) does not count, 56 does: with p = 100 and
    // d = 10, e = 2 f - 160.
    EXPECT_EQ(Zigzags(column(100, 10, 107), 1, 1, 9), 0);  // e = 54
    EXPECT_EQ(Zigzags(column(100, 10, 108), 1, 1, 9), 1);  // e = 56
    EXPECT_EQ(Zigzags(column(100, 10, 53), 1, 1, 9), 0);   // e = -54
    EXPECT_EQ(Zigzags(column(100, 10, 52), 1, 1, 9), 1);   // e = -56
    EXPECT_EQ(Zigzags(column(100, 10, 87), 1, 1, 9), 0);   // e = 14: the far rows follow
    // Five rows are the fewest with a row to look at; four have none.
    EXPECT_EQ(Zigzags(std::vector<std::vector<uint8_t>>(4, std::vector<uint8_t>{0}), 1, 1, 9), 0);
    std::vector<std::vector<uint8_t>> nine(9, std::vector<uint8_t>{0});
    nine[4][0] = 200;  // the only row step 2 looks at
    EXPECT_EQ(Zigzags(nine, 1, 2, 9), 1);
    nine[4][0] = 0;
    nine[3][0] = 200;  // a row step 2 leaves out
    EXPECT_EQ(Zigzags(nine, 1, 2, 9), 0);
    EXPECT_EQ(Zigzags(nine, 0, 1, 9), 0);
    EXPECT_EQ(Zigzags(nine, 1, 0, 9), 0);
}

TEST(PicturePlan, CombingCountsAreTheSameInEightAndTenBits) {
    const int w = 45, h = 30;  // a width that leaves pixels over
    FramePtr eight = NewFrame(w, h, AV_PIX_FMT_YUV420P);
    FramePtr ten = NewFrame(w, h, AV_PIX_FMT_YUV420P10LE);
    ASSERT_TRUE(eight && ten);
    unsigned seed = 5;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int v = (y % 2 ? 40 : 180) + int(seed >> 27);
            eight->data[0][y * eight->linesize[0] + x] = uint8_t(v);
            reinterpret_cast<uint16_t*>(ten->data[0] + y * ten->linesize[0])[x] = uint16_t((v << 2) | 3);
        }
    const CombCounts a = CountCombing(eight.get()), b = CountCombing(ten.get());
    EXPECT_GT(a.across, 0);
    EXPECT_EQ(a.across, b.across);
    EXPECT_EQ(a.within, b.within);
    EXPECT_EQ(a.pixels, int64_t(w) * h);
    EXPECT_EQ(b.pixels, int64_t(w) * h);
    // Too few lines: nothing counted, not combed.
    FramePtr flat = NewFrame(w, 7, AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(flat);
    EXPECT_EQ(CountCombing(flat.get()).pixels, 0);
}

}  // namespace kalvex::avs

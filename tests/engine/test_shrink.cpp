// The engine's own bicubic shrink of 4:2:0 pictures: which pictures it
// takes, its filters, its two kernels against each other, and its pictures
// against libswscale's bicubic, which it stands in for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "engine/Shrink.h"

using namespace kalvex::avs;

namespace {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using Frame = std::unique_ptr<AVFrame, FrameFree>;

Frame MakeFrame(int w, int h, AVPixelFormat format) {
    Frame f(av_frame_alloc());
    f->width = w, f->height = h, f->format = format;
    if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
    return f;
}

int PlaneWidth(const AVFrame& f, int p) { return p ? (f.width + 1) / 2 : f.width; }
int PlaneHeight(const AVFrame& f, int p) { return p ? (f.height + 1) / 2 : f.height; }
bool Deep(const AVFrame& f) { return f.format != AV_PIX_FMT_YUV420P; }

void Put(AVFrame& f, int p, int x, int y, int v) {
    if (Deep(f))
        reinterpret_cast<uint16_t*>(f.data[p] + y * f.linesize[p])[x] = uint16_t(v);
    else
        f.data[p][y * f.linesize[p] + x] = uint8_t(v);
}

// A picture like a camera's: waves of several sizes, an edge, and grain,
// inside limited range (scaled to the picture's depth).
Frame Natural(int w, int h, AVPixelFormat format, unsigned seed) {
    Frame f = MakeFrame(w, h, format);
    if (!f) return f;
    const int scale = format == AV_PIX_FMT_YUV420P ? 1 : format == AV_PIX_FMT_YUV420P10 ? 4 : 16;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < PlaneHeight(*f, p); ++y)
            for (int x = 0; x < PlaneWidth(*f, p); ++x) {
                seed = seed * 1103515245u + 12345u;
                double v = (p ? 128 : 120) + 50 * std::sin(x / 7.3 + p) * std::cos(y / 5.1) + 30 * std::sin((x + 2 * y) / 41.0);
                if (x > PlaneWidth(*f, p) / 3) v += 25;  // a vertical edge
                v += int(seed >> 28) - 8;                // grain
                v = std::clamp(v, 16.0, p ? 240.0 : 235.0);
                Put(*f, p, x, y, int(std::lround(v * scale)));
            }
    return f;
}

// Anything at all, the extremes included (up to `top`, else the depth's).
Frame Noise(int w, int h, AVPixelFormat format, unsigned seed, int top = 0) {
    Frame f = MakeFrame(w, h, format);
    if (!f) return f;
    if (!top) top = format == AV_PIX_FMT_YUV420P ? 255 : format == AV_PIX_FMT_YUV420P10 ? 1023 : 4095;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < PlaneHeight(*f, p); ++y)
            for (int x = 0; x < PlaneWidth(*f, p); ++x) {
                seed = seed * 1103515245u + 12345u;
                const unsigned r = seed >> 16;
                // A quarter of the samples sit at one end of the range or the other.
                Put(*f, p, x, y, r % 8 == 0 ? 0 : r % 8 == 1 ? top : int(r % unsigned(top + 1)));
            }
    return f;
}

std::vector<uint8_t> Bytes(const AVFrame& f) {
    std::vector<uint8_t> out;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < PlaneHeight(f, p); ++y)
            out.insert(out.end(), f.data[p] + y * f.linesize[p], f.data[p] + y * f.linesize[p] + PlaneWidth(f, p));
    return out;
}

std::vector<uint8_t> Shrunk(const AVFrame& in, int w, int h, Shrink420::Kernel kernel) {
    Shrink420 shrink(in.width, in.height, AVPixelFormat(in.format), w, h, 1.0 / 3, 1.0 / 3, kernel);
    Frame out = MakeFrame(w, h, AV_PIX_FMT_YUV420P);
    shrink.Apply(in, *out);
    return Bytes(*out);
}

std::vector<uint8_t> BySwscale(const AVFrame& in, int w, int h) {
    double params[2] = {1.0 / 3, 1.0 / 3};
    SwsContext* sws = sws_getContext(in.width, in.height, AVPixelFormat(in.format), w, h, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                     nullptr, nullptr, params);
    Frame out = MakeFrame(w, h, AV_PIX_FMT_YUV420P);
    if (!sws || !out) return {};
    sws_scale(sws, in.data, in.linesize, 0, in.height, out->data, out->linesize);
    sws_freeContext(sws);
    return Bytes(*out);
}

}  // namespace

TEST(Shrink420, TakesMuchSmaller420PicturesOfEightToTwelveBits) {
    // Without AVX2 libswscale is the faster, and takes every picture.
    const bool fast = Shrink420::Resolve(Shrink420::Kernel::Best) == Shrink420::Kernel::Best;
#if defined(__x86_64__)
    EXPECT_EQ(fast, bool(__builtin_cpu_supports("avx2")));
#endif
    EXPECT_EQ(Shrink420::Resolve(Shrink420::Kernel::Plain), Shrink420::Kernel::Plain);
    EXPECT_FALSE(Shrink420::Handles(1920, 1080, AV_PIX_FMT_YUV420P, 368, 208, Shrink420::Kernel::Plain));
    auto takes = [](int sw, int sh, AVPixelFormat f, int dw, int dh) { return Shrink420::Handles(sw, sh, f, dw, dh); };
    EXPECT_EQ(takes(1920, 1080, AV_PIX_FMT_YUV420P, 368, 208), fast);
    EXPECT_EQ(takes(3840, 2160, AV_PIX_FMT_YUV420P10, 368, 208), fast);
    EXPECT_EQ(takes(1280, 720, AV_PIX_FMT_YUV420P9, 368, 208), fast);
    EXPECT_EQ(takes(1280, 720, AV_PIX_FMT_YUV420P12, 368, 208), fast);
    // Two and a half times smaller across and down, exactly, or more; a DVD
    // picture is left to libswscale.
    EXPECT_EQ(takes(920, 520, AV_PIX_FMT_YUV420P, 368, 208), fast);
    EXPECT_FALSE(takes(919, 520, AV_PIX_FMT_YUV420P, 368, 208));
    EXPECT_FALSE(takes(920, 519, AV_PIX_FMT_YUV420P, 368, 208));
    EXPECT_FALSE(takes(720, 480, AV_PIX_FMT_YUV420P, 368, 208));
    EXPECT_FALSE(takes(320, 180, AV_PIX_FMT_YUV420P, 368, 208));
    EXPECT_EQ(takes(16384, 16384, AV_PIX_FMT_YUV420P, 2, 2), fast);
    // An odd destination size is left to libswscale, and so is none.
    EXPECT_FALSE(takes(1920, 1080, AV_PIX_FMT_YUV420P, 367, 208));
    EXPECT_FALSE(takes(1920, 1080, AV_PIX_FMT_YUV420P, 368, 207));
    EXPECT_FALSE(takes(1920, 1080, AV_PIX_FMT_YUV420P, 0, 0));
    // Other layouts, 16 bits, and full range by layout go to libswscale.
    for (AVPixelFormat f : {AV_PIX_FMT_YUV420P16, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_NV12,
                            AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_P010, AV_PIX_FMT_YUV420P10BE})
        EXPECT_FALSE(takes(1920, 1080, f, 368, 208)) << av_get_pix_fmt_name(f);
}

TEST(Shrink420, EveryFilterSumsToOneAndStaysInsideTheSource) {
    struct Case {
        int from, to;
    } cases[] = {{1080, 208}, {1920, 368}, {2160, 208}, {384, 368}, {369, 368}, {9, 2}, {16384, 2}, {1001, 368}};
    for (const Case& c : cases) {
        for (int align : {2, 16}) {
            const Shrink420::Filter f = Shrink420::MakeFilter(c.from, c.to, 1.0 / 3, 1.0 / 3, align);
            ASSERT_EQ(f.stride % align, 0);
            int widest = 0;
            for (int i = 0; i < c.to; ++i) {
                const std::string at = std::to_string(c.from) + "->" + std::to_string(c.to) + " #" + std::to_string(i);
                ASSERT_GE(f.first[i], 0) << at;
                ASSERT_LE(f.first[i] + f.taps[i], c.from) << at;
                widest = std::max(widest, f.taps[i]);
                long sum = 0;
                for (int k = 0; k < f.stride; ++k) {
                    const int16_t v = f.coefficients[size_t(i) * f.stride + k];
                    if (k >= f.taps[i]) {
                        ASSERT_EQ(v, 0) << at << " tap " << k;
                    }
                    sum += v;
                }
                ASSERT_EQ(sum, 16384) << at;
            }
            // The stride is the widest filter rounded up, no more.
            EXPECT_EQ(f.stride, (widest + align - 1) / align * align);
        }
    }
    // Shrinking 2:1, output 0 is centred on source 0.5: its filter is
    // symmetric about it, with the sample left of the edge folded onto 0.
    const Shrink420::Filter half = Shrink420::MakeFilter(100, 50, 1.0 / 3, 1.0 / 3, 2);
    EXPECT_EQ(half.first[0], 0);
    EXPECT_EQ(half.taps[0], 5);  // sources -3 to 4, the first four on 0
    EXPECT_EQ(half.first[10], 17);  // centre 20.5: taps 17 to 24
    EXPECT_EQ(half.taps[10], 8);
    const int16_t* c = &half.coefficients[size_t(10) * half.stride];
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(c[k], c[7 - k], 1) << k;
    EXPECT_GT(c[3], c[2]);
}

TEST(Shrink420, AFlatPictureStaysFlatAtEveryDepth) {
    struct Case {
        AVPixelFormat format;
        int level, expected;
    } cases[] = {
        {AV_PIX_FMT_YUV420P, 16, 16},    {AV_PIX_FMT_YUV420P, 235, 235},  {AV_PIX_FMT_YUV420P, 0, 0},
        {AV_PIX_FMT_YUV420P, 255, 255},  {AV_PIX_FMT_YUV420P10, 64, 16},  {AV_PIX_FMT_YUV420P10, 940, 235},
        {AV_PIX_FMT_YUV420P10, 1, 0},    {AV_PIX_FMT_YUV420P10, 2, 1},  // a half rounds up
        {AV_PIX_FMT_YUV420P10, 1023, 255}, {AV_PIX_FMT_YUV420P12, 2055, 128}, {AV_PIX_FMT_YUV420P9, 511, 255},
    };
    for (const Case& c : cases)
        for (Shrink420::Kernel k : {Shrink420::Kernel::Best, Shrink420::Kernel::Plain}) {
            Frame in = MakeFrame(100, 62, c.format);
            ASSERT_TRUE(in);
            for (int p = 0; p < 3; ++p)
                for (int y = 0; y < PlaneHeight(*in, p); ++y)
                    for (int x = 0; x < PlaneWidth(*in, p); ++x) Put(*in, p, x, y, c.level);
            const std::vector<uint8_t> out = Shrunk(*in, 36, 20, k);
            ASSERT_EQ(out.size(), size_t(36 * 20 + 2 * 18 * 10));
            int wrong = 0;
            for (uint8_t v : out) wrong += v != c.expected;
            EXPECT_EQ(wrong, 0) << av_get_pix_fmt_name(c.format) << " " << c.level << " kernel " << int(k);
        }
}

// The AVX2 kernel and the plain one do the same integer sums: the same
// bytes on any picture, past the ends of the range, on widths that leave a
// tail of fewer than sixteen samples, and with an odd number of taps.
TEST(Shrink420, BothKernelsGiveTheSameBytes) {
    struct Case {
        int sw, sh, dw, dh;
        AVPixelFormat format;
    } cases[] = {
        {1920, 1080, 368, 208, AV_PIX_FMT_YUV420P}, {1001, 563, 368, 208, AV_PIX_FMT_YUV420P},
        {720, 480, 368, 208, AV_PIX_FMT_YUV420P},   {33, 17, 16, 8, AV_PIX_FMT_YUV420P},
        {17, 9, 2, 2, AV_PIX_FMT_YUV420P},          {1280, 720, 368, 208, AV_PIX_FMT_YUV420P10},
        {1001, 563, 100, 60, AV_PIX_FMT_YUV420P10}, {371, 211, 368, 208, AV_PIX_FMT_YUV420P12},
        {3840, 2160, 368, 208, AV_PIX_FMT_YUV420P10},
    };
    unsigned seed = 1;
    for (const Case& c : cases) {
        Frame in = Noise(c.sw, c.sh, c.format, seed++);
        ASSERT_TRUE(in);
        const std::vector<uint8_t> best = Shrunk(*in, c.dw, c.dh, Shrink420::Kernel::Best);
        const std::vector<uint8_t> plain = Shrunk(*in, c.dw, c.dh, Shrink420::Kernel::Plain);
        EXPECT_TRUE(best == plain) << c.sw << "x" << c.sh << " " << av_get_pix_fmt_name(c.format);
    }
    // A damaged 10-bit picture with stray high bits: wrong numbers, but the
    // same ones from both kernels (the sums wrap alike; nothing overflows).
    Frame damaged = Noise(1001, 563, AV_PIX_FMT_YUV420P10, 99, 65535);
    ASSERT_TRUE(damaged);
    EXPECT_TRUE(Shrunk(*damaged, 368, 208, Shrink420::Kernel::Best) == Shrunk(*damaged, 368, 208, Shrink420::Kernel::Plain));
    Shrink420 asked(64, 64, AV_PIX_FMT_YUV420P, 32, 32, 1.0 / 3, 1.0 / 3);
    EXPECT_EQ(asked.KernelInUse(), Shrink420::Resolve(Shrink420::Kernel::Best));
}

// Against libswscale's bicubic (B = C = 1/3), which the shrink replaces in
// conversions: the same filter in the same place, so within a level of
// it from 8 bits. From deeper sources libswscale dithers as it narrows to
// 8 bits, and the two stay within two levels. Neither leans to one side.
TEST(Shrink420, MatchesLibswscaleWithinItsRounding) {
    struct Case {
        int sw, sh;
        AVPixelFormat format;
    } cases[] = {
        {1920, 1080, AV_PIX_FMT_YUV420P}, {1280, 720, AV_PIX_FMT_YUV420P},   {720, 480, AV_PIX_FMT_YUV420P},
        {720, 576, AV_PIX_FMT_YUV420P},   {1001, 563, AV_PIX_FMT_YUV420P},   {384, 216, AV_PIX_FMT_YUV420P},
        {1920, 1080, AV_PIX_FMT_YUV420P10}, {3840, 2160, AV_PIX_FMT_YUV420P10},
    };
    unsigned seed = 11;
    for (const Case& c : cases) {
        Frame in = Natural(c.sw, c.sh, c.format, seed++);
        ASSERT_TRUE(in);
        const std::vector<uint8_t> ours = Shrunk(*in, 368, 208, Shrink420::Kernel::Best);
        const std::vector<uint8_t> theirs = BySwscale(*in, 368, 208);
        ASSERT_EQ(ours.size(), theirs.size());
        int worst = 0;
        size_t apart = 0;  // samples that differ at all
        for (size_t i = 0; i < ours.size(); ++i) {
            const int d = std::abs(int(ours[i]) - int(theirs[i]));
            worst = std::max(worst, d);
            apart += d != 0;
        }
        const std::string what = std::to_string(c.sw) + "x" + std::to_string(c.sh) + " " + av_get_pix_fmt_name(c.format);
        long lean = 0;
        for (size_t i = 0; i < ours.size(); ++i) lean += int(ours[i]) - int(theirs[i]);
        EXPECT_LE(worst, c.format == AV_PIX_FMT_YUV420P ? 1 : 2) << what;
        EXPECT_LT(double(apart) / ours.size(), 0.35) << what;
        EXPECT_LT(std::fabs(double(lean) / ours.size()), 0.1) << what;
    }
}

// The result is the filter's exact sum, rounded: the same coefficients in
// doubles give every sample within half a level (plus the little the
// rows between the passes round away). Holds for both kernels and every
// depth, so no shift, rounding or clamp is off by a bit.
TEST(Shrink420, EachSampleIsTheExactSumRounded) {
    struct Case {
        int sw, sh, dw, dh;
        AVPixelFormat format;
    } cases[] = {
        {1001, 563, 368, 208, AV_PIX_FMT_YUV420P},
        {1280, 720, 368, 208, AV_PIX_FMT_YUV420P10},
        {720, 480, 100, 58, AV_PIX_FMT_YUV420P12},
        {37, 23, 10, 6, AV_PIX_FMT_YUV420P9},
    };
    unsigned seed = 21;
    for (const Case& c : cases) {
        Frame in = Natural(c.sw, c.sh, c.format, seed++);
        ASSERT_TRUE(in);
        const double unit = c.format == AV_PIX_FMT_YUV420P ? 1 : c.format == AV_PIX_FMT_YUV420P9 ? 2
                            : c.format == AV_PIX_FMT_YUV420P10                                ? 4
                                                                                               : 16;
        for (Shrink420::Kernel k : {Shrink420::Kernel::Best, Shrink420::Kernel::Plain}) {
            const std::vector<uint8_t> out = Shrunk(*in, c.dw, c.dh, k);
            size_t at = 0;
            double worst = 0;
            for (int p = 0; p < 3; ++p) {
                const int sw = p ? (c.sw + 1) / 2 : c.sw, sh = p ? (c.sh + 1) / 2 : c.sh;
                const int dw = p ? c.dw / 2 : c.dw, dh = p ? c.dh / 2 : c.dh;
                const auto across = Shrink420::MakeFilter(sw, dw, 1.0 / 3, 1.0 / 3, 1);
                const auto down = Shrink420::MakeFilter(sh, dh, 1.0 / 3, 1.0 / 3, 1);
                for (int y = 0; y < dh; ++y)
                    for (int x = 0; x < dw; ++x) {
                        double v = 0;
                        for (int a = 0; a < down.taps[y]; ++a)
                            for (int b = 0; b < across.taps[x]; ++b) {
                                const int sy = down.first[y] + a, sx = across.first[x] + b;
                                const double s = Deep(*in) ? reinterpret_cast<uint16_t*>(in->data[p] + sy * in->linesize[p])[sx]
                                                           : in->data[p][sy * in->linesize[p] + sx];
                                v += s / unit * down.coefficients[size_t(y) * down.stride + a] *
                                     across.coefficients[size_t(x) * across.stride + b];
                            }
                        v /= 16384.0 * 16384.0;
                        worst = std::max(worst, std::fabs(out[at++] - std::clamp(v, 0.0, 255.0)));
                    }
            }
            EXPECT_LT(worst, 0.52) << c.sw << "x" << c.sh << " " << av_get_pix_fmt_name(c.format) << " kernel " << int(k);
        }
    }
}

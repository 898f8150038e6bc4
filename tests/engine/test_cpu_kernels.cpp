// The processor flags the engine gives FFmpeg: gathers marked slow on x86
// with AVX2 and every detected flag kept, given by opening a script, and
// the conversion's shrink giving the same bytes under them.
#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "engine/CpuKernels.h"
#include "engine/Engine.h"

using namespace kalvex::avs;

namespace {

// The flags libavutil detects, whatever was forced before; what was forced
// is put back.
int DetectedFlags() {
    const int forced = av_get_cpu_flags();
    av_force_cpu_flags(-1);
    const int detected = av_get_cpu_flags();
    av_force_cpu_flags(forced);
    return detected;
}

// 1280x720 shrunk to 368x208 as BicubicResize does, by a scaler made under
// `flags`: the three planes' bytes, row after row.
std::vector<uint8_t> Shrink(int flags) {
    const int before = av_get_cpu_flags();
    av_force_cpu_flags(flags);
    AVFrame* in = av_frame_alloc();
    AVFrame* out = av_frame_alloc();
    in->width = 1280, in->height = 720, in->format = AV_PIX_FMT_YUV420P;
    out->width = 368, out->height = 208, out->format = AV_PIX_FMT_YUV420P;
    std::vector<uint8_t> bytes;
    SwsContext* sws = nullptr;
    if (av_frame_get_buffer(in, 0) >= 0 && av_frame_get_buffer(out, 0) >= 0)
        sws = sws_getContext(1280, 720, AV_PIX_FMT_YUV420P, 368, 208, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                             nullptr);
    if (sws) {
        unsigned seed = 7;
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? 360 : 720); ++y)
                for (int x = 0; x < (p ? 640 : 1280); ++x) {
                    seed = seed * 1103515245u + 12345u;
                    in->data[p][y * in->linesize[p] + x] = uint8_t((x * 5 + y * 3 + (seed >> 27)) & 255);
                }
        sws_scale(sws, in->data, in->linesize, 0, 720, out->data, out->linesize);
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? 104 : 208); ++y)
                bytes.insert(bytes.end(), out->data[p] + y * out->linesize[p],
                             out->data[p] + y * out->linesize[p] + (p ? 184 : 368));
    }
    sws_freeContext(sws);
    av_frame_free(&in);
    av_frame_free(&out);
    av_force_cpu_flags(before);
    return bytes;
}

}  // namespace

TEST(CpuKernels, GathersAreMarkedSlowOnlyWhereAvx2IsAndNothingIsTaken) {
#if defined(__x86_64__) || defined(__i386__)
    const int sse4 = AV_CPU_FLAG_MMX | AV_CPU_FLAG_SSE2 | AV_CPU_FLAG_SSSE3 | AV_CPU_FLAG_SSE4 | AV_CPU_FLAG_SSE42;
    const int avx2 = sse4 | AV_CPU_FLAG_AVX | AV_CPU_FLAG_AVX2 | AV_CPU_FLAG_FMA3 | AV_CPU_FLAG_BMI2;
    EXPECT_EQ(KernelCpuFlags(avx2), avx2 | AV_CPU_FLAG_SLOW_GATHER);
    EXPECT_EQ(KernelCpuFlags(avx2 | AV_CPU_FLAG_AVX512), avx2 | AV_CPU_FLAG_AVX512 | AV_CPU_FLAG_SLOW_GATHER);
    // AVX2 alone is enough; without it there is no gather kernel to avoid.
    EXPECT_EQ(KernelCpuFlags(AV_CPU_FLAG_AVX2), AV_CPU_FLAG_AVX2 | AV_CPU_FLAG_SLOW_GATHER);
    EXPECT_EQ(KernelCpuFlags(sse4 | AV_CPU_FLAG_AVX), sse4 | AV_CPU_FLAG_AVX);
    // A processor libavutil already knows to be slow keeps its flags.
    EXPECT_EQ(KernelCpuFlags(avx2 | AV_CPU_FLAG_SLOW_GATHER), avx2 | AV_CPU_FLAG_SLOW_GATHER);
#endif
    EXPECT_EQ(KernelCpuFlags(0), 0);
}

TEST(CpuKernels, OpeningAScriptGivesTheEngineFlagsOnce) {
    // A script without a source fails, but the flags are given first.
    OpenResult none = OpenScriptText("ConvertToYV12()\n", "none.avs");
    EXPECT_FALSE(none.error.empty());
    const int detected = DetectedFlags();
    EXPECT_EQ(av_get_cpu_flags(), KernelCpuFlags(detected));
    // Later calls leave flags set since alone.
    av_force_cpu_flags(detected);
    ChooseLibraryKernels();
    EXPECT_EQ(av_get_cpu_flags(), detected);
    av_force_cpu_flags(KernelCpuFlags(detected));
}

TEST(CpuKernels, TheShrinkGivesTheSameBytesUnderTheEngineFlags) {
    const int detected = DetectedFlags();
    const std::vector<uint8_t> asDetected = Shrink(detected);
    const std::vector<uint8_t> asChosen = Shrink(KernelCpuFlags(detected));
    ASSERT_EQ(asDetected.size(), size_t(368 * 208 * 3 / 2));
    EXPECT_TRUE(asDetected == asChosen) << "the engine's kernels changed the scaled picture";
    // The comparison can tell kernels apart: libswscale's plain C kernels
    // round differently from its SIMD ones, so a choice that fell back to
    // them would show here.
#if defined(__x86_64__)
    EXPECT_FALSE(Shrink(0) == asDetected);
#endif
}

// The conversion's shrink to 368x208 of one 4:2:0 picture per bench source
// size and depth: libswscale's bicubic (under the engine's kernel flags)
// against the engine's own shrink (engine/Shrink.h) with its AVX2 and its
// plain kernel, in milliseconds per picture, best of the rounds (they take
// turns), and the largest difference from libswscale's picture in levels.
//   shrink_bench [PICTURES_PER_ROUND] [ROUNDS] [WIDTHxHEIGHT (only that size)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "engine/CpuKernels.h"
#include "engine/Shrink.h"

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

using kalvex::avs::Shrink420;

namespace {

AVFrame* NewPicture(int w, int h, AVPixelFormat format) {
    AVFrame* f = av_frame_alloc();
    f->width = w, f->height = h, f->format = format;
    if (av_frame_get_buffer(f, 0) < 0) {
        std::fprintf(stderr, "no memory for a %dx%d picture\n", w, h);
        std::exit(1);
    }
    return f;
}

// Detail at every scale, so that no kernel meets flat rows.
void Fill(AVFrame* f) {
    unsigned seed = 12345;
    const bool deep = f->format != AV_PIX_FMT_YUV420P;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? f->width / 2 : f->width, h = p ? f->height / 2 : f->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                seed = seed * 1103515245u + 12345u;
                const int v = (x * 7 + y * 3 + p * 40 + int(seed >> 28)) & 255;
                if (deep)
                    reinterpret_cast<uint16_t*>(f->data[p] + y * f->linesize[p])[x] = uint16_t(v * 4);
                else
                    f->data[p][y * f->linesize[p] + x] = uint8_t(v);
            }
    }
}

double Time(const std::function<void()>& work, int count) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) work();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    return took.count() / count;
}

int Apart(const AVFrame* a, const AVFrame* b) {
    int worst = 0;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? a->width / 2 : a->width, h = p ? a->height / 2 : a->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                worst = std::max(worst, std::abs(a->data[p][y * a->linesize[p] + x] - b->data[p][y * b->linesize[p] + x]));
    }
    return worst;
}

}  // namespace

int main(int argc, char** argv) {
    const int perRound = argc > 1 ? std::atoi(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    kalvex::avs::ChooseLibraryKernels();
    std::printf("%d 720p-sized pictures a round, best of %d rounds, ms per picture\n", perRound, rounds);
    std::printf("%-20s %10s %10s %10s %8s %s\n", "source", "libswscale", "own avx2", "own plain", "ratio", "levels apart");
    struct Size {
        int w, h;
        AVPixelFormat format;
    } sizes[] = {{720, 480, AV_PIX_FMT_YUV420P},    {720, 576, AV_PIX_FMT_YUV420P},
                 {960, 540, AV_PIX_FMT_YUV420P},    {1280, 720, AV_PIX_FMT_YUV420P},
                 {1920, 800, AV_PIX_FMT_YUV420P},   {1920, 1080, AV_PIX_FMT_YUV420P},
                 {1920, 1080, AV_PIX_FMT_YUV420P10}, {3840, 2160, AV_PIX_FMT_YUV420P10}};
    for (const Size& s : sizes) {
        if (argc > 3 && std::to_string(s.w) + "x" + std::to_string(s.h) != argv[3]) continue;
        AVFrame* in = NewPicture(s.w, s.h, s.format);
        AVFrame* bySws = NewPicture(368, 208, AV_PIX_FMT_YUV420P);
        AVFrame* byOwn = NewPicture(368, 208, AV_PIX_FMT_YUV420P);
        Fill(in);
        double params[2] = {1.0 / 3, 1.0 / 3};
        SwsContext* sws = sws_getContext(s.w, s.h, s.format, 368, 208, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                         params);
        Shrink420 best(s.w, s.h, s.format, 368, 208, 1.0 / 3, 1.0 / 3, Shrink420::Kernel::Best);
        Shrink420 plain(s.w, s.h, s.format, 368, 208, 1.0 / 3, 1.0 / 3, Shrink420::Kernel::Plain);
        const int count = std::max(1, perRound * 1280 * 720 / (s.w * s.h));
        double t[3] = {1e9, 1e9, 1e9};
        const std::function<void()> work[3] = {
            [&] { sws_scale(sws, in->data, in->linesize, 0, s.h, bySws->data, bySws->linesize); },
            [&] { best.Apply(*in, *byOwn); }, [&] { plain.Apply(*in, *byOwn); }};
        for (int r = 0; r < rounds; ++r)
            for (int k = 0; k < 3; ++k) {
                const int i = r % 2 ? 2 - k : k;
                t[i] = std::min(t[i], Time(work[i], count));
            }
        best.Apply(*in, *byOwn);
        char name[32];
        std::snprintf(name, sizeof name, "%dx%d %s", s.w, s.h, s.format == AV_PIX_FMT_YUV420P ? "8-bit" : "10-bit");
        std::printf("%-20s %10.3f %10.3f %10.3f %8.2f %d\n", name, t[0], t[1], t[2], t[1] / t[0], Apart(bySws, byOwn));
        sws_freeContext(sws);
        av_frame_free(&in), av_frame_free(&bySws), av_frame_free(&byOwn);
    }
    return 0;
}

// The conversion's shrink (SWS_BICUBIC to 368x208) of one 8-bit 4:2:0
// picture per bench source size, with FFmpeg's kernels as libavutil picks
// them for this processor and as the engine lets them pick
// (KernelCpuFlags), in milliseconds per picture. The two take turns in
// rounds; the best round of each is printed, and whether both gave the
// same bytes.
//   scale_kernels [PICTURES_PER_ROUND] [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/CpuKernels.h"

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

struct Picture {
    AVFrame* frame = nullptr;
    Picture(int w, int h) {
        frame = av_frame_alloc();
        frame->width = w;
        frame->height = h;
        frame->format = AV_PIX_FMT_YUV420P;
        if (av_frame_get_buffer(frame, 0) < 0) {
            std::fprintf(stderr, "no memory for a %dx%d picture\n", w, h);
            std::exit(1);
        }
    }
    ~Picture() { av_frame_free(&frame); }
};

// A picture with detail at every scale, so that no kernel meets flat rows.
void Fill(AVFrame* f) {
    unsigned seed = 12345;
    for (int p = 0; p < 3; ++p) {
        const int w = p ? f->width / 2 : f->width, h = p ? f->height / 2 : f->height;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                seed = seed * 1103515245u + 12345u;
                f->data[p][y * f->linesize[p] + x] = uint8_t((x * 7 + y * 3 + p * 40 + (seed >> 28)) & 255);
            }
    }
}

// Milliseconds per picture, scaling `count` pictures with a scaler made
// under `flags`; the output is left in `out`.
double Time(int flags, const AVFrame* in, AVFrame* out, int count) {
    av_force_cpu_flags(flags);
    SwsContext* sws = sws_getContext(in->width, in->height, AV_PIX_FMT_YUV420P, out->width, out->height,
                                     AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!sws) {
        std::fprintf(stderr, "no scaler for %dx%d\n", in->width, in->height);
        std::exit(1);
    }
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) sws_scale(sws, in->data, in->linesize, 0, in->height, out->data, out->linesize);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
    sws_freeContext(sws);
    return took.count() / count;
}

bool Same(const AVFrame* a, const AVFrame* b) {
    for (int p = 0; p < 3; ++p) {
        const int w = p ? a->width / 2 : a->width, h = p ? a->height / 2 : a->height;
        for (int y = 0; y < h; ++y)
            if (std::memcmp(a->data[p] + y * a->linesize[p], b->data[p] + y * b->linesize[p], w) != 0) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int perRound = argc > 1 ? std::atoi(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int detected = av_get_cpu_flags();
    const int chosen = kalvex::avs::KernelCpuFlags(detected);
    std::printf("cpu flags detected 0x%x, given by the engine 0x%x; %d pictures a round, best of %d rounds\n", detected,
                chosen, perRound, rounds);
    std::printf("%-10s %12s %12s %7s %s\n", "source", "detected ms", "engine ms", "ratio", "same bytes");
    const int sizes[][2] = {{720, 480}, {1280, 720}, {1920, 800}, {1920, 1080}, {3840, 2160}};
    for (const auto& s : sizes) {
        Picture in(s[0], s[1]), a(368, 208), b(368, 208);
        Fill(in.frame);
        // Fewer 4K pictures a round, so that every size takes about as long.
        const int count = std::max(1, perRound * 1280 * 720 / (s[0] * s[1]));
        double bestDetected = 1e9, bestChosen = 1e9;
        for (int r = 0; r < rounds; ++r) {
            if (r % 2 == 0) {
                bestDetected = std::min(bestDetected, Time(detected, in.frame, a.frame, count));
                bestChosen = std::min(bestChosen, Time(chosen, in.frame, b.frame, count));
            } else {
                bestChosen = std::min(bestChosen, Time(chosen, in.frame, b.frame, count));
                bestDetected = std::min(bestDetected, Time(detected, in.frame, a.frame, count));
            }
        }
        std::printf("%4dx%-5d %12.3f %12.3f %7.2f %s\n", s[0], s[1], bestDetected, bestChosen, bestChosen / bestDetected,
                    Same(a.frame, b.frame) ? "yes" : "NO");
    }
    return 0;
}

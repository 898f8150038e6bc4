#include "engine/CpuKernels.h"

#include <mutex>

extern "C" {
#include <libavutil/cpu.h>
}

namespace kalvex::avs {

// Shrinking one 8-bit 4:2:0 picture to 368x208 with SWS_BICUBIC (the
// conversion's BicubicResize), milliseconds per picture, libswscale 6.7 on
// the two-core bench host (AMD EPYC, family 26, AVX-512; libavutil does not
// mark its gathers slow), best of five rounds (bench/scale_kernels.sh):
//   source      detected  gathers marked slow
//   720x480       0.216     0.167
//   1280x720      0.546     0.450
//   1920x800      0.804     0.607
//   1920x1080     1.088     0.820
//   3840x2160     4.578     2.684
// Whole conversions of the bench sources (Kalvex --convert, six rounds
// taking turns, means): 720p 4.88 -> 4.66 s wall, 9.15 -> 8.73 s processor
// time; 1080p 6.04 -> 5.88 s, 11.54 -> 11.21 s; 1920x800 6.80 -> 6.53 s,
// 12.80 -> 12.30 s; DVD 1.59 -> 1.56 s, 2.88 -> 2.78 s. The 10-bit 4K
// source is not affected: libswscale has no gather kernel for samples of
// more than 8 bits.
int KernelCpuFlags(int detected) {
#if defined(__x86_64__) || defined(__i386__)
    if (detected & AV_CPU_FLAG_AVX2) return detected | AV_CPU_FLAG_SLOW_GATHER;
#endif
    return detected;
}

void ChooseLibraryKernels() {
    static std::once_flag once;
    std::call_once(once, [] { av_force_cpu_flags(KernelCpuFlags(av_get_cpu_flags())); });
}

}  // namespace kalvex::avs

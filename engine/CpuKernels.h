#pragma once
// Which of FFmpeg's hand-written kernels the libraries may pick. They pick
// by the processor flags libavutil detects; the engine adjusts those flags
// once per process, before the first scaler or decoder is made, where a
// kernel the library would pick is slower than its alternative.

namespace kalvex::avs {

// The flags the engine gives FFmpeg, from the ones libavutil detected:
// the same flags, with gathers marked slow (AV_CPU_FLAG_SLOW_GATHER) on an
// x86 processor with AVX2. Without it, libswscale shrinks 8-bit luma with
// its AVX2 kernel built on vpgatherdd, and on the bench host (AMD EPYC,
// family 26) that kernel took 1.2 to 1.7 times as long as the SSE kernel
// the flag leaves it (figures in CpuKernels.cpp; bench/scale_kernels.sh
// measures any other processor). The kernels compute the same numbers, so
// no picture changes. Other processors' flags are returned unchanged.
int KernelCpuFlags(int detected);

// Gives FFmpeg KernelCpuFlags of its detected flags, once per process
// (later calls do nothing). Opening a script does it; a scaler made before
// keeps the kernels it picked.
void ChooseLibraryKernels();

}  // namespace kalvex::avs

#!/bin/sh
# What the engine's choice of FFmpeg's scaling kernels (engine/CpuKernels.h)
# is worth on this processor: the conversion's shrink to 368x208 at each
# bench source size, with the kernels libavutil picks and with the ones
# the engine lets it pick, and whether both give the same bytes.
#   bench/scale_kernels.sh [BUILD_DIR]
# Environment: PICTURES (720p pictures a round, default 300), ROUNDS
# (default 5).
set -eu
BUILD=${1:-build}
cmake --build "$BUILD" --target scale_kernels -j2 >/dev/null
"$BUILD/bin/scale_kernels" "${PICTURES:-300}" "${ROUNDS:-5}"

#!/bin/sh
# What the engine's own shrink (engine/Shrink.h) is worth on this
# processor: the conversion's shrink to 368x208 at each bench source size,
# by libswscale and by the engine's AVX2 and plain kernels, and how far the
# pictures are apart.
#   bench/shrink.sh [BUILD_DIR]
# Environment: PICTURES (720p pictures a round, default 100), ROUNDS
# (default 5).
set -eu
BUILD=${1:-build}
cmake --build "$BUILD" --target shrink_bench -j2 >/dev/null
"$BUILD/bin/shrink_bench" "${PICTURES:-100}" "${ROUNDS:-5}"

#!/bin/sh
# Prints the open times of the subtitle readers. $1: the build folder.
set -e
BUILD=${1:-build}
cmake --build "$BUILD" --target subtitles_bench -j2 >/dev/null
"$BUILD/bin/subtitles_bench"

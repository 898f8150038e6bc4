#!/bin/sh
# Figures for the Video Files page: loading and showing a 1,000-entry
# filesv2.dat, and adding 20 files at once.
#   bench/filelist.sh [build folder] [entries] [files]
set -e
build=${1:-build}
cmake --build "$build" --target filelist_bench -j2 >/dev/null
"$build/bin/filelist_bench" "${2:-1000}" "${3:-20}"

#!/bin/sh
# Cost of burning a subtitle into the picture: the same conversion of a 60 s
# 1280x720 H.264/AAC clip at the default PSP settings without a subtitle,
# with a SubRip subtitle and with a VobSub stream (a line or a picture every
# 2 s, shown for 1.5 s). The three take turns, RUNS times each (default 3),
# in this one invocation, so that a load that comes and goes falls on all
# three alike; the median wall and processor time of each is reported.
# Usage: sh bench/subtitle_burn.sh [BUILD_DIR]
set -e
BUILD=${1:-build}
BENCH="$BUILD/bin/subburn_bench"
RUNS=${RUNS:-3}
[ -x "$BENCH" ] || { echo "build first: $BENCH missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: GNU time (/usr/bin/time) is needed" >&2; exit 1; }
. "$(dirname "$0")/subs_common.inc"
SRC="$TMP/src720.mp4"
subtitle_material "$SRC" "$BENCH"

run() {
    /usr/bin/time -f "%e %U %S" -o "$TMP/time" "$BENCH" convert "$@" >/dev/null 2>"$TMP/err" ||
        { echo "bench: conversion failed:" >&2; cat "$TMP/err" >&2; exit 1; }
    read -r wall user sys <"$TMP/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
}

run_case() {
    case $1 in
    1) run "$SRC" "$TMP/none.mp4" ;;
    2) run "$SRC" "$TMP/srt.mp4" "$TMP/subs.srt" ;;
    3) run "$SRC" "$TMP/vob.mp4" "$TMP/vob.sub" 0 ;;
    esac
}

cat "$SRC" >/dev/null
take_turns none SubRip VobSub
echo "load average before: $load"
echo "source: 60 s 1280x720 25 fps H.264, output 368x208; median of $RUNS runs; $(nproc) cores"
echo "no subtitle:      ${wall1} s wall, ${cpu1} s processor"
cost "SubRip burned in:" 2 1 "+10 %"
cost "VobSub burned in:" 3 1 "+15 %"

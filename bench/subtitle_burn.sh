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

cat "$SRC" >/dev/null
load=$(cut -d" " -f1-3 /proc/loadavg)
n_wall=""; n_cpu=""; s_wall=""; s_cpu=""; v_wall=""; v_cpu=""
i=0
while [ $i -lt "$RUNS" ]; do
    run "$SRC" "$TMP/none.mp4"
    n_wall="$n_wall $wall"; n_cpu="$n_cpu $cpu"
    run "$SRC" "$TMP/srt.mp4" "$TMP/subs.srt"
    s_wall="$s_wall $wall"; s_cpu="$s_cpu $cpu"
    run "$SRC" "$TMP/vob.mp4" "$TMP/vob.sub" 0
    v_wall="$v_wall $wall"; v_cpu="$v_cpu $cpu"
    i=$((i + 1))
done
echo "runs (wall/processor s): none$n_wall /$n_cpu; SubRip$s_wall /$s_cpu; VobSub$v_wall /$v_cpu"
n_wall=$(median $n_wall); n_cpu=$(median $n_cpu)
s_wall=$(median $s_wall); s_cpu=$(median $s_cpu)
v_wall=$(median $v_wall); v_cpu=$(median $v_cpu)

echo "load average before: $load"
echo "source: 60 s 1280x720 25 fps H.264, output 368x208; median of $RUNS runs; $(nproc) cores"
echo "no subtitle:      ${n_wall} s wall, ${n_cpu} s processor"
echo "SubRip burned in: ${s_wall} s wall, ${s_cpu} s processor; cost $(pct "$s_wall" "$n_wall") wall, $(pct "$s_cpu" "$n_cpu") processor (target <= +10 %)"
echo "VobSub burned in: ${v_wall} s wall, ${v_cpu} s processor; cost $(pct "$v_wall" "$n_wall") wall, $(pct "$v_cpu" "$n_cpu") processor (target <= +15 %)"

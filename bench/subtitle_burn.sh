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
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" KALVEX_REGISTRY_DIR="$TMP/reg"

SRC="$TMP/src720.mp4"
ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=60" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -af "aformat=channel_layouts=stereo" \
    -pix_fmt yuv420p -c:v libx264 -preset veryfast -c:a aac -b:a 128k "$SRC"
# A SubRip line every 2 s.
i=0
while [ $i -lt 30 ]; do
    s=$((i * 2))
    printf '%d\r\n00:00:%02d,000 --> 00:00:%02d,500\r\nSubtitle line number %d, burned into the picture\r\n\r\n' \
        $((i + 1)) $s $((s + 1)) $((i + 1))
    i=$((i + 1))
done >"$TMP/subs.srt"
"$BENCH" make-vobsub "$TMP/vob" 60

run() {
    /usr/bin/time -f "%e %U %S" -o "$TMP/time" "$BENCH" convert "$@" >/dev/null 2>"$TMP/err" ||
        { echo "bench: conversion failed:" >&2; cat "$TMP/err" >&2; exit 1; }
    read -r wall user sys <"$TMP/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
}
# The median of the numbers given (the mean of the middle two for an even count).
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.1f %%", (a / b - 1) * 100 }'; }

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

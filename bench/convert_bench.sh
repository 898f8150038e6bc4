#!/bin/sh
# Speed of `Kalvex --convert` on a 60 s 1280x720 H.264/AAC clip at the
# default settings, against the ffmpeg tool doing the same work (frame rate,
# pad to 16:9, bicubic scale to 368x208, mpeg4 400 kbit/s GOP 12, AAC
# 96 kbit/s 24 kHz) and against decoding the source alone (the floor). All
# three run in this one invocation, one after another, RUNS times each
# (best wall time kept, highest peak memory).
# Usage: sh bench/convert_bench.sh [BUILD_DIR]
set -e
BUILD=${1:-build}
KALVEX="$BUILD/bin/Kalvex"
RUNS=${RUNS:-3}
[ -x "$KALVEX" ] || { echo "build first: $KALVEX missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: GNU time (/usr/bin/time) is needed for peak memory" >&2; exit 1; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" KALVEX_REGISTRY_DIR="$TMP/reg"
export XDG_RUNTIME_DIR="$TMP/run"; mkdir -p "$XDG_RUNTIME_DIR" "$TMP/out"; chmod 700 "$XDG_RUNTIME_DIR"

SRC="$TMP/src720.mp4"
ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=60" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -af "aformat=channel_layouts=stereo" \
    -pix_fmt yuv420p -c:v libx264 -preset veryfast -c:a aac -b:a 128k "$SRC"

# run NAME COMMAND...: one timed run; its wall seconds, peak memory (KB) and
# processor seconds (user + system) are left in $wall, $mem and $cpu.
run() {
    name=$1; shift
    /usr/bin/time -f "%e %M %U %S" -o "$TMP/time" "$@" >/dev/null 2>"$TMP/err" ||
        { echo "bench: $name failed:" >&2; cat "$TMP/err" >&2; exit 1; }
    read -r wall mem user sys <"$TMP/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
}
# min A B
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

cat "$SRC" >/dev/null  # warm the file cache
load=$(cut -d" " -f1-3 /proc/loadavg)
# The three commands take turns, so a change in the machine's load touches
# all of them alike; the best wall time of each is kept.
k_wall=""; f_wall=""; d_wall=""; k_rss=0; f_rss=0; k_cpu=""; f_cpu=""
i=0
while [ $i -lt "$RUNS" ]; do
    run kalvex "$KALVEX" --convert --dest "$TMP/out" "$SRC"
    k_wall=$(min "$k_wall" "$wall"); k_cpu=$(min "$k_cpu" "$cpu"); [ "$mem" -gt "$k_rss" ] && k_rss=$mem
    run ffmpeg ffmpeg -nostdin -loglevel error -y -i "$SRC" \
        -vf "fps=25,pad='max(iw,ih*16/9)':'max(ih,iw*9/16)':(ow-iw)/2:(oh-ih)/2,scale=368:208:flags=bicubic" \
        -c:v mpeg4 -b:v 400k -g 12 -c:a aac -b:a 96k -ar 24000 "$TMP/out/ffmpeg.mp4"
    f_wall=$(min "$f_wall" "$wall"); f_cpu=$(min "$f_cpu" "$cpu"); [ "$mem" -gt "$f_rss" ] && f_rss=$mem
    run decode ffmpeg -nostdin -loglevel error -y -i "$SRC" -f null -
    d_wall=$(min "$d_wall" "$wall")
    i=$((i + 1))
done

echo "load average before: $load"
echo "source: 60 s 1280x720 25 fps H.264, 48 kHz stereo AAC; best of $RUNS runs; $(nproc) cores"
echo "Kalvex --convert:    ${k_wall} s wall, ${k_cpu} s processor, peak memory $((k_rss / 1024)) MB (limit 300 MB)"
echo "ffmpeg, same work:   ${f_wall} s wall, ${f_cpu} s processor, peak memory $((f_rss / 1024)) MB"
echo "ffmpeg, decode only: ${d_wall} s wall"
echo "ratio Kalvex / ffmpeg same work: $(ratio "$k_wall" "$f_wall") (target <= 1.0)"
echo "ratio Kalvex / decode only:      $(ratio "$k_wall" "$d_wall")"

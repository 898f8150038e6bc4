#!/bin/sh
# What the source corrections cost: `Kalvex --convert` of sources that need
# them, side by side with the ffmpeg tool doing the same filtering and the
# same encode in the same run.
#
# Two sources, generated once and kept in BUILD/bench-media (made by
# convert_common.inc):
#   1080i  60 s 1920x1080 25 fps interlaced (top field first) H.264,
#          stereo AAC: Kalvex deinterlaces it with bwdif, one picture per
#          frame
#   hdr    60 s 1920x1080 24 fps HEVC 10-bit, BT.2020 PQ, no light level
#          in the file, stereo AAC: Kalvex tone-maps it (zscale to linear
#          light, tonemap mobius, zscale back to BT.709)
# The ffmpeg tool runs the same filters (bwdif; zscale + tonemap with the
# peak Kalvex logs, 1000 nits when none is found), then what the
# conversion does by default: its frame rate, bicubic scaling to 368x208
# (both sources are 16:9: no borders), MPEG-4 at 400 kbit/s with a
# second of rate tolerance, GOP 12, no B-frames, one encoding thread, AAC
# 96 kbit/s 24 kHz stereo (see convert_bench.sh). Every command runs RUNS
# times (default 3), taking turns; the medians are printed.
#
# Usage: sh bench/filters_bench.sh [BUILD_DIR]
# Environment: RUNS (default 3), SOURCES (default "1080i hdr").
set -e
BUILD=${1:-build}
RUNS=${RUNS:-3}
SOURCES=${SOURCES:-"1080i hdr"}
. "$(dirname "$0")/bench_common.inc"

WIDTH=368 HEIGHT=208 VRATE=400 AKBPS=96 ARATE=24000
BICUBIC="flags=bicubic:param0=0:param1=0"

# The sources (1080i and hdr), timing and medians.
. "$(dirname "$0")/convert_common.inc"

for s in $SOURCES; do media "$s" >/dev/null; done
load=$(cut -d" " -f1-3 /proc/loadavg)
echo "load average before: $load; $(nproc) cores; medians of $RUNS runs"
echo
printf '%-6s %-8s %8s %8s\n' source tool "wall s" "cpu s"
summary=""
for s in $SOURCES; do
    src=$(media "$s")
    cat "$src" >/dev/null  # warm the file cache
    kw=""; kc=""; fw=""; fc=""
    i=0
    while [ $i -lt "$RUNS" ]; do
        rm -f "$TMP"/out/*.mp4 "$XDG_DATA_HOME"/Kalvex/log/*.log
        run kalvex "$KALVEX" --convert --dest "$TMP/out" "$src"
        kw="$kw $wall"; kc="$kc $cpu"
        kout=$(ls "$TMP"/out/*.mp4 | head -1)
        fps=$(probe "$kout" v:0 r_frame_rate)
        case $s in
        1080i) filter="bwdif=mode=send_frame:parity=tff:deint=all" ;;
        hdr)
            peak=$(cat "$XDG_DATA_HOME"/Kalvex/log/*.log 2>/dev/null | sed -n 's/.*tone-mapped PQ peak \([0-9]*\) nits.*/\1/p' | tail -1)
            peak=${peak:-1000}
            filter="zscale=tin=smpte2084:min=2020_ncl:pin=2020:rin=limited:t=linear:npl=100:p=709,format=gbrpf32le,tonemap=tonemap=mobius:desat=2:peak=$(awk -v p="$peak" 'BEGIN { printf "%.4f", p / 100 }'),zscale=t=709:m=709:r=limited,format=yuv420p"
            ;;
        esac
        run ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" \
            -vf "$filter,fps=$fps,scale=$WIDTH:$HEIGHT:$BICUBIC" \
            -c:v mpeg4 -b:v ${VRATE}k -bt ${VRATE}k -g 12 -bf 0 -threads:v 1 \
            -c:a aac -b:a ${AKBPS}k -ar $ARATE -ac 2 "$TMP/ffmpeg.mp4"
        fw="$fw $wall"; fc="$fc $cpu"
        i=$((i + 1))
    done
    # shellcheck disable=SC2086
    kw=$(median $kw); kc=$(median $kc); fw=$(median $fw); fc=$(median $fc)
    printf '%-6s %-8s %8s %8s\n' "$s" Kalvex "$kw" "$kc"
    printf '%-6s %-8s %8s %8s\n' "$s" ffmpeg "$fw" "$fc"
    echo "       (filters: $filter; output ${WIDTH}x${HEIGHT} at $fps fps)"
    summary="$summary$(awk -v s="$s" -v kw="$kw" -v fw="$fw" 'BEGIN {
        r = kw / fw; printf "%s: wall %.2fx ffmpeg (<= 1.00: %s)", s, r, (r <= 1.0 ? "met" : "NOT met") }')
"
done
echo
printf '%s' "$summary"

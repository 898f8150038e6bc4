#!/bin/sh
# What the source corrections cost: `Kalvex --convert` of sources that need
# them, side by side with the ffmpeg tool doing the same filtering and the
# same encode in the same run.
#
# Two sources, generated once and kept in BUILD/bench-media:
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
KALVEX="$BUILD/bin/Kalvex"
RUNS=${RUNS:-3}
SOURCES=${SOURCES:-"1080i hdr"}
MEDIA="$BUILD/bench-media"
[ -x "$KALVEX" ] || { echo "build first: $KALVEX missing" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: GNU time (/usr/bin/time) is needed" >&2; exit 1; }
mkdir -p "$MEDIA"
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" KALVEX_REGISTRY_DIR="$TMP/reg"
export XDG_RUNTIME_DIR="$TMP/run"; mkdir -p "$XDG_RUNTIME_DIR" "$TMP/out"; chmod 700 "$XDG_RUNTIME_DIR"

WIDTH=368 HEIGHT=208 VRATE=400 AKBPS=96 ARATE=24000
BICUBIC="flags=bicubic:param0=0:param1=0"

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

# media NAME: the path of a bench source, made once.
media() {
    case $1 in
    1080i)
        f="$MEDIA/src1080i.mkv"
        [ -s "$f" ] || ff -f lavfi -i "testsrc2=size=1920x1080:rate=50:duration=60,noise=alls=6:allf=t" \
            -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -af "aformat=channel_layouts=stereo" \
            -vf "tinterlace=interleave_top" -pix_fmt yuv420p -c:v libx264 -preset ultrafast -flags +ildct+ilme \
            -x264-params tff=1 -field_order tt -b:v 15M -c:a aac -b:a 128k "$f.part.mkv"
        ;;
    hdr)
        f="$MEDIA/srchdr.mkv"
        [ -s "$f" ] || ff -f lavfi -i "testsrc2=size=1920x1080:rate=24:duration=60,noise=alls=6:allf=t" \
            -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=60" -af "aformat=channel_layouts=stereo" \
            -vf "format=yuv420p,setparams=range=tv:color_primaries=bt709:color_trc=bt709:colorspace=bt709,zscale=tin=709:min=709:pin=709:rin=limited:t=linear:npl=100,format=gbrpf32le,zscale=p=2020:t=smpte2084:m=2020_ncl:r=limited:npl=100,format=yuv420p10le" \
            -c:v libx265 -preset ultrafast -x265-params log-level=error -b:v 10M \
            -color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc -c:a aac -b:a 128k "$f.part.mkv"
        ;;
    esac
    for p in "$f".part.*; do [ -s "$p" ] && mv "$p" "$f"; done
    echo "$f"
}

probe() { ffprobe -v error -select_streams "$2" -show_entries "stream=$3" -of default=nw=1:nk=1 "$1"; }

# run NAME COMMAND...: one timed run; wall and processor seconds in $wall
# and $cpu.
run() {
    name=$1; shift
    /usr/bin/time -f "%e %U %S" -o "$TMP/time" "$@" >/dev/null 2>"$TMP/err" ||
        { echo "bench: $name failed:" >&2; cat "$TMP/err" >&2; exit 1; }
    read -r wall user sys <"$TMP/time"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

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

#!/bin/sh
# Speed, memory, reading and picture quality of `Kalvex --convert` at the
# default settings, side by side with the tools a user would pick instead,
# doing the same work in the same run: the ffmpeg tool and HandBrakeCLI.
# Decoding the source alone is timed too (the floor).
#
# The same work: the frame rate Kalvex writes, the picture boxed to 16:9 as
# the conversion script does (AddBorders) and scaled to 368x208, MPEG-4 at
# the same bit rate with the same rate tolerance (one second of bits), GOP
# 12, no B-frames, AAC 96 kbit/s 24 kHz stereo. Threads: the ffmpeg tool
# decodes with the library's automatic thread count and encodes the
# picture on one thread (the PSP encoder of Kalvex is single-threaded;
# slices would change the stream).
#
# What differs and cannot be made the same:
# - The ffmpeg tool's kernel is bicubic with B = C = 0 (see BICUBIC), where
#   the conversion script's BicubicResize has B = C = 1/3.
# - HandBrakeCLI (Debian's handbrake-cli, 1.6) scales with its own kernel,
#   Lanczos with accurate rounding; the command line has no choice of it.
#   The Lanczos judge favours that kernel. Its chroma does not follow the
#   judge's: on the 720p source its luma scores what the ffmpeg tool's
#   scaled with lanczos+accurate_rnd does (43.4 dB), its chroma planes 5 to
#   7 dB below (36.3 and 33.8 dB against 41.2 and 40.8), hence the "Y dB"
#   column.
# - HandBrakeCLI cannot pad before it scales: it scales the picture to the
#   part of 368x208 the box leaves it and pads after, with borders of whole,
#   even output rows (1920x800: 368x154, 26 rows above and 28 below), where
#   Kalvex and the ffmpeg tool scale the boxed picture, so the picture's
#   edge falls between rows (26.96 above and below). Its picture then sits
#   about a row off the judge's reference: its PSNR on a letterboxed
#   source (26 dB on 1920x800) says nothing of its quality.
# - HandBrakeCLI first scans the source (it decodes 10 preview pictures,
#   its default, which a user gets too), and decodes with its own thread
#   count; its MPEG-4 encoder gets GOP, B-frames, rate tolerance and one
#   thread through -x. Its AAC encoder settings and its stereo mixdown of
#   5.1 are its own; its frame rate shaper (--cfr) drops and repeats
#   pictures its own way.
# - Kalvex turns high-definition pictures into BT.601 numbers for the PSP;
#   the ffmpeg tool and HandBrakeCLI keep the source's numbers. The judge
#   makes the same conversion in Kalvex's reference only (to601), so that
#   the colour change is not counted as a loss.
#
# Quality: PSNR and SSIM of each output picture against the source, brought
# to the same frame rate and box and scaled to the output size with a
# Lanczos kernel; the ffmpeg tool's psnr and ssim filters judge. Each
# output's pictures are put on the reference's time grid first (fps):
# HandBrakeCLI's stamps at 23.976 fps are rounded to its 90 kHz clock and
# without it the judge pairs some of its pictures with the reference's
# previous one (1080p: 26.0 dB instead of 38.1).
#
# Reading and decoders: every command runs with avcount.c preloaded (built
# into the scratch folder with cc), which counts avcodec_open2 calls that
# open a decoder and avformat_open_input calls, and at exit takes rchar
# from /proc/self/io: all bytes the process read through read(), whether
# the file cache held them or not (the cache is warm here, so the disk's
# read_bytes says nothing). "read x" is rchar over the source's size: 1.00
# is reading the file once (plus a few kB of settings and libraries'
# data). All three tools link the system's FFmpeg libraries dynamically,
# which the counter needs; each process writes its own line and the lines
# are added up, so child processes would be counted (Kalvex --convert
# starts none; "procs" shows how many processes were counted).
#
# Five sources, generated once and kept in BUILD/bench-media:
#   720p   60 s 1280x720 25 fps H.264 + stereo AAC
#   dvd    60 s 720x480 29.97 fps MPEG-2, anamorphic 16:9 (SAR 32:27),
#          AC-3 5.1, MPEG program stream
#   wide   60 s 1920x800 24 fps H.264 + stereo AAC
#   1080p  30 s 1920x1080 23.976 fps H.264 at crf 20 (CABAC, B-frames;
#          about 19 Mbit/s) + stereo AAC, like a camera file or a rip
#   4k     20 s 3840x2160 23.976 fps 10-bit HEVC (Main 10, 18 Mbit/s,
#          BT.709) + stereo AAC
# Each is moving, noisy picture (not trivially compressible), at the bit
# rates such files have. Every command runs RUNS times (default 3), taking
# turns; the medians are printed, then the ratios the speed targets name.
#
# Usage: sh bench/convert_bench.sh [BUILD_DIR]
#        sh bench/convert_bench.sh --long [BUILD_DIR]
#   --long converts a one-hour 320x240 source and samples the resident
#   memory of Kalvex every second: the maximum of the first and of the last
#   minute (halves of a run shorter than two minutes), and the peak (limit
#   300 MB). Takes a few minutes.
# Environment: RUNS (default 3), SOURCES (default "720p dvd wide 1080p 4k"),
#   QUALITY (fast, the default, or best: Kalvex converts with PspVideo
#   Quality=1 in its set.ini and the ffmpeg tool's and HandBrakeCLI's
#   MPEG-4 encoder get the same tools, rate-distortion macroblock decision,
#   trellis quantisation and four motion vectors per macroblock).
#   BEFORE=OTHER_BUILD compares two builds of Kalvex instead: each run
#   converts with this build and with OTHER_BUILD's, taking turns in both
#   orders (this build first in the first, third, ... run), and
#   prints both, the ratios this / other and whether the outputs are the
#   same bytes (the other tools and the decode floor are left out).
# HandBrakeCLI is a bench dependency (Debian: apt-get install
# handbrake-cli); without it its rows are left out and the script says so.
set -e
LONG=0
if [ "$1" = "--long" ]; then LONG=1; shift; fi
BUILD=${1:-build}
RUNS=${RUNS:-3}
SOURCES=${SOURCES:-"720p dvd wide 1080p 4k"}
QUALITY=${QUALITY:-fast}
. "$(dirname "$0")/bench_common.inc"
case $QUALITY in
fast) BEST="" HBBEST="" ;;
best)
    printf '[PspVideo]\nQuality=1\n' >"$XDG_DATA_HOME/Kalvex/set.ini"
    BEST="-mbd rd -trellis 1 -flags +mv4"
    HBBEST=":mbd=rd:trellis=1:flags=+mv4"
    ;;
*) echo "bench: QUALITY is fast or best" >&2; exit 2 ;;
esac

# The settings Kalvex converts with by default (set.ini absent).
WIDTH=368 HEIGHT=208 VRATE=400 AKBPS=96 ARATE=24000
# The ffmpeg tool cannot take BicubicResize's kernel: FFmpeg 5.1's scale
# filter hands param0/param1 to libswscale as whole numbers, so
# "param0=0.333:param1=0.333" scales with B = C = 0 (checked: its pictures
# equal libswscale's at B = C = 0 bit for bit). That kernel is sharper, and
# the Lanczos judge favours it: on the 1920x800 source the ffmpeg tool's
# pictures score about 0.45 dB more at the same bit rate, while the ffmpeg
# tool encoding Kalvex's own scaled pictures scores exactly what Kalvex
# does. zimg's bicubic (zscale) is no way out: it places the chroma
# differently from the judge (-2 dB). So the tool runs with B = C = 0, said
# here as it is, and the PSNR line names the kernels.
BICUBIC="flags=bicubic:param0=0:param1=0"

# The sources, timing and the quality judge.
. "$(dirname "$0")/convert_common.inc"

long_run() {
    src=$(media long)
    load=$(cut -d" " -f1-3 /proc/loadavg)
    "$KALVEX" --convert --dest "$TMP/out" "$src" >/dev/null 2>"$TMP/err" &
    pid=$!
    t=0
    : >"$TMP/rss"
    while kill -0 "$pid" 2>/dev/null; do
        r=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
        [ -n "$r" ] && echo "$t $r" >>"$TMP/rss"
        sleep 1
        t=$((t + 1))
    done
    wait "$pid" || { echo "bench: Kalvex failed on the long source:" >&2; cat "$TMP/err" >&2; exit 1; }
    echo "load average before: $load"
    echo "source: 3600 s 320x240 25 fps H.264 + AAC (small picture: the run looks for growth over time)"
    # The first and the last minute of the run; a run shorter than two
    # minutes is cut in halves instead, so that the two never overlap.
    awk -v end="$t" '
        BEGIN { win = end < 120 ? int(end / 2) : 60; if (win < 1) win = 1 }
        { if ($2 > peak) peak = $2
          if ($1 < win && $2 > first) first = $2
          if ($1 >= end - win && $2 > last) last = $2 }
        END { printf "converted in %d s; resident memory, max of the first %d s: %.1f MB, of the last %d s: %.1f MB, peak: %.1f MB (limit 300 MB): %s\n",
                     end, win, first / 1024, win, last / 1024, peak / 1024, (peak < 300 * 1024 ? "met" : "NOT met")
              printf "growth, last over first: %+.1f MB\n", (last - first) / 1024 }' "$TMP/rss"
}

if [ "$LONG" = 1 ]; then
    long_run
    exit 0
fi

HB=$(command -v HandBrakeCLI || true)
if [ -z "$HB" ] && [ -z "${BEFORE:-}" ]; then
    echo "bench: HandBrakeCLI is missing, its rows are left out (Debian: apt-get install handbrake-cli)" >&2
fi
counter_build

# keep TOOL: adds this run's figures to TOOL's list.
keep() { echo "$wall $cpu $mem $decoders $inputs $rchar $procs" >>"$TMP/runs.$1"; }
# convert_with NAME PROGRAM: one timed conversion of $src by that build of
# Kalvex, kept under NAME; its output is left in $TMP/kalvex.mp4 (NAME
# Kalvex) or $TMP/before.mp4.
convert_with() {
    rm -f "$TMP"/out/*.mp4
    run "$1" "$2" --convert --dest "$TMP/out" "$src"
    keep "$1"
    if [ "$1" = Kalvex ]; then out=kalvex; else out=$1; fi
    cp "$(ls "$TMP"/out/*.mp4 | head -1)" "$TMP/$out.mp4"
}
# figures TOOL: the median of every column of TOOL's runs ("?" when one is
# missing): wall cpu mem decoders inputs rchar procs.
figures() {
    awk '{ for (i = 1; i <= NF; i++) { n[i]++; v[i, n[i]] = $i; if ($i == "?") q[i] = 1 } }
         END { for (i = 1; i <= 7; i++) {
                   if (q[i] || !n[i]) { printf "? "; continue }
                   for (a = 2; a <= n[i]; a++)  # insertion sort, numeric
                       for (b = a; b > 1 && v[i, b - 1] + 0 > v[i, b] + 0; b--) { t = v[i, b]; v[i, b] = v[i, b - 1]; v[i, b - 1] = t }
                   printf "%s ", v[i, int((n[i] + 1) / 2)] }
               print "" }' "$TMP/runs.$1"
}
# row SOURCE TOOL SIZE [KBPS PSNR SSIM PSNR-Y]: prints TOOL's medians:
# times, peak memory, the output's bit rate and quality when given, bytes
# read over the source's SIZE, inputs and decoders opened.
row() {
    rs=$1; rt=$2; rsize=$3; shift 3
    set -- $(figures "$rt") "$@"
    read_x=$(awk -v r="$6" -v s="$rsize" 'BEGIN { if (r == "?") print "?"; else printf "%.2f", r / s }')
    printf '%-6s %-9s %8s %8s %7d %9s %8s %7s %7s %7s %4s %4s %5s\n' "$rs" "$rt" "$1" "$2" $(($3 / 1024)) \
        "${8:--}" "${9:--}" "${10:--}" "${11:--}" "$read_x" "$5" "$4" "$7"
}
# hb_fps RATE: a frame rate as HandBrakeCLI takes it (its table's 23.976
# and 29.97 for the NTSC rates, so that they stay exact).
hb_fps() { awk -v r="$1" 'BEGIN { split(r, a, "/"); if (a[2] == "") a[2] = 1
                                  v = sprintf("%.3f", a[1] / a[2]); sub(/0+$/, "", v); sub(/\.$/, "", v); print v }'; }
# hb_geometry BOX W H: HandBrakeCLI's picture inside 368x208 and its pads
# for the box "BW:BH:X:Y" of a WxH source: "width height top bottom left
# right", all even (it pads after scaling).
hb_geometry() {
    awk -v b="$1" -v w="$2" -v h="$3" -v W="$WIDTH" -v H="$HEIGHT" 'BEGIN {
        split(b, a, ":")
        iw = 2 * int(W * w / a[1] / 2 + 0.5); ih = 2 * int(H * h / a[2] / 2 + 0.5)
        l = (W - iw) / 2; l -= l % 2; t = (H - ih) / 2; t -= t % 2
        printf "%d %d %d %d %d %d\n", iw, ih, t, H - ih - t, l, W - iw - l }'
}

# start_cost: "WALL CPU", the medians of five starts of Kalvex that end at
# once (`--convert` without a file prints its usage and exits). Before any
# conversion can begin, the dynamic loader maps and links Qt, the FFmpeg
# libraries and everything they link (about 180 libraries) on one core; on
# a short source that alone moves wall / (processor / cores). The ffmpeg
# tool pays the same for its own libraries.
start_cost() {
    sw=""; sc=""
    for _ in 1 2 3 4 5; do
        /usr/bin/time -f "%e %U %S" -o "$TMP/time" "$KALVEX" --convert >/dev/null 2>&1 || true
        # time writes a line of its own first when the command exits non-zero
        set -- $(tail -n 1 "$TMP/time")
        sw="$sw $1"; sc="$sc $(awk -v u="$2" -v s="$3" 'BEGIN { print u + s }')"
    done
    # shellcheck disable=SC2086
    echo "$(median $sw) $(median $sc)"
}

for s in $SOURCES; do media "$s" >/dev/null; done
load=$(cut -d" " -f1-3 /proc/loadavg)
cores=$(nproc)
set -- $(start_cost); start_wall=$1; start_cpu=$2
echo "load average before: $load; $cores cores; medians of $RUNS runs; encoder: $QUALITY quality"
echo "Y dB: PSNR of the luma alone; read x: bytes read (rchar, cached or not) over the source's size; in: inputs opened; dec: decoders opened; procs: processes counted"
echo
printf '%-6s %-9s %8s %8s %7s %9s %8s %7s %7s %7s %4s %4s %5s\n' source tool "wall s" "cpu s" "mem MB" "kbit/s" "PSNR dB" SSIM "Y dB" "read x" in dec procs
summary=""
for s in $SOURCES; do
    src=$(media "$s")
    cat "$src" >/dev/null  # warm the file cache
    size=$(stat -c %s "$src")
    w=$(probe "$src" v:0 width); h=$(probe "$src" v:0 height)
    sar=$(probe "$src" v:0 sample_aspect_ratio)
    b=$(box "$src"); c601=$(to601 "$src")
    set -- $(hb_geometry "$b" "$w" "$h"); gw=$1; gh=$2; hpad=""
    [ "$3$4$5$6" = 0000 ] || hpad="top=$3:bottom=$4:left=$5:right=$6"
    rm -f "$TMP"/out/* "$TMP"/runs.*
    i=0
    while [ $i -lt "$RUNS" ]; do
        if [ -n "${BEFORE:-}" ]; then
            # The two builds take turns in both orders, this one first in
            # even runs and the other first in odd ones: on a shared host
            # the second conversion of a pair ran faster or slower than the
            # first by as much as the change being measured.
            if [ $((i % 2)) -eq 0 ]; then
                convert_with Kalvex "$KALVEX"; convert_with before "$BEFORE/bin/Kalvex"
            else
                convert_with before "$BEFORE/bin/Kalvex"; convert_with Kalvex "$KALVEX"
            fi
            i=$((i + 1))
            continue
        fi
        convert_with Kalvex "$KALVEX"
        fps=$(probe "$TMP/kalvex.mp4" v:0 r_frame_rate)
        run ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" \
            -vf "fps=$fps,pad=$b:black,scale=$WIDTH:$HEIGHT:$BICUBIC" \
            -c:v mpeg4 -b:v ${VRATE}k -bt ${VRATE}k -g 12 -bf 0 -threads:v 1 $BEST \
            -c:a aac -b:a ${AKBPS}k -ar $ARATE -ac 2 "$TMP/ffmpeg.mp4"
        keep ffmpeg
        if [ -n "$HB" ]; then
            run handbrake "$HB" -i "$src" -o "$TMP/handbrake.mp4" -f av_mp4 \
                -e mpeg4 -b $VRATE -x "g=12:bf=0:bt=${VRATE}k:threads=1$HBBEST" -r "$(hb_fps "$fps")" --cfr \
                --crop 0:0:0:0 --custom-anamorphic --pixel-aspect 1:1 --no-keep-display-aspect \
                -w "$gw" -l "$gh" ${hpad:+--pad "$hpad"} \
                -a 1 -E av_aac -B $AKBPS -R $((ARATE / 1000)) -6 stereo
            keep HandBrake
        fi
        run decode ffmpeg -nostdin -loglevel error -y -i "$src" -f null -
        keep decode
        i=$((i + 1))
    done
    if [ -n "${BEFORE:-}" ]; then
        row "$s" Kalvex "$size"
        row "$s" before "$size"
        set -- $(figures Kalvex); kw=$1; kc=$2
        set -- $(figures before); fw=$1; fc=$2
        same=different; cmp -s "$TMP/kalvex.mp4" "$TMP/before.mp4" && same=identical
        summary="$summary$(awk -v s="$s" -v kw="$kw" -v fw="$fw" -v kc="$kc" -v fc="$fc" -v same="$same" 'BEGIN {
            printf "%s: this / before: wall %+.1f %%, processor %+.1f %%; outputs %s", s, (kw / fw - 1) * 100, (kc / fc - 1) * 100, same }')
"
        continue
    fi
    pre="fps=$fps,pad=$b:black"
    set -- $(quality "$TMP/kalvex.mp4" "$src" "$pre" "$c601" "fps=$fps"); kp=$1
    row "$s" Kalvex "$size" "$(kbps "$TMP/kalvex.mp4")" "$@"
    set -- $(quality "$TMP/ffmpeg.mp4" "$src" "$pre" "" "fps=$fps"); fp=$1
    row "$s" ffmpeg "$size" "$(kbps "$TMP/ffmpeg.mp4")" "$@"
    hp="?"
    if [ -n "$HB" ]; then
        set -- $(quality "$TMP/handbrake.mp4" "$src" "$pre" "" "fps=$fps"); hp=$1
        row "$s" HandBrake "$size" "$(kbps "$TMP/handbrake.mp4")" "$@"
    fi
    row "$s" decode "$size"
    echo "       (source ${w}x${h} SAR ${sar}, $((size / 1000000)) MB, box $b${c601:+, Kalvex judged in BT.601}; output ${WIDTH}x${HEIGHT} at $fps fps${hpad:+; HandBrake ${gw}x${gh} padded $hpad})"
    set -- $(figures Kalvex); kw=$1; kc=$2; km=$3; kd=$4; kr=$6
    set -- $(figures ffmpeg); fw=$1; fc=$2
    hw=""; hc=""
    if [ -n "$HB" ]; then set -- $(figures HandBrake); hw=$1; hc=$2; fi
    set -- $(figures decode); dw=$1
    kb=$(kbps "$TMP/kalvex.mp4")
    # The targets per source; "-" where the source has none.
    summary="$summary$(awk -v s="$s" -v kw="$kw" -v kc="$kc" -v km="$km" -v kd="$kd" -v kr="$kr" -v size="$size" \
        -v fw="$fw" -v fc="$fc" -v hw="$hw" -v hc="$hc" -v dw="$dw" -v cores="$cores" \
        -v sw="$start_wall" -v sc="$start_cpu" \
        -v kp="$kp" -v fp="$fp" -v hp="$hp" -v kb="$kb" -v set="$VRATE" 'function judge(v, lim,    met, f, d) {
            if (v == "?") return "?"; if (lim == "") return sprintf("%.2f", v)
            # A figure over its limit by less than the last digit shown
            # (1.104 against 1.10) is shown with more digits, so that the
            # figure and the verdict do not read as a contradiction.
            met = v <= lim + 1e-9; f = sprintf("%.2f", v)
            for (d = 3; !met && f + 0 <= lim && d <= 6; d++) f = sprintf("%." d "f", v)
            return sprintf("%s (<= %.2f: %s)", f, lim, met ? "met" : "NOT met") }
        BEGIN {
            tf = ""; th = ""; tc = ""; tm = ""
            if (s == "720p") tf = 0.78; if (s == "dvd") tf = 0.59
            if (s == "1080p") { tf = 0.90; th = 0.80; tc = 1.00 }
            if (s == "4k") { tf = 0.95; tm = 400 }
            printf "%s: wall Kalvex / ffmpeg %s", s, judge(kw / fw, tf)
            if (hw != "") printf ", Kalvex / HandBrake %s", judge(kw / hw, th)
            printf "; processor Kalvex / ffmpeg %s", judge(kc / fc, tc)
            if (hc != "") printf ", Kalvex / HandBrake %s", judge(kc / hc)
            printf "\n    Kalvex: wall / (processor / %d cores) %s; bytes read / source size %s; decoders opened %s; peak memory MB %s",
                cores, judge(kw / (kc / cores), 1.10), (kr == "?" ? "?" : judge(kr / size, 1.30)),
                (kd == "?" ? "?" : sprintf("%d (<= 4: %s)", kd, kd <= 4 ? "met" : "NOT met")),
                (tm == "" ? sprintf("%.0f", km / 1024) : judge(km / 1024, tm))
            printf "\n    wall / (processor / %d cores) once started (less a start that does nothing, %.2f s wall, %.2f s processor): %.2f; the ffmpeg tool'"'"'s, start included: %.2f",
                cores, sw, sc, (kw - sw) / ((kc - sc) / cores), fw / (fc / cores)
            db = (kb - set) / set * 100
            printf "\n    wall %.2fx decode floor; PSNR %+.2f dB vs ffmpeg (>= -0.10: %s; B = C = 1/3 vs 0)", kw / dw, kp - fp, (kp - fp >= -0.1 ? "met" : "NOT met")
            if (hp != "?" && hp != "") printf ", %+.2f dB vs HandBrake (Lanczos)", kp - hp
            printf "; bit rate %+.1f %% of %d kbit/s (within 2 %%: %s)", db, set, (db <= 2 && db >= -2 ? "met" : "NOT met") }')
"
done
echo
printf '%s' "$summary"
steal_report

#!/bin/sh
# The PSP's two codecs and the best-quality mode, on the bench sources of
# convert_bench.sh (720p, DVD, 1080p; see convert_common.inc).
#
# 1. AVC against MPEG-4 at the PSP's 768 kbit/s: `Kalvex --convert --avc`
#    (H.264 Main Profile level 2.1, 480x272) and `Kalvex --convert` (MPEG-4
#    Simple Profile, 368x208), both with PspVideo VideoBitrate=768. Wall and
#    processor time, and PSNR/SSIM against the source scaled with Lanczos to
#    each output's own size. Goal: AVC takes at most 1.5 times MPEG-4's time.
# 2. Best quality (PspVideo Quality=1: Lanczos scaling, the slow Simple
#    Profile tools) at 400 kbit/s MPEG-4 against the ffmpeg tool's default
#    command for the same box (`-vf pad=BOX,scale=368:208`, its default
#    bicubic kernel, `-c:v mpeg4 -b:v 400k`). That command lets its rate
#    stray by 4000 kbit/s, so it is run twice: as it is, and with the rate
#    tolerance Kalvex uses (`-bt 400k`), which spends about the same bits.
#    Goal: at least +0.5 dB over the command as it is, though it spends up
#    to 15 % more bits. Kalvex's default mode is shown too, and for each
#    output the fullest second of video (the PSP's decoder takes 768 kbit/s
#    into a buffer of one second: at most 1536 kbit in any second).
#
# What the best mode's encoder options gave (400 kbit/s, DVD source, the
# script's Lanczos pictures, PSNR against the judge's reference; the 60 s
# source unless noted; processor time of the encoder alone):
#   mb_decision RD, trellis, 4MV, qp_rd+cbp_rd+mv0, dia -3, last_pred 2
#                                              30.23 dB  16.6 s  (the base)
#   + me_cmp/me_sub_cmp RD with chroma         +0.05 dB  +50 %  (20 s: +0.08)
#   + i_quant_factor -0.7 (-0.8 before)        +0.03 dB         (20 s: +0.04)
#   both (kept)                                30.28 dB  25 s
#   + a key picture every 2 s (60 pictures), not every 12: +0.33 dB
#     (every 1 s +0.25, every 4 s +0.36; kept at 2 s, as AVC): 30.62 dB
#   qcomp 0.3..1, qblur 0, skip_rd, mbcmp, precmp, dia +-4, me_range,
#   xone, mepc, intra_penalty, qmin 1, lmin, elimination thresholds
#                                        each within +-0.02 dB or worse (20 s)
#   quantizer_noise_shaping 1..3, noise_reduction 500..2000  -0.05..-0.4 dB
#   a larger rate tolerance (2000k, 4000k)  +0.15/+0.36 dB for +6/+12 % bits
#   two passes (the script's pictures twice) with qcomp 1 and the two kept
#   options, GOP 12: 30.44 dB, +0.16 over one pass, for twice the time;
#   not built.
#   the ffmpeg tool's default command as it is: 29.97 dB at 430 kbit/s.
#
# The judge (the ffmpeg tool's psnr and ssim filters) compares each output
# with the source brought to the same frame rate and box; for Kalvex's
# pictures the reference also gets the BT.709 to BT.601 conversion that
# Kalvex makes for the PSP on high-definition sources (to601), so that only
# scaling and coding count.
#
# Usage: sh bench/psp_bench.sh [BUILD_DIR]
# Environment: RUNS (default 1: one pass, medians of RUNS otherwise),
#   SOURCES (default "720p dvd 1080p"), PARTS (default "avc best").
set -e
BUILD=${1:-build}
RUNS=${RUNS:-1}
SOURCES=${SOURCES:-"720p dvd 1080p"}
PARTS=${PARTS:-"avc best"}
. "$(dirname "$0")/bench_common.inc"
. "$(dirname "$0")/convert_common.inc"

# kalvex NAME SETTINGS [ARGS...]: converts the current source with set.ini's
# PspVideo section holding SETTINGS ("Key=Value" lines); medians of RUNS
# in $kw (wall) and $kc (processor); the output in $TMP/NAME.mp4.
kalvex() {
    name=$1; settings=$2; shift 2
    printf '[PspVideo]\n%b\n' "$settings" >"$XDG_DATA_HOME/Kalvex/set.ini"
    ws=""; cs=""; i=0
    while [ $i -lt "$RUNS" ]; do
        rm -f "$TMP"/out/*
        run "$name" "$KALVEX" --convert --dest "$TMP/out" "$@" "$src"
        ws="$ws $wall"; cs="$cs $cpu"; i=$((i + 1))
    done
    # shellcheck disable=SC2086
    kw=$(median $ws); kc=$(median $cs)
    cp "$(ls "$TMP"/out/*.mp4 | head -1)" "$TMP/$name.mp4"
}

# fullest FILE: the most kbit the video of FILE holds in any one second
# (from each packet on, by decoding time).
fullest() {
    ffprobe -v error -select_streams v:0 -show_entries packet=dts_time,size -of csv=p=0 "$1" | sort -t, -k1,1g |
        awk -F, '{ t[NR] = $1; b[NR] = $2 * 8 } END {
            j = 1; sum = 0; most = 0
            for (i = 1; i <= NR; i++) { sum += b[i]; while (t[i] >= t[j] + 1) { sum -= b[j]; j++ } if (sum > most) most = sum }
            printf "%.0f", most / 1000 }'
}

for s in $SOURCES; do media "$s" >/dev/null; done
echo "load average before: $(cut -d" " -f1-3 /proc/loadavg); $(nproc) cores; medians of $RUNS run(s)"
summary=""
for s in $SOURCES; do
    src=$(media "$s")
    cat "$src" >/dev/null
    b=$(box "$src"); c601=$(to601 "$src")
    echo
    echo "$s: $(probe "$src" v:0 width)x$(probe "$src" v:0 height), box $b${c601:+, judged in BT.601}"
    case " $PARTS " in *" avc "*)
        printf '%-22s %8s %8s %9s %8s %7s\n' "AVC vs MPEG-4" "wall s" "cpu s" "kbit/s" "PSNR dB" SSIM
        kalvex mpeg4 "VideoBitrate=768"
        mw=$kw; mc=$kc
        fps=$(probe "$TMP/mpeg4.mp4" v:0 r_frame_rate)
        WIDTH=368 HEIGHT=208
        set -- $(quality "$TMP/mpeg4.mp4" "$src" "fps=$fps,pad=$b:black" "$c601"); mp=$1; ms=$2
        printf '%-22s %8s %8s %9s %8s %7s\n' "MPEG-4 368x208" "$mw" "$mc" "$(kbps "$TMP/mpeg4.mp4")" "$mp" "$ms"
        kalvex avc "VideoBitrate=768" --avc
        aw=$kw; ac=$kc
        WIDTH=$(probe "$TMP/avc.mp4" v:0 width) HEIGHT=$(probe "$TMP/avc.mp4" v:0 height)
        set -- $(quality "$TMP/avc.mp4" "$src" "fps=$fps,pad=$b:black" "$c601"); ap=$1; as=$2
        printf '%-22s %8s %8s %9s %8s %7s\n' "AVC ${WIDTH}x${HEIGHT}" "$aw" "$ac" "$(kbps "$TMP/avc.mp4")" "$ap" "$as"
        summary="$summary$(awk -v s="$s" -v aw="$aw" -v mw="$mw" -v ap="$ap" -v mp="$mp" 'BEGIN {
            r = aw / mw; printf "%s: AVC takes %.2fx the time of MPEG-4 (<= 1.5: %s); PSNR %.2f dB at 480x272 vs %.2f dB at 368x208 (each against its own size)",
                s, r, (r <= 1.5 ? "met" : "NOT met"), ap, mp }')
"
        ;;
    esac
    case " $PARTS " in *" best "*)
        row='%-22s %8s %8s %9s %9s %8s %7s\n'
        printf "$row" "400 kbit/s MPEG-4" "wall s" "cpu s" "kbit/s" "fullest s" "PSNR dB" SSIM
        WIDTH=368 HEIGHT=208
        kalvex fast "VideoBitrate=400"
        fps=$(probe "$TMP/fast.mp4" v:0 r_frame_rate)
        set -- $(quality "$TMP/fast.mp4" "$src" "fps=$fps,pad=$b:black" "$c601"); fp=$1; fs=$2
        printf "$row" "Kalvex default" "$kw" "$kc" "$(kbps "$TMP/fast.mp4")" "$(fullest "$TMP/fast.mp4")" "$fp" "$fs"
        kalvex best "VideoBitrate=400\nQuality=1"
        set -- $(quality "$TMP/best.mp4" "$src" "fps=$fps,pad=$b:black" "$c601"); bp=$1; bs=$2
        printf "$row" "Kalvex best quality" "$kw" "$kc" "$(kbps "$TMP/best.mp4")" "$(fullest "$TMP/best.mp4")" "$bp" "$bs"
        run ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" -vf "fps=$fps,pad=$b:black,scale=368:208" \
            -c:v mpeg4 -b:v 400k -c:a aac "$TMP/ff.mp4"
        set -- $(quality "$TMP/ff.mp4" "$src" "fps=$fps,pad=$b:black"); dp=$1; ds=$2
        printf "$row" "ffmpeg default" "$wall" "$cpu" "$(kbps "$TMP/ff.mp4")" "$(fullest "$TMP/ff.mp4")" "$dp" "$ds"
        run ffmpeg ffmpeg -nostdin -loglevel error -y -i "$src" -vf "fps=$fps,pad=$b:black,scale=368:208" \
            -c:v mpeg4 -b:v 400k -bt 400k -c:a aac "$TMP/ffbt.mp4"
        set -- $(quality "$TMP/ffbt.mp4" "$src" "fps=$fps,pad=$b:black"); tp=$1; ts=$2
        printf "$row" "ffmpeg default -bt" "$wall" "$cpu" "$(kbps "$TMP/ffbt.mp4")" "$(fullest "$TMP/ffbt.mp4")" "$tp" "$ts"
        summary="$summary$(awk -v s="$s" -v bp="$bp" -v tp="$tp" -v dp="$dp" -v fp="$fp" 'BEGIN {
            d = bp - dp; printf "%s: best quality %+.2f dB vs the ffmpeg default command as it is (>= +0.5: %s), %+.2f dB vs it at about the same bits (-bt 400k); default mode %+.2f dB vs that",
                s, d, (d >= 0.5 ? "met" : "NOT met"), bp - tp, fp - tp }')
"
        ;;
    esac
done
echo
printf '%s' "$summary"
steal_report

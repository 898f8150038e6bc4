#!/bin/sh
# Cost of burning in a subtitle track that the source carries inside it: the
# 60 s 1280x720 H.264/AAC source of bench/subtitle_burn.sh, with a subtitle
# every 2 s (shown for 1.5 s) muxed in once as a SubRip text track and once
# as a DVD picture track (made from subburn_bench's VobSub pair). The
# conversion script (frame rate, borders, 368x208; what the converter reads
# and encodes) is read in full without a subtitle, with EmbeddedSub on the
# text track and with EmbeddedSub on the picture track, taking turns, RUNS
# times each (default 3); the median wall and processor times and the
# costs are printed. The encoding after the script is the same for all
# three, so the cost in a whole conversion is smaller than the one shown.
# Targets: text track <= +10 %, picture track <= +15 %.
# Usage: sh bench/embedded_subs.sh [BUILD_DIR]
set -e
BUILD=${1:-build}
BUILD=$(cd "$BUILD" && pwd)
RUNS=${RUNS:-3}
cmake --build "$BUILD" --target embedsub_bench subburn_bench DirectShowSource -j2 >/dev/null
BENCH="$BUILD/bin/embedsub_bench"
MAKER="$BUILD/bin/subburn_bench"
[ -x "$BENCH" ] && [ -x "$MAKER" ] || { echo "bench: build failed" >&2; exit 1; }
. "$(dirname "$0")/subs_common.inc"
SRC="$TMP/src720.mkv"
subtitle_material "$SRC" "$MAKER"
ffmpeg -nostdin -loglevel error -y -i "$SRC" -i "$TMP/subs.srt" -map 0 -map 1 -c copy -c:s srt "$TMP/text.mkv"
ffmpeg -nostdin -loglevel error -y -i "$SRC" -i "$TMP/vob.idx" -map 0 -map 1 -c copy "$TMP/picture.mkv"

# The conversion script at the default settings, as the script builder
# writes it for a 16:9 source, with the subtitle line last.
script() {
    printf 'DirectShowSource("%s")\nConvertToYV12()\nChangeFPS(25.000000)\nAddBorders(0,0,0,0)\nBicubicResize(368,208)\n%s' \
        "$1" "$2" >"$3"
}
script "$SRC" "" "$TMP/none.avs"
script "$TMP/text.mkv" "EmbeddedSub(\"$TMP/text.mkv\", 1)
" "$TMP/text.avs"
script "$TMP/picture.mkv" "EmbeddedSub(\"$TMP/picture.mkv\", 1)
" "$TMP/picture.avs"

run() {
    out=$("$BENCH" "$1") || { echo "bench: reading $1 failed" >&2; exit 1; }
    wall=$(echo "$out" | cut -d' ' -f1)
    cpu=$(echo "$out" | cut -d' ' -f4)
}

run_case() {
    case $1 in
    1) run "$TMP/none.avs" ;;
    2) run "$TMP/text.avs" ;;
    3) run "$TMP/picture.avs" ;;
    esac
}

cat "$SRC" "$TMP/text.mkv" "$TMP/picture.mkv" >/dev/null
take_turns none text picture
echo "load average before: $load"
echo "source: 60 s 1280x720 25 fps H.264 in Matroska, script to 368x208; median of $RUNS runs; $(nproc) cores"
echo "no subtitle:           ${wall1} s wall, ${cpu1} s processor"
cost "text track burned in: " 2 1 "+10 %"
cost "picture track burned in:" 3 1 "+15 %"

#!/bin/sh
# Preview playback figures, measured on the pipeline clock:
#   bench/preview.sh BUILD_DIR
# 1. Start: from Run until the first picture reaches the video renderer, for
#    the preview script of a 60 s 1280x720 H.264/AAC clip. Target: 0.5 s.
# 2. Seek: from a seek while playing until the first picture of the new
#    position is rendered (ten seeks spread over the movie). Target: 0.3 s.
#    Then jumps 3.3 s ahead within a group of pictures, and slider drags
#    (twelve seeks 40 ms apart: from the last one to its picture).
#    Beside it: how long the seek call holds the caller, the processor time
#    of one seek, and the same seeks in the script's reader alone (the
#    decoding to the picture, without the graph).
# 3. A/V offset: over the whole minute, how far the video renderer's
#    pictures and the audio renderer's blocks drift apart, each compared
#    with the clock when it is rendered. Target: under 40 ms.
# The renderers are clock-synchronised fakesinks, so the figures hold
# without a display or a sound card (the decode and the feeding are real).
# 4. Drawing: the same start and seeks measured until the picture is painted
#    by the page's picture widget, and the processor time of the whole
#    program while playing, four runs of SECONDS (default 20): pictures
#    thrown away before conversion (fakesink: decoding only), converted and
#    dropped by the picture sink, drawn in a 480x270 area, drawn full screen.
#    Drawing costs the difference to the first run. Target: at most 20 % of
#    one core. On an X display of its own (Xvfb without XVideo, 1280x720)
#    when xvfb-run is there, else on the offscreen platform.
#   bench/preview.sh BUILD_DIR [--drawing-only | --seeks-only] [SECONDS]
# --seeks-only: plays 3 s instead of the minute before the seeks (the A/V
# figure then covers those seconds only) and skips the drawing runs.
set -eu
BUILD=${1:?usage: preview.sh BUILD_DIR}
BUILD=$(cd "$BUILD" && pwd)
cmake --build "$BUILD" --target preview_bench -j2 >/dev/null
WORK=${KALVEX_BENCH_DIR:-${TMPDIR:-/tmp}/kalvex-bench}
mkdir -p "$WORK"
CLIP="$WORK/clip720p60s.mp4"
if [ ! -s "$CLIP" ]; then
  echo "making $CLIP ..."
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=30000/1001:duration=60" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -ac 2 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k "$CLIP"
fi
# The preview script the page writes for this clip (default settings).
SCRIPT="$WORK/preview.avs"
printf 'DirectShowSource("%s")\nConvertToYV12()\nChangeFPS(29.970030)\nResampleAudio(24000)\nBicubicResize(1280,720)\n' "$CLIP" > "$SCRIPT"
shift
if command -v xvfb-run >/dev/null 2>&1; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x720x24 -extension XVideo" "$BUILD/tests/preview_bench" "$SCRIPT" "$@"
else
  QT_QPA_PLATFORM=offscreen "$BUILD/tests/preview_bench" "$SCRIPT" "$@"
fi

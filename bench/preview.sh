#!/bin/sh
# Preview playback figures, measured on the pipeline clock:
#   bench/preview.sh BUILD_DIR
# 1. Start: from Run until the first picture reaches the video renderer, for
#    the preview script of a 60 s 1280x720 H.264/AAC clip. Target: 0.5 s.
# 2. Seek: from a seek while playing until the first picture of the new
#    position is rendered (ten seeks spread over the movie). Target: 0.3 s.
# 3. A/V offset: over the whole minute, how far the video renderer's
#    pictures and the audio renderer's blocks drift apart, each compared
#    with the clock when it is rendered. Target: under 40 ms.
# The renderers are clock-synchronised fakesinks, so the figures hold
# without a display or a sound card (the decode and the feeding are real).
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
"$BUILD/tests/preview_bench" "$SCRIPT"

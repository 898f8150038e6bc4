#!/bin/sh
# The main job, headless: makes a 10-second sample clip with the ffmpeg tool,
# converts it with `Kalvex --convert` and shows what came out.
# Usage: sh scripts/demo.sh [BUILD_DIR]
set -e
BUILD=${1:-build}
KALVEX="$BUILD/bin/Kalvex"
[ -x "$KALVEX" ] || { echo "demo: $KALVEX is missing; build first (make demo does)" >&2; exit 1; }
command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null ||
    { echo "demo: the ffmpeg tool is missing (sh scripts/install-deps.sh)" >&2; exit 1; }

DEMO=$(cd "$BUILD" && pwd)/demo
rm -rf "$DEMO"
mkdir -p "$DEMO/out" "$DEMO/data" "$DEMO/config" "$DEMO/runtime"
chmod 700 "$DEMO/runtime"
# The demo keeps its settings, log and registry to itself: default settings,
# and nothing of the user's is touched.
export XDG_DATA_HOME="$DEMO/data" XDG_CONFIG_HOME="$DEMO/config" XDG_RUNTIME_DIR="$DEMO/runtime"
export KALVEX_REGISTRY_DIR="$DEMO/config"

SAMPLE="$DEMO/sample clip.mp4"
echo "== making a 10-second 640x480 sample clip (H.264 video, stereo AAC sound)"
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=640x480:rate=25:duration=10" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=10" \
    -af "aformat=channel_layouts=stereo" -pix_fmt yuv420p -c:v libx264 -preset veryfast -c:a aac "$SAMPLE" 2>/dev/null ||
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=640x480:rate=25:duration=10" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=10" \
    -af "aformat=channel_layouts=stereo" -pix_fmt yuv420p -c:v mpeg4 -c:a aac "$SAMPLE"
echo "   $SAMPLE"

echo "== $KALVEX --convert --dest $DEMO/out \"$SAMPLE\""
# The encoder's description of the output goes to stderr; the progress
# lines and the result go to stdout.
"$KALVEX" --convert --dest "$DEMO/out" "$SAMPLE" 2>"$DEMO/convert.log" || {
    code=$?
    cat "$DEMO/convert.log" >&2
    echo "demo: the conversion failed (exit code $code)" >&2
    exit $code
}

OUT="$DEMO/out/sample clip.mp4"
echo "== output: $OUT ($(wc -c <"$OUT") bytes)"
ffprobe -v error -show_entries format=format_name,duration:stream=index,codec_type,codec_name,profile,width,height,r_frame_rate,sample_rate,channels,duration,bit_rate \
    -of default=noprint_wrappers=1 "$OUT" | sed 's/^/   /'

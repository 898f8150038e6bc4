#!/bin/sh
# Speed of the script engine against the ffmpeg tool on the same work.
#   bench/engine_bench.sh BUILD_DIR
# 1. The conversion script (frame rate change, resampling, borders, 368x208)
#    over a 60 s 1280x720 H.264/AAC clip: every frame and all audio read,
#    against ffmpeg decoding, filtering and resampling the same into a null
#    output. Target: ratio at most 1.1.
# 2. Opening a one-hour file (what examination does): target under 0.3 s.
# 3. Opening a one-hour DVD-style MPEG-2 program stream, whose frame count is
#    found by decoding its end (no target; the figure is reported).
set -eu
BUILD=${1:?usage: engine_bench.sh BUILD_DIR}
BUILD=$(cd "$BUILD" && pwd)
cmake --build "$BUILD" --target engine_bench DirectShowSource -j2 >/dev/null
BENCH="$BUILD/bin/engine_bench"
WORK=${KALVEX_BENCH_DIR:-${TMPDIR:-/tmp}/kalvex-bench}
mkdir -p "$WORK"
CLIP="$WORK/clip720p60s.mp4"
HOUR="$WORK/hour.mp4"
if [ ! -s "$CLIP" ]; then
  echo "making $CLIP ..."
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=30000/1001:duration=60" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -ac 2 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k "$CLIP"
fi
if [ ! -s "$HOUR" ]; then
  echo "making $HOUR ..."
  ffmpeg -nostdin -v error -y -stream_loop 59 -i "$CLIP" -c copy "$HOUR"
fi

SCRIPT="$WORK/convert.avs"
printf 'DirectShowSource("%s")\nConvertToYV12()\nChangeFPS(25.000000)\nResampleAudio(24000)\nAddBorders(0,0,0,0)\nBicubicResize(368,208)\n' "$CLIP" > "$SCRIPT"

now() { date +%s.%N; }
calc() { awk "BEGIN { print ($1) }"; }
best_engine=""
best_ffmpeg=""
best_engine_cpu=""
best_ffmpeg_cpu=""
for run in 1 2 3; do
  t0=$(now)
  fb=$(ffmpeg -nostdin -hide_banner -nostats -benchmark -i "$CLIP" \
    -vf "fps=25,scale=368:208:flags=bicubic:param0=0.3333:param1=0.3333" -af aresample=24000 -f null - 2>&1 |
    sed -n 's/.*utime=\([0-9.]*\)s stime=\([0-9.]*\)s.*/\1 \2/p')
  t1=$(now)
  f=$(calc "$t1 - $t0")
  fc=$(calc "$(echo "$fb" | cut -d' ' -f1) + $(echo "$fb" | cut -d' ' -f2)")
  out=$("$BENCH" "$SCRIPT")
  e=$(echo "$out" | cut -d' ' -f1)
  ec=$(echo "$out" | cut -d' ' -f4)
  echo "run $run: engine ${e}s (CPU ${ec}s), ffmpeg ${f}s (CPU ${fc}s)"
  if [ -z "$best_engine" ] || [ "$(calc "$e < $best_engine")" = 1 ]; then best_engine=$e; fi
  if [ -z "$best_ffmpeg" ] || [ "$(calc "$f < $best_ffmpeg")" = 1 ]; then best_ffmpeg=$f; fi
  if [ -z "$best_engine_cpu" ] || [ "$(calc "$ec < $best_engine_cpu")" = 1 ]; then best_engine_cpu=$ec; fi
  if [ -z "$best_ffmpeg_cpu" ] || [ "$(calc "$fc < $best_ffmpeg_cpu")" = 1 ]; then best_ffmpeg_cpu=$fc; fi
done
printf 'conversion read, best of 3: engine %.3f s, ffmpeg %.3f s, ratio %.3f (target <= 1.1)\n' \
  "$best_engine" "$best_ffmpeg" "$(calc "$best_engine / $best_ffmpeg")"
printf 'CPU time (all threads), best of 3: engine %.3f s, ffmpeg %.3f s, ratio %.3f\n' \
  "$best_engine_cpu" "$best_ffmpeg_cpu" "$(calc "$best_engine_cpu / $best_ffmpeg_cpu")"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) (wall times are only comparable on a quiet machine)"

EXAMINE="$WORK/examine.avs"
printf 'DirectShowSource("%s")\nConvertToYV12()\n' "$HOUR" > "$EXAMINE"
o=$("$BENCH" --open "$EXAMINE" | cut -d' ' -f1)
printf 'open of a one-hour file: %.3f s (target < 0.3)\n' "$o"
if [ -x "$BUILD/bin/Kalvex" ]; then
  t0=$(now)
  "$BUILD/bin/Kalvex" --examine "$HOUR" >/dev/null 2>&1 || true
  t1=$(now)
  printf 'Kalvex --examine of a one-hour file: %.3f s (target < 0.3)\n' "$(calc "$t1 - $t0")"
fi

# A DVD-style program stream: one minute of 720x576 MPEG-2 with MP2 sound,
# repeated to an hour without re-encoding.
VOBMIN="$WORK/minute.vob"
VOBHOUR="$WORK/hour.vob"
if [ ! -s "$VOBHOUR" ]; then
  echo "making $VOBHOUR ..."
  ffmpeg -nostdin -v error -y -f lavfi -i "testsrc2=size=720x576:rate=25:duration=60" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -c:v mpeg2video -b:v 5M -g 12 -bf 2 \
    -c:a mp2 -f vob "$VOBMIN"
  ffmpeg -nostdin -v error -y -stream_loop 59 -i "$VOBMIN" -c copy -f vob "$VOBHOUR"
fi
printf 'DirectShowSource("%s")\nConvertToYV12()\n' "$VOBHOUR" > "$EXAMINE"
o=$("$BENCH" --open "$EXAMINE" | cut -d' ' -f1)
printf 'open of a one-hour MPEG-2 program stream (its end decoded to count the pictures): %.3f s\n' "$o"
if [ -x "$BUILD/bin/Kalvex" ]; then
  t0=$(now)
  "$BUILD/bin/Kalvex" --examine "$VOBHOUR" >/dev/null 2>&1 || true
  t1=$(now)
  printf 'Kalvex --examine of a one-hour MPEG-2 program stream: %.3f s\n' "$(calc "$t1 - $t0")"
fi

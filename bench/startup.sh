#!/bin/sh
# Start-up time of Kalvex: from process start to its window on screen, under
# Xvfb, averaged over several runs. Usage: bench/startup.sh [BUILD_DIR]
BUILD=${1:-build}
KALVEX="$BUILD/bin/Kalvex"
RUNS=${RUNS:-10}
[ -x "$KALVEX" ] || { echo "build first: $KALVEX missing" >&2; exit 1; }
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
export XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" KALVEX_REGISTRY_DIR="$TMP/reg"
export XDG_RUNTIME_DIR="$TMP/run"; mkdir -p "$XDG_RUNTIME_DIR"; chmod 700 "$XDG_RUNTIME_DIR"
export KALVEX_BENCH_EXIT_ON_SHOW=1
run() {
    if [ -n "$DISPLAY" ]; then "$KALVEX"; else xvfb-run -a -s "-screen 0 1024x768x24" "$KALVEX"; fi
}
if [ -z "$DISPLAY" ]; then
    # One Xvfb for all runs, so its own start is not counted.
    Xvfb :97 -screen 0 1024x768x24 >/dev/null 2>&1 & XPID=$!
    export DISPLAY=:97
    trap 'kill $XPID; rm -rf "$TMP"' EXIT
    for i in 1 2 3 4 5 6 7 8 9 10; do xdpyinfo >/dev/null 2>&1 && break; sleep 0.2; done
fi
run >/dev/null 2>&1  # warm the file cache
total=0
i=0
while [ $i -lt "$RUNS" ]; do
    start=$(date +%s%N)
    run >/dev/null 2>&1
    end=$(date +%s%N)
    total=$((total + (end - start) / 1000))
    i=$((i + 1))
done
echo "startup to visible window: $((total / RUNS / 1000)) ms (mean of $RUNS runs, target < 1000 ms)"

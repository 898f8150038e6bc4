#!/bin/sh
# Runs a test program on Qt's wayland platform under a headless Weston of
# its own: a private runtime folder, a socket named after this run, the
# program started once the socket is there, Weston stopped after it.
#   run_wayland.sh PROGRAM [ARGS...]
# Exit code 77 (counted as skipped) only when weston is not installed.
set -u
if ! command -v weston >/dev/null 2>&1; then
    echo "SKIPPED: weston is not installed (scripts/install-deps.sh installs it)"
    exit 77
fi
RUNTIME=$(mktemp -d "${TMPDIR:-/tmp}/kalvex-wayland-XXXXXX") || exit 1
chmod 700 "$RUNTIME"
SOCKET="kalvex-test-$$"
XDG_RUNTIME_DIR="$RUNTIME" weston --backend=headless-backend.so --socket="$SOCKET" --width=1280 --height=1024 \
    --idle-time=0 --no-config >"$RUNTIME/weston.log" 2>&1 &
WESTON=$!
cleanup() {
    kill "$WESTON" 2>/dev/null
    wait "$WESTON" 2>/dev/null
    rm -rf "$RUNTIME"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# Waits for the compositor's socket (at most 30 s), not a fixed time.
tries=0
while [ ! -S "$RUNTIME/$SOCKET" ]; do
    if ! kill -0 "$WESTON" 2>/dev/null; then
        echo "weston ended before its socket appeared:"
        cat "$RUNTIME/weston.log"
        exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
        echo "weston's socket did not appear within 30 s:"
        cat "$RUNTIME/weston.log"
        exit 1
    fi
    sleep 0.1
done
XDG_RUNTIME_DIR="$RUNTIME" WAYLAND_DISPLAY="$SOCKET" QT_QPA_PLATFORM=wayland "$@"
status=$?
exit $status

#!/bin/sh
# Runs every benchmark script in bench/ against a build folder.
BUILD=${1:-build}
for b in "$(dirname "$0")"/*.sh; do
    [ "$(basename "$b")" = run.sh ] && continue
    echo "== $(basename "$b")"
    sh "$b" "$BUILD"
done

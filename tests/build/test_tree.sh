#!/bin/bash
# Checks on the build tree, run by CTest:
#   1. a copy of the sources with one folder's CMakeLists.txt missing fails
#      the configure step, and the error names that folder;
#   2. `ctest -R` with one case's full name selects exactly that case;
#   3. the program does not carry the test programs' download key.
set -u
src=$1 build=$2 cmake=$3 ctest=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 1. Copy the CMake files and the folders' shape only: the configure step
#    stops at the first missing folder, long before any source is compiled.
(cd "$src" && find . -path ./build -prune -o -path './build-*' -prune -o -path ./.git -prune -o \
    -type f \( -name CMakeLists.txt -o -name '*.cmake' -o -name '*.in' \) -print) |
while read -r f; do
    mkdir -p "$work/src/$(dirname "$f")"
    cp "$src/$f" "$work/src/$f"
done
rm "$work/src/convert/psp/CMakeLists.txt"
if "$cmake" -S "$work/src" -B "$work/build" -G Ninja >"$work/configure.log" 2>&1; then
    fail "configure succeeded with convert/psp/CMakeLists.txt missing"
elif ! grep -q "convert/psp" "$work/configure.log"; then
    fail "configure failed without naming convert/psp:"; cat "$work/configure.log"
fi

# 2. One case by its full name, and a whole program by its label.
one=$("$ctest" --test-dir "$build" -N -R '^media_tests:TimeText\.' 2>&1)
count=$(sed -n 's/^Total Tests: //p' <<<"$one")
[ "${count:-0}" -ge 1 ] || fail "no TimeText case listed: $one"
first=$(sed -n 's/^ *Test *#[0-9]*: //p' <<<"$one" | head -n 1)
exact=$("$ctest" --test-dir "$build" -N -R "^${first//./\\.}\$" 2>&1)
[ "$(sed -n 's/^Total Tests: //p' <<<"$exact")" = 1 ] || fail "'$first' did not select exactly one case: $exact"

# 3. The program carries the release key only: the test programs' key
#    (whose private half is in the test tree) is not in it.
testkey=$(sed -n 's/.*kTestPublicKeyHex = "\([0-9a-f]*\)".*/\1/p' "$src/tests/support/TestSigningKey.h")
[ ${#testkey} -eq 64 ] || fail "no test key found in tests/support/TestSigningKey.h"
grep -q "$testkey" "$build/tests/download_tests" || fail "the test programs do not carry the test key"
if grep -q "$testkey" "$build/bin/Kalvex"; then fail "bin/Kalvex carries the test key"; fi

[ "$failures" -eq 0 ] && echo "tree checks passed"
exit "$failures"

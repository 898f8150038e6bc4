#!/bin/bash
# Checks on the build tree, run by CTest:
#   1. a copy of the sources with one folder's CMakeLists.txt missing fails
#      the configure step, and the error names that folder;
#   2. `ctest -R` with one case's full name selects exactly that case;
#   3. the program does not carry the test programs' download key;
#   4. no program or module of bin/ looks for libraries in the folder it
#      was started from.
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

# 4. The loader takes an empty entry of a search path (RUNPATH or RPATH),
#    or a relative one, for the current folder: a program started from a
#    folder holding a library of a name it links would load that one. Every
#    ELF file in bin/ is read, and the program itself is started from an
#    empty folder with the loader's trace on: each file it tries must have
#    an absolute path.
elves=0
while IFS= read -r -d '' f; do
    head -c 4 "$f" | cmp -s - <(printf '\177ELF') || continue
    elves=$((elves + 1))
    paths=$(readelf -d "$f" 2>/dev/null | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
    [ -n "$paths" ] || continue
    bad=$(awk -F: '{ for (i = 1; i <= NF; i++) if ($i !~ /^(\/|\$ORIGIN|\$\{ORIGIN\})/) printf "entry %d \"%s\" ", i, $i }' <<<"$paths")
    [ -z "$bad" ] || fail "${f#"$build/"} searches the current folder: search path \"$paths\": $bad"
done < <(find "$build/bin" -type f \( -perm -u+x -o -name '*.so' \) -print0)
[ "$elves" -ge 4 ] || fail "only $elves programs and modules found in $build/bin"
mkdir -p "$work/empty"
tried=$(cd "$work/empty" && LD_DEBUG=libs "$build/bin/Kalvex" --convert 2>&1 >/dev/null | sed -n 's/.*trying file=//p')
[ -n "$tried" ] || fail "the loader's trace of bin/Kalvex shows no library search"
relative=$(grep -v '^/' <<<"$tried" | head -n 3)
[ -z "$relative" ] || fail "bin/Kalvex, started from an empty folder, looks for libraries in it: $relative"

[ "$failures" -eq 0 ] && echo "tree checks passed"
exit "$failures"

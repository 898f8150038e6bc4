#!/bin/bash
# The build keeps the layers apart: a core library sees neither Qt Widgets
# nor the headers of a window library. A copy of the sources is configured
# where core files include <QWidget> or a window header; compiling each of
# those files alone must fail, and fail on that very include.
#
#   test_layers.sh SOURCE_DIR CMAKE
set -u
src=$1 cmake=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One source file of each core library, and the headers they must not
# reach (Qt Widgets, a window library, a layer above; the engine sits below
# the subtitle readers): "file|include", in angle brackets or quotes.
cases=(
  "platform/system/Folders.cpp|<QWidget>"
  "platform/http/HttpTransport.cpp|<QWidget>"
  "uploader/http/HttpClient.cpp|<QWidget>"
  "engine/ScriptEngine.cpp|<QWidget>"
  "subtitles/engine/SubtitleFilters.cpp|<QWidget>"
  "engine/Filters.cpp|\"subtitles/STS.h\""
  "subtitles/STS.cpp|<QWidget>"
  "media/ExamineSource.cpp|<QWidget>"
  "convert/ConvertJob.cpp|<QWidget>"
  "convert/psp/PspCopyJob.cpp|<QWidget>"
  "preview/PreviewSource.cpp|<QWidget>"
  "media/ScriptBuilder.cpp|\"media/page/CAddFilePage.h\""
  "convert/EncodeToPsp.cpp|\"convert/page/CConvertPage.h\""
  "convert/psp/PspDetect.cpp|\"common/ui/Dialogs.h\""
)

# The sources without build folders or history.
mkdir -p "$work/src"
(cd "$src" && find . -mindepth 1 -maxdepth 1 ! -name .git ! -name 'build' ! -name 'build-*' -print0) |
    (cd "$src" && xargs -0 cp -a -t "$work/src")

for c in "${cases[@]}"; do
    file=${c%%|*} include=${c#*|}
    if [ ! -f "$work/src/$file" ]; then
        fail "$file does not exist (the list above follows the tree)"
        continue
    fi
    { echo "#include $include"; cat "$src/$file"; } >"$work/src/$file"
done

if ! "$cmake" -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1; then
    echo "FAIL: the copy does not configure"; cat "$work/configure.log"
    exit 1
fi

# Each file is compiled alone with the build's own command for it (from the
# compile database): the library's include folders and flags, nothing more.
for c in "${cases[@]}"; do
    file=${c%%|*} include=${c#*|}
    [ -f "$work/src/$file" ] || continue
    command=$(python3 - "$work/build/compile_commands.json" "$work/src/$file" <<'PY'
import json, shlex, sys

entries = [e for e in json.load(open(sys.argv[1])) if e["file"] == sys.argv[2]]
# The library's own object, not a test program that compiles the file again.
def output(e):
    words = shlex.split(e["command"])
    return words[words.index("-o") + 1] if "-o" in words else ""
entries = [e for e in entries if not output(e).startswith(("tests/", "bench/"))]
if entries:
    e = entries[0]
    print("cd " + shlex.quote(e["directory"]) + " && " + e["command"])
PY
)
    if [ -z "$command" ]; then
        fail "no library compiles $file"
        continue
    fi
    log="$work/$(basename "$file").log"
    if bash -c "$command" >"$log" 2>&1; then
        fail "$file builds although it includes $include"
        continue
    fi
    name=${include//[<>\"]/}
    if ! grep -q "$name: No such file or directory" "$log"; then
        fail "$file failed to build, but not on $include:"
        tail -n 20 "$log"
    fi
done

# Core libraries are handed the settings they use: none of their sources
# names the program's global settings record.
readers=$(python3 - "$work/build/compile_commands.json" "$work/src" <<'PY'
import json, re, shlex, sys
core = ("kalvex_platform", "kalvex_engine", "kalvex_subfilters", "kalvex_subtitles", "kalvex_media",
        "kalvex_convert", "kalvex_pspcore", "kalvex_preview", "kalvex_http", "kalvex_http_transport")
for e in json.load(open(sys.argv[1])):
    words = shlex.split(e["command"])
    out = words[words.index("-o") + 1] if "-o" in words else ""
    if not any("/CMakeFiles/%s.dir/" % lib in "/" + out for lib in core):
        continue
    path = e["file"]
    if not path.startswith(sys.argv[2] + "/"):
        continue  # generated (moc)
    for n, line in enumerate(open(path, errors="replace"), 1):
        if re.search(r"\bAppSettings\b(?!\.h\b)", line) and not line.lstrip().startswith("//"):
            print("%s:%d: %s" % (path[len(sys.argv[2]) + 1:], n, line.strip()))
PY
)
[ -z "$readers" ] || fail "core sources read the global settings record: $readers"

# The benchmarks stand on the program's libraries and the shared sample
# makers (samples/), never on test code.
benchtests=$(cd "$src" && grep -rEn '#include[[:space:]]*"tests/' bench || true)
[ -z "$benchtests" ] || fail "benchmarks include test headers: $benchtests"

# Qt's module folder prefix (<QtWidgets/QWidget>) would reach past the
# include folders above: Qt headers are included by class name only.
prefixed=$(cd "$src" && grep -rEn '#include[[:space:]]*<Qt[A-Za-z]+/' --include='*.cpp' --include='*.h' \
    --exclude-dir=build --exclude-dir='build-*' --exclude-dir=.git . || true)
[ -z "$prefixed" ] || fail "Qt headers included with their module folder: $prefixed"

if [ $failures -ne 0 ]; then
    echo "$failures layer check(s) failed"
    exit 1
fi
echo "every core file that reaches for a window fails to build (${#cases[@]} cases)"

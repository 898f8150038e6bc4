#!/usr/bin/env python3
"""Our own mutation check: applies deliberate faults one at a time, rebuilds,
runs the suite and tells which faults the tests catch.

The faults live beside this script in faults*.txt, one block per fault:

    file: media/TimeText.cpp
    find: return seconds / 60;
    replace: return seconds / 61;
    why: the length shown is a minute off after an hour
    tests: media_tests            (optional: programs to run first)
    equivalent: the value is never read   (optional: cannot change behaviour)

Blocks are separated by blank lines; lines starting with '#' are comments.
`find` must occur exactly once in its file.

For each fault the script first builds and runs the test programs of the
folder that mirrors the changed file (tests/<folder>/CMakeLists.txt), then,
when those all pass, every other test program the change can reach (those
the build relinked, and those that start the built programs), each round
through `ctest --stop-on-failure`. A fault is killed only when a test fails by an
assertion; a crash or a time-out is reported as such and does not count as a
kill, since it says the test would not have named the fault. The changed
file is restored after every fault, also on Ctrl-C.

The test case that killed a fault is remembered in killers.txt beside this
script (file, find text and test, tab-separated) and tried alone before the
rounds on the next run: a kill then costs one build and one test case. A
remembered case that no longer fails only costs its own run; the rounds
follow as usual. Commit the file so that every checkout starts from it.

Faults marked `equivalent` are counted but not run unless --equivalent is
given: by their mark no test can kill them, and checking that costs a whole
round of the suite each.

Usage: mutants.py [--build DIR] [--sample N] [--seed S] [--only TEXT] [--faults LIST[,LIST...]]
                  [--start K] [--equivalent] [--list]
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
KEYS = ("file", "find", "replace", "why", "tests", "equivalent")
KILLERS = os.path.join(HERE, "killers.txt")
# How a test program is declared in tests/**/CMakeLists.txt: the plain
# programs, and those built with the sanitizers or ThreadSanitizer (a
# program this misses is never rebuilt, so its old binary would run).
PROGRAM = r"kalvex_add_(?:fuzz_|tsan_)?test\(\s*(\w+)"


def read_killers():
    """{(file, find): test case} from killers.txt; unreadable lines are skipped."""
    killers = {}
    try:
        with open(KILLERS, encoding="utf-8") as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 3 and not line.startswith("#"):
                    killers[(parts[0], parts[1])] = parts[2]
    except OSError:
        pass
    return killers


def write_killers(killers):
    """Writes killers.txt in a stable order, through a temporary file."""
    tmp = KILLERS + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("# The test case that last killed each fault (written by mutants.py).\n")
        for (path, find), test in sorted(killers.items()):
            if "\t" not in find and "\n" not in test:
                f.write("%s\t%s\t%s\n" % (path, find, test))
    os.replace(tmp, KILLERS)


def read_faults():
    faults = []
    for name in sorted(os.listdir(HERE)):
        if not (name.startswith("faults") and name.endswith(".txt")):
            continue
        path = os.path.join(HERE, name)
        block, first = {}, 0
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n") + [""]
        for no, line in enumerate(lines, 1):
            if line.startswith("#"):
                continue
            if not line.strip():
                if block:
                    block["where"] = "%s:%d" % (name, first)
                    faults.append(block)
                block = {}
                continue
            key, sep, value = line.partition(": ")
            if not sep or key not in KEYS:
                sys.exit("%s:%d: expected 'key: value' with key one of %s" % (name, no, ", ".join(KEYS)))
            if not block:
                first = no
            block[key] = value
    for fault in faults:
        missing = [k for k in ("file", "find", "replace", "why") if k not in fault]
        if missing:
            sys.exit("%s: missing %s" % (fault["where"], ", ".join(missing)))
    return faults


def programs_for(path):
    """The test programs of the test folder that mirrors `path` (the longest
    folder prefix that has a tests/<folder>/CMakeLists.txt)."""
    parts = os.path.dirname(path).split("/")
    while parts:
        cml = os.path.join(ROOT, "tests", *parts, "CMakeLists.txt")
        if os.path.exists(cml):
            with open(cml, encoding="utf-8") as f:
                names = re.findall(PROGRAM, f.read())
            if names:
                return names
        parts.pop()
    return []


def all_programs():
    names = []
    for folder, _, files in os.walk(os.path.join(ROOT, "tests")):
        if "CMakeLists.txt" in files:
            with open(os.path.join(folder, "CMakeLists.txt"), encoding="utf-8") as f:
                names += [n for n in re.findall(PROGRAM, f.read()) if n != n.upper()]
    return names


def run(cmd, timeout=None):
    p = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       timeout=timeout)
    return p.returncode, p.stdout


def first_failure(output):
    """(test name, how) of the first failing test in ctest's output: its
    closing list ("12 - name (Failed)") or, failing that, the test's line."""
    kinds = (("Timeout", "time-out"), ("SEGFAULT", "crash"), ("Exception", "crash"), ("aborted", "crash"),
             ("Child killed", "crash"), ("Failed", "assertion"), ("Not Run", "not run"))
    for line in output.splitlines():
        # Names of parameterised cases carry their value ("Case/4  # GetParam() = ...").
        m = re.match(r"\s*\d+ - (.+?) \(([^()]*)\)\s*$", line)
        # A case that skips itself (GTEST_SKIP) is listed as not run: no failure.
        if m and m.group(2).strip().lower() in ("skipped", "disabled"):
            continue
        if m:
            for word, how in kinds:
                if word.lower() in m.group(2).lower():
                    return m.group(1), how
            return m.group(1), "crash"
    for line in output.splitlines():
        m = re.search(r"Test\s+#\d+: (.+?) \.+(.*)$", line)
        if m and "Passed" not in m.group(2):
            for word, how in kinds:
                if word.lower() in m.group(2).lower():
                    return m.group(1), how
    return None, None


def ctest(build, args, timeout_each):
    cmd = ["ctest", "--test-dir", build, "--stop-on-failure", "--timeout", str(timeout_each)] + args
    env_cmd = ["env", "QT_QPA_PLATFORM=offscreen"] + cmd
    code, out = run(env_cmd)
    if code == 0:
        return None, None
    name, how = first_failure(out)
    if not name:
        return "ctest exit %d: %s" % (code, out.strip().splitlines()[-1] if out.strip() else ""), "error"
    return name, how


def program_sources():
    """{program: [test source paths]} from every tests/**/CMakeLists.txt."""
    out = {}
    for folder, _, files in os.walk(os.path.join(ROOT, "tests")):
        if "CMakeLists.txt" not in files:
            continue
        with open(os.path.join(folder, "CMakeLists.txt"), encoding="utf-8") as f:
            text = f.read()
        for m in re.finditer(PROGRAM + r"([^)]*)\)", text):
            if m.group(1) == m.group(1).upper():
                continue
            out[m.group(1)] = [os.path.normpath(os.path.join(folder, w))
                               for w in m.group(2).split() if w.endswith(".cpp")]
    return out


def programs_starting_binaries():
    """Test programs that start the built programs or load their modules:
    a change of anything in bin/ can show only there or in relinked tests."""
    found = []
    for program, sources in program_sources().items():
        for path in sources:
            try:
                text = open(path, encoding="utf-8").read()
            except OSError:
                continue
            if any(w in text for w in ("BinDir()", "KALVEX_BIN_DIR", "bin/Kalvex", "bin/Dravel")):
                found.append(program)
                break
    return found


def built_files(build):
    """Modification times of the test programs and of everything in bin/."""
    times = {}
    for sub in ("tests", "bin"):
        top = os.path.join(build, sub)
        for folder, _, files in os.walk(top):
            for name in files:
                path = os.path.join(folder, name)
                try:
                    times[os.path.relpath(path, build)] = os.stat(path).st_mtime_ns
                except OSError:
                    pass
    return times


_reach_targets = []


def reach_targets(build):
    """Everything the last round may run: the plain test programs and the
    programs and modules of bin/, but not the sanitizer and fuzz programs
    (they compile the product's sources again with their own flags, which
    costs minutes, and run only for the folder they cover) nor benches."""
    if not _reach_targets:
        code, out = run(["cmake", "--build", build, "--target", "help"])
        skip = {"package", "package_source", "test", "edit_cache", "rebuild_cache", "list_install_components",
                "install", "build.ninja", "clean", "help", "all"}
        for line in out.splitlines():
            name = line.split(":")[0].strip()
            if (not name or "/" in name or " " in name or name in skip or "_autogen" in name
                    or name.startswith("lib") or name.startswith("kalvex_") or name.endswith("_bench")
                    or sanitizer(name)):
                continue
            _reach_targets.append(name)
    return list(_reach_targets)


def sanitizer(program):
    """Programs that compile the product's sources with their own flags
    (sanitizers, fuzzing): slow, and run only for the folder they cover."""
    return (program.endswith("_asan_tests") or program.endswith("_tsan_tests")
            or program.startswith("tsan_") or program.startswith("fuzz_"))


def ctest_regex(name):
    """An exact-match regex for one CTest entry name (CMake's regex syntax)."""
    # A parameter printed as raw bytes ("40-byte object <70-01 ...>") may
    # carry an address that differs from build to build: match up to it.
    name, raw, _ = name.partition("-byte object <")
    if raw:
        name = name.rstrip("0123456789")
    return "^" + re.sub(r"([][.*+?^$()|\\{}])", r"\\\1", name) + ("" if raw else "$")


def try_killer(killer, build, timeout_each):
    """Builds the program of a remembered test case and runs that case alone."""
    program = killer.split(":", 1)[0]
    # A script test (tree_tests) also reads the programs of bin/: the whole
    # reach is built first, else it would judge the build of the fault before.
    targets = [program] if program in set(all_programs()) else reach_targets(build)
    code, out = run(["cmake", "--build", build, "--target"] + targets)
    if code != 0:
        return "stillborn", out[-2000:]
    name, how = ctest(build, ["-R", ctest_regex(killer)], timeout_each)
    if name and how == "assertion":
        return "killed", name
    return None, None


def try_fault(fault, build, timeout_each, killer=None):
    """Builds and runs, in rounds, until a test fails: the plain test programs
    of the folder that mirrors the changed file (or those the fault names),
    then that folder's sanitizer programs, then every other program that the
    change could reach: those relinked by the build, and those that start
    the built programs when anything in bin/ changed."""
    first = fault.get("tests", "").split() or programs_for(fault["file"])
    before = built_files(build)
    if killer:
        outcome, detail = try_killer(killer, build, timeout_each)
        if outcome:
            return outcome, detail
    done = []
    for programs in ([p for p in first if not sanitizer(p)], [p for p in first if sanitizer(p)]):
        if not programs:
            continue
        # Script tests (tree_tests, layer_tests) are not built themselves, but
        # tree_tests reads the programs of bin/ too: with one in the round, the
        # whole reach is built first.
        targets = [p for p in programs if p in set(all_programs())]
        if len(targets) < len(programs):
            targets = sorted(set(targets) | set(reach_targets(build)))
        code, out = run(["cmake", "--build", build, "--target"] + targets) if targets else (0, "")
        if code != 0:
            return "stillborn", out[-2000:]
        name, how = ctest(build, ["-L", "^(%s)$" % "|".join(programs), "-j", "2"], timeout_each)
        if name:
            return ("killed" if how == "assertion" else how), name
        done += programs
    code, out = run(["cmake", "--build", build, "--target"] + reach_targets(build))
    if code != 0:
        return "stillborn", out[-2000:]
    after = built_files(build)
    changed = {path for path, t in after.items() if before.get(path) != t}
    reach = [p for p in all_programs() if os.path.join("tests", p) in changed]
    if any(path.startswith("bin" + os.sep) for path in changed):
        reach += programs_starting_binaries()
    # The sanitizer programs compile only the readers of their own folder;
    # they ran above when those changed.
    rest = sorted({p for p in reach if p not in done and not (sanitizer(p) and p not in first)})
    if rest:
        name, how = ctest(build, ["-L", "^(%s)$" % "|".join(rest), "-j", "2"], timeout_each)
        if name:
            return ("killed" if how == "assertion" else how), name
    return "survived", ""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--sample", type=int, default=0, help="try N faults picked at random")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--only", default="", help="only faults whose file or text contains this")
    ap.add_argument("--faults", default="", help="only the faults of these lists, separated by commas (e.g. faults_tracks.txt)")
    ap.add_argument("--equivalent", action="store_true",
                    help="also run the faults marked equivalent, to check that no test kills them "
                         "(each costs a whole round of the suite; left out by default)")
    ap.add_argument("--list", action="store_true", help="check and list the faults, run nothing")
    ap.add_argument("--start", type=int, default=1, help="resume a run at the Kth fault of the list")
    ap.add_argument("--timeout", type=int, default=300, help="seconds one test case may take")
    opts = ap.parse_args()
    build = os.path.abspath(opts.build)

    faults = read_faults()
    bad = []
    for fault in faults:
        path = os.path.join(ROOT, fault["file"])
        text = open(path, encoding="utf-8").read() if os.path.exists(path) else None
        count = text.count(fault["find"]) if text is not None else -1
        if count != 1:
            bad.append("%s: %s: the text occurs %s times" % (fault["where"], fault["file"],
                                                              "no file," if count < 0 else count))
    if bad:
        print("\n".join(bad))
        sys.exit("fix the fault list first")
    if opts.only:
        faults = [f for f in faults if opts.only in f["file"] or opts.only in f["find"]]
    if opts.faults:
        lists = {os.path.basename(name) for name in opts.faults.split(",")}
        faults = [f for f in faults if f["where"].split(":")[0] in lists]
    if opts.sample and opts.sample < len(faults):
        faults = random.Random(opts.seed).sample(faults, opts.sample)
    first = max(opts.start, 1)
    total = len(faults)
    faults = faults[first - 1:]
    if opts.list:
        for f in faults:
            print("%-28s %-40s %s" % (f["where"], f["file"], f["why"]))
        print("%d faults" % len(faults))
        return 0

    if not os.path.exists(os.path.join(build, "build.ninja")) and not os.path.exists(os.path.join(build, "Makefile")):
        sys.exit("no configured build in %s (run make build first)" % build)
    code, out = run(["cmake", "--build", build])
    if code != 0:
        sys.exit("the unchanged tree does not build:\n" + out[-3000:])

    current = {"path": None, "text": None}

    def restore():
        if current["path"]:
            with open(current["path"], "w", encoding="utf-8") as f:
                f.write(current["text"])
            current["path"] = None

    def on_signal(signum, frame):
        restore()
        sys.exit(130)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    killers = read_killers()
    results = []
    started = time.time()
    try:
        for i, fault in enumerate(faults, first):
            if "equivalent" in fault and not opts.equivalent:
                # Marked as unable to change behaviour: no test can kill it, and
                # confirming that costs a whole round of the suite.
                results.append((fault, "equivalent", ""))
                print("[%d/%d] %-10s %s  (%s; not run: %s)" % (i, total, "equivalent", fault["why"], fault["where"],
                                                               fault["equivalent"]), flush=True)
                continue
            path = os.path.join(ROOT, fault["file"])
            text = open(path, encoding="utf-8").read()
            current["path"], current["text"] = path, text
            with open(path, "w", encoding="utf-8") as f:
                f.write(text.replace(fault["find"], fault["replace"], 1))
            t0 = time.time()
            try:
                key = (fault["file"], fault["find"])
                outcome, detail = try_fault(fault, build, opts.timeout, killers.get(key))
            finally:
                restore()
            if outcome == "killed" and killers.get(key) != detail:
                killers[key] = detail
                write_killers(killers)
            if "equivalent" in fault and outcome != "stillborn":
                outcome = "equivalent" if outcome == "survived" else outcome
            results.append((fault, outcome, detail))
            shown = detail.splitlines()[-1] if outcome == "stillborn" and detail else detail
            print("[%d/%d] %-10s %s  (%s; %.0f s)%s" % (i, total, outcome, fault["why"], fault["where"],
                                                       time.time() - t0, "  by " + shown if shown else ""),
                  flush=True)
    finally:
        restore()
        run(["cmake", "--build", build])

    counts = {}
    for _, outcome, _ in results:
        counts[outcome] = counts.get(outcome, 0) + 1
    judged = counts.get("killed", 0) + counts.get("survived", 0) + counts.get("crash", 0) + counts.get("time-out", 0)
    score = 100.0 * counts.get("killed", 0) / judged if judged else 0.0
    print()
    for outcome in ("survived", "crash", "time-out", "stillborn"):
        for fault, o, detail in results:
            if o == outcome:
                print("%-10s %s: %s -> %s  (%s)" % (outcome, fault["file"], fault["find"].strip(),
                                                   fault["replace"].strip(), fault["why"]))
    print()
    print("killed %d, survived %d, crash %d, time-out %d, equivalent %d, stillborn %d" % (
        counts.get("killed", 0), counts.get("survived", 0), counts.get("crash", 0), counts.get("time-out", 0),
        counts.get("equivalent", 0), counts.get("stillborn", 0)))
    print("score: %.1f %% of %d faults that are not equivalent (killed by an assertion)" % (score, judged))
    print("time: %.0f s" % (time.time() - started))
    return 0 if counts.get("stillborn", 0) == 0 else 1


if __name__ == "__main__":
    sys.exit(main())

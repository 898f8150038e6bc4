// Options of the sanitizer runs, built into their test programs so every way
// of starting them (CTest, by hand, a debugger) checks the same: leaks are
// reported, freed memory stays poisoned long enough to catch late reads, and
// an undefined-behaviour report comes with its stack.
extern "C" const char* __asan_default_options() { return "detect_leaks=1:quarantine_size_mb=16"; }
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }

// Options of the ThreadSanitizer programs, built in so every way of starting
// them (CTest, by hand, a debugger) checks the same: the first report ends
// the program with a failure, lock-order reports show both stacks, and the
// suppressions file (third-party stacks only) is read.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:exitcode=66:second_deadlock_stack=1:history_size=4:suppressions=" KALVEX_TSAN_SUPPRESSIONS;
}

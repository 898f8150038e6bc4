#pragma once
#include <string>

namespace kalvex {

// Installs handlers for the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) on an alternate stack, in place of an unhandled-exception filter.
// On a fatal signal the handler formats "CRASH_%X_%X" (signal number, fault
// address) into a static buffer, starts `program argument CRASH_...` and
// ends the process. Only async-signal-safe calls are made in the handler.
void InstallCrashSignalHandler(const std::string& program, const std::string& argument);

// The text the handler passes on, for a given signal and address.
std::string CrashCodeText(int signal, unsigned long address);

}  // namespace kalvex

#pragma once
#include <string>

namespace kalvex {

// Installs handlers for the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) on an alternate stack, in place of an unhandled-exception filter.
// On a fatal signal the handler formats "CRASH_%X_%X" (signal number, fault
// address) into a static buffer, starts `program argument CRASH_...` and
// ends the process. Only async-signal-safe calls are made in the handler.
void InstallCrashSignalHandler(const std::string& program, const std::string& argument);

// Gives the calling thread an alternate signal stack of its own, so that a
// crash on it - a stack overflow above all, where no handler can run on the
// thread's own stack - still reaches the handler installed above. Every
// thread the program starts calls this first; the stack is taken down and
// freed when the thread ends. A second call on the same thread does nothing.
// (InstallCrashSignalHandler gives the thread that calls it a stack too.)
void InstallThreadCrashStack();

// The text the handler passes on, for a given signal and address.
std::string CrashCodeText(int signal, unsigned long address);

}  // namespace kalvex

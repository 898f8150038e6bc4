#pragma once
#include <string>

namespace kalvex {

// Names the calling thread, as profilers, debuggers and /proc show it
// (Linux keeps the first 15 bytes). The program's long-lived threads carry
// a name each, so that a profile by thread says which stage took the time.
// A name that cannot be set leaves the thread as it was: it is only a label.
void NameThisThread(const char* name);

// The calling thread's name, as the system holds it; empty when it cannot
// be read.
std::string ThisThreadName();

}  // namespace kalvex

#pragma once
#include <string>

namespace kalvex {

// A shared library opened by name at run time, for a library only some of
// the program's work needs: it is loaded when that work first comes, not at
// every start. Opened libraries stay loaded until the process ends (their
// code and data may be in use anywhere). Null when it cannot be opened,
// with *error holding the system's words.
void* OpenSharedLibrary(const std::string& name, std::string* error);

// The address of a symbol of such a library; null when it has none, with
// *error naming the symbol and holding the system's words.
void* LibrarySymbol(void* library, const char* name, std::string* error);

}  // namespace kalvex

#include "platform/system/SharedLibrary.h"

#include <dlfcn.h>

namespace kalvex {

void* OpenSharedLibrary(const std::string& name, std::string* error) {
    // RTLD_LOCAL: its symbols serve only the calls looked up in it.
    void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        if (error) *error = "loading " + name + " failed: " + (why ? why : "unknown error");
    }
    return library;
}

void* LibrarySymbol(void* library, const char* name, std::string* error) {
    if (!library) {
        if (error) *error = std::string("no library to find ") + name + " in";
        return nullptr;
    }
    dlerror();  // clear an earlier error, so that the one below is this call's
    void* symbol = dlsym(library, name);
    if (!symbol) {
        const char* why = dlerror();
        if (error) *error = std::string("the library has no ") + name + ": " + (why ? why : "null symbol");
    }
    return symbol;
}

}  // namespace kalvex

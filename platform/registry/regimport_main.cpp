// kalvex-regedit: merges registry export files into the program's registry
// store, the way "regedit.exe /s file" merges them into the system registry.
// Usage: kalvex-regedit [/s] FILE...   (/s: silent, print nothing)
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry/RegistryStore.h"

int main(int argc, char** argv) {
    bool silent = false;
    int files = 0, failures = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "/s") == 0 || std::strcmp(argv[i], "-s") == 0) {
            silent = true;
            continue;
        }
        ++files;
        std::string error;
        if (!kalvex::ImportRegFile(argv[i], &error)) {
            ++failures;
            if (!silent) std::fprintf(stderr, "%s\n", error.c_str());
        }
    }
    if (files == 0) {
        if (!silent) std::fprintf(stderr, "usage: kalvex-regedit [/s] FILE...\n");
        return 2;
    }
    return failures ? 1 : 0;
}

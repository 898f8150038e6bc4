#pragma once
// Whether a library whose file name begins with `prefix` ("libavfilter.so")
// is loaded in this process, whichever way it came (linked, preloaded or
// opened at run time).
#include <cstring>
#include <link.h>
#include <string>

namespace kalvex::test {

inline bool LibraryLoaded(const std::string& prefix) {
    struct Search {
        const std::string* prefix;
        bool found;
    } search{&prefix, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            const char* path = info->dlpi_name ? info->dlpi_name : "";
            const char* slash = std::strrchr(path, '/');
            const char* file = slash ? slash + 1 : path;
            if (std::strncmp(file, s->prefix->c_str(), s->prefix->size()) == 0) s->found = true;
            return s->found ? 1 : 0;
        },
        &search);
    return search.found;
}

}  // namespace kalvex::test

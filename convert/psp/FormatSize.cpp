#include "convert/psp/FormatSize.h"

#include <cinttypes>
#include <cstdio>

namespace kalvex {

std::string FormatSize(int64_t n) {
    char text[64];
    if (n > 1073741824)
        std::snprintf(text, sizeof text, "%.2fG", static_cast<double>(n) / 1073741824);
    else if (n > 1048576)
        std::snprintf(text, sizeof text, "%.2fM", static_cast<double>(n) / 1048576);
    else if (n > 1024)
        std::snprintf(text, sizeof text, "%.2fK", static_cast<double>(n) / 1024);
    else
        std::snprintf(text, sizeof text, "%" PRId64 "B", n);
    return text;
}

}  // namespace kalvex

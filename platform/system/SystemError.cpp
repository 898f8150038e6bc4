#include "platform/system/SystemError.h"

#include <cerrno>
#include <cstring>

namespace kalvex {

int GetLastError() { return errno; }
void SetLastError(int code) { errno = code; }

std::string SystemErrorText(int code) {
    if (code == 0) return "The operation completed successfully.\n";
    char buf[256];
    // GNU strerror_r returns the text, which may not be buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return std::string(text ? text : "") + ".\n";
}

}  // namespace kalvex

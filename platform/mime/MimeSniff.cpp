#include "platform/mime/MimeSniff.h"

#include <magic.h>

namespace kalvex {
namespace {

// A libmagic cookie may not be shared between threads: one per thread,
// loaded on first use and closed when the thread ends.
struct Cookie {
    magic_t cookie = nullptr;
    bool tried = false;
    ~Cookie() {
        if (cookie) magic_close(cookie);
    }
    magic_t Get() {
        if (!tried) {
            tried = true;
            cookie = magic_open(MAGIC_MIME_TYPE | MAGIC_ERROR);
            if (cookie && magic_load(cookie, nullptr) != 0) {
                magic_close(cookie);
                cookie = nullptr;
            }
        }
        return cookie;
    }
};

}  // namespace

bool FindMimeFromData(const void* data, size_t size, std::string* mimeType) {
    if (!data || size == 0 || !mimeType) return false;
    thread_local Cookie cookie;
    magic_t m = cookie.Get();
    if (!m) return false;
    const char* type = magic_buffer(m, data, size);
    if (!type || !*type) return false;
    *mimeType = type;
    return true;
}

}  // namespace kalvex

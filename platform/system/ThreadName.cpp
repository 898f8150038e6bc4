#include "platform/system/ThreadName.h"

#include <cstring>
#include <pthread.h>

namespace kalvex {

namespace {
constexpr size_t kNameBytes = 16;  // the kernel's limit, with the ending zero
}

void NameThisThread(const char* name) {
    if (!name) return;
    char cut[kNameBytes] = {};
    std::strncpy(cut, name, kNameBytes - 1);
    pthread_setname_np(pthread_self(), cut);
}

std::string ThisThreadName() {
    char name[kNameBytes] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return {};
    return name;
}

}  // namespace kalvex

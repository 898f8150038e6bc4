#include "subtitles/SubStream.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace kalvex {

namespace {
std::mutex g_allocMutex;
std::function<void*(std::size_t)> g_allocHook;
}  // namespace

void* CoTaskMemAlloc(std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(g_allocMutex);
        if (g_allocHook) return g_allocHook(size);
    }
    return std::malloc(size ? size : 1);
}

void CoTaskMemFree(void* p) { std::free(p); }

void SetTaskMemAllocHook(std::function<void*(std::size_t)> hook) {
    std::lock_guard<std::mutex> lock(g_allocMutex);
    g_allocHook = std::move(hook);
}

WCHAR* CoTaskMemDupString(const char16_t* text, std::size_t length) {
    auto* buffer = static_cast<WCHAR*>(CoTaskMemAlloc((length + 1) * sizeof(WCHAR)));
    if (!buffer) return nullptr;
    if (length) std::memcpy(buffer, text, length * sizeof(WCHAR));
    buffer[length] = 0;
    return buffer;
}

}  // namespace kalvex

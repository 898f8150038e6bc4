#include "platform/system/TempFiles.h"

#include <cstdio>
#include <mutex>

namespace kalvex {
namespace {
std::mutex g_mutex;
std::vector<std::string>& List() {
    static std::vector<std::string> list;
    return list;
}
}  // namespace

void RegisterTempFile(const std::string& path) {
    std::lock_guard lock(g_mutex);
    List().push_back(path);
}

void DeleteTempFiles() {
    std::lock_guard lock(g_mutex);
    for (const auto& p : List()) std::remove(p.c_str());
    List().clear();
}

std::vector<std::string> RegisteredTempFiles() {
    std::lock_guard lock(g_mutex);
    return List();
}

}  // namespace kalvex

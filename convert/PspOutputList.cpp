#include "convert/PspOutputList.h"

#include <unistd.h>

#include <mutex>

namespace kalvex {

namespace {
std::mutex g_mutex;
std::vector<std::string>& Outputs() {
    static std::vector<std::string> list;
    return list;
}
}  // namespace

void AddOutput(const std::string& path) {
    std::lock_guard lock(g_mutex);
    Outputs().push_back(path);
}

void ClearOutputs() {
    std::lock_guard lock(g_mutex);
    Outputs().clear();
}

void DeleteOutputs() {
    for (const std::string& path : PspOutputList()) ::unlink(path.c_str());
}

std::vector<std::string> PspOutputList() {
    std::lock_guard lock(g_mutex);
    return Outputs();
}

}  // namespace kalvex

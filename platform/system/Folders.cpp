#include "platform/system/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace kalvex {
namespace {

std::string WithSlash(std::string p) {
    if (p.empty() || p.back() != '/') p += '/';
    return p;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string();
}

}  // namespace

std::string AppFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    buf[n] = 0;
    std::string p(buf);
    return p.substr(0, p.rfind('/') + 1);
}

std::string CompanionFolder(const std::string& companion, const std::string& programFolder) {
    const std::string folder = WithSlash(programFolder);
    std::error_code ec;
    if (std::filesystem::exists(folder + companion, ec)) return folder;
    // "/usr/bin/" -> "/usr/lib/kalvex/": the installed layout, named without
    // ".." so the path in a log reads plainly.
    const std::filesystem::path bin = std::filesystem::path(folder).parent_path();
    if (bin.filename().empty() || bin.filename() == "." || bin.filename() == ".." || !bin.has_parent_path())
        return folder + "../lib/kalvex/";  // no plain folder name to step over
    return WithSlash(bin.parent_path().string()) + "lib/kalvex/";
}

std::string HomeFolder() {
    std::string home = Env("HOME");
    if (home.empty()) {
        if (passwd* pw = getpwuid(getuid())) home = pw->pw_dir ? pw->pw_dir : "";
    }
    if (home.empty()) home = "/tmp";
    return WithSlash(home);
}

std::string AppDataFolder() {
    std::string base = Env("XDG_DATA_HOME");
    if (base.empty()) base = HomeFolder() + ".local/share";
    std::string folder = WithSlash(base) + "Kalvex/";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);  // failure shows up at first use
    return folder;
}

std::string TempFolder() {
    std::string t = Env("TMPDIR");
    if (t.empty()) t = "/tmp";
    return WithSlash(t);
}

std::string RuntimeFolder() {
    std::string r = Env("XDG_RUNTIME_DIR");
    if (!r.empty()) {
        struct stat st {};
        if (stat(r.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return WithSlash(r);
    }
    // A shared temporary folder: keep one name per user.
    std::string folder = TempFolder() + "kalvex-" + std::to_string(getuid()) + "/";
    mkdir(folder.c_str(), 0700);
    return folder;
}

}  // namespace kalvex

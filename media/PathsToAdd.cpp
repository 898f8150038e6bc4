#include "media/PathsToAdd.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kalvex {

const std::vector<std::string>& VideoFileExtensions() {
    static const std::vector<std::string> extensions = {
        "avi", "divx", "mpg",  "mpeg", "ts",  "m2ts", "m2t", "mts", "mkv", "mka", "mp4", "hdmov", "3gp",
        "3g2", "3gpp", "3gp2", "ogm",  "ogv", "flv",  "wmv", "asf", "qt",  "mov", "rm",  "ram",   "rmvb"};
    return extensions;
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string LowerAscii(std::string s) {
    for (char& c : s) c = Lower(c);
    return s;
}

// Name order: letters without case first, so "b.avi" comes before
// "C.avi"; names equal but for case then by their bytes, so the order
// never depends on how the folder happens to list them.
bool NameBefore(const std::string& a, const std::string& b) {
    const std::string la = LowerAscii(a), lb = LowerAscii(b);
    if (la != lb) return la < lb;
    return a < b;
}

std::string ErrorText(int code) { return std::strerror(code); }

}  // namespace

bool IsVideoFileName(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size()) return false;
    const std::string ext = LowerAscii(name.substr(dot + 1));
    const auto& all = VideoFileExtensions();
    return std::find(all.begin(), all.end(), ext) != all.end();
}

std::string AbsolutePath(const std::string& path, const std::string& folder) {
    const std::string joined = !path.empty() && path[0] == '/' ? path : folder + "/" + path;
    std::string out;
    out.reserve(joined.size());
    size_t i = 0;
    while (i < joined.size()) {
        size_t next = joined.find('/', i);
        if (next == std::string::npos) next = joined.size();
        const std::string segment = joined.substr(i, next - i);
        if (!segment.empty() && segment != ".") out += "/" + segment;
        i = next + 1;
    }
    if (out.empty()) return "/";
    // A path naming a folder keeps saying so.
    if (!path.empty() && path.back() == '/') out += '/';
    return out;
}

PathsToAdd ExpandPathsToAdd(const std::vector<std::string>& paths) {
    PathsToAdd result;
    for (const std::string& path : paths) {
        struct stat st {};
        // Links are followed: a link to a video or a folder stands for it.
        if (::stat(path.c_str(), &st) != 0) {
            result.skipped.push_back({path, ErrorText(errno)});
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            result.files.push_back(path);
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            result.skipped.push_back({path, "not a file or a folder"});
            continue;
        }
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            result.skipped.push_back({path, "the folder cannot be read: " + ErrorText(errno)});
            continue;
        }
        const std::string prefix = path.back() == '/' ? path : path + "/";
        std::vector<std::string> names;
        int readError = 0;
        for (;;) {
            errno = 0;  // readdir tells its end from a failure only by errno
            const dirent* d = ::readdir(dir);
            if (!d) {
                readError = errno;
                break;
            }
            const std::string name = d->d_name;
            if (name.empty() || name[0] == '.' || !IsVideoFileName(name)) continue;
            struct stat entry {};
            if (::stat((prefix + name).c_str(), &entry) == 0 && S_ISREG(entry.st_mode)) names.push_back(name);
        }
        ::closedir(dir);
        if (readError != 0) {
            // What was read is still added; the rest is reported.
            result.skipped.push_back({path, "the folder could not be read to its end: " + ErrorText(readError)});
        }
        std::sort(names.begin(), names.end(), NameBefore);
        for (const std::string& name : names) result.files.push_back(prefix + name);
    }
    return result;
}

}  // namespace kalvex

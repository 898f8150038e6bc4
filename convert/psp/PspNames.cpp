#include "convert/psp/PspNames.h"

#include <dirent.h>

#include <cctype>
#include <cstdio>
#include <memory>

namespace kalvex {

std::string ThumbnailPath(const std::string& video) {
    const size_t slash = video.rfind('/');
    const size_t dot = video.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? video.substr(0, dot) : video) + ".THM";
}

std::string OldPspFolder(PspCodec codec) {
    return codec == PspCodec::Avc ? "MP_ROOT/100ANV01/" : "MP_ROOT/100MNV01/";
}

std::string OldPspPrefix(PspCodec codec) { return codec == PspCodec::Avc ? "MAQ" : "M4V"; }

int HighestOldPspNumber(const std::vector<std::string>& names, const std::string& prefix) {
    int highest = 0;
    for (const std::string& name : names) {
        const size_t n = prefix.size();
        if (name.size() < n + 6 || name[n + 5] != '.') continue;
        bool match = true;
        for (size_t i = 0; i < n && match; ++i)
            match = std::toupper(static_cast<unsigned char>(name[i])) == std::toupper(static_cast<unsigned char>(prefix[i]));
        int number = 0;
        for (size_t i = n; i < n + 5 && match; ++i) {
            match = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
            number = number * 10 + (name[i] - '0');
        }
        if (match && number > highest) highest = number;
    }
    return highest;
}

std::string OldPspFileName(const std::string& prefix, int number, const std::string& ext) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05d", number);
    std::string name = prefix + digits + "." + ext;
    for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::vector<std::string> FolderFileNames(const std::string& folder) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return names;
}

}  // namespace kalvex

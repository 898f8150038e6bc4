#include "media/AtomicFile.h"

#include <unistd.h>

#include <cstdio>

namespace kalvex {

bool ReplaceFileKeepingBackup(const std::string& path, const std::string& backupPath,
                              const std::function<bool(std::FILE*)>& write,
                              const std::function<bool(const std::string&)>& isWhole) {
    const std::string temp = path + ".new";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return false;
    bool ok = write(f);
    ok = std::fflush(f) == 0 && ok;
    ok = fsync(fileno(f)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::remove(temp.c_str());
        return false;
    }
    // The file being replaced becomes the backup when it was whole: a hard
    // link renamed over the old backup, so there is always a complete
    // backup and a complete file.
    if (isWhole && isWhole(path)) {
        const std::string link = backupPath + ".new";
        std::remove(link.c_str());
        if (::link(path.c_str(), link.c_str()) == 0 && std::rename(link.c_str(), backupPath.c_str()) != 0)
            std::remove(link.c_str());
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace kalvex

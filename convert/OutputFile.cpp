#include "convert/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QString>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/ProgramLog.h"

namespace kalvex {

namespace {

std::atomic<unsigned> g_tempSequence{0};

const char kTempPrefix[] = ".kalvex-";
const char kTempSuffix[] = ".mp4.part";

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// The absolute, resolved form of a path that may not exist yet: the longest
// existing prefix is resolved, the rest is appended as it stands.
std::string Resolved(const std::string& path) {
    std::string abs = path;
    if (abs.empty() || abs[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd)) abs = std::string(cwd) + "/" + abs;
    }
    std::string head = abs, tail;
    while (!head.empty()) {
        char buf[PATH_MAX];
        if (::realpath(head.c_str(), buf))
            return QDir::cleanPath(QString::fromLocal8Bit(buf) + QString::fromLocal8Bit(tail.c_str())).toLocal8Bit().toStdString();
        const size_t slash = head.rfind('/');
        if (slash == std::string::npos) break;
        tail = head.substr(slash) + tail;
        head = head.substr(0, slash);
    }
    return QDir::cleanPath(QString::fromLocal8Bit(abs.c_str())).toLocal8Bit().toStdString();
}

std::string Errno(int e) { return std::strerror(e); }

}  // namespace

std::string OutputPath(const std::string& folder, const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    const std::string title = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    return folder + title + ".mp4";
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return Resolved(a) == Resolved(b);
}

std::string OutputPathAvoiding(const std::string& folder, const std::string& fileName,
                               const std::vector<std::string>& sources, bool* renamed) {
    auto isSource = [&](const std::string& p) {
        for (const auto& s : sources)
            if (SameFile(p, s)) return true;
        return false;
    };
    std::string path = OutputPath(folder, fileName);
    if (renamed) *renamed = false;
    if (!isSource(path)) return path;
    const size_t dot = fileName.rfind('.');
    const std::string title = dot == std::string::npos ? fileName : fileName.substr(0, dot);
    for (int n = 1;; ++n) {
        const std::string candidate = folder + title + "_psp" + (n == 1 ? std::string() : std::to_string(n)) + ".mp4";
        if (!isSource(candidate)) {
            if (renamed) *renamed = true;
            return candidate;
        }
    }
}

bool IsTempOutputName(const std::string& name) {
    const size_t pre = sizeof kTempPrefix - 1, suf = sizeof kTempSuffix - 1;
    if (name.size() <= pre + suf || name.compare(0, pre, kTempPrefix) != 0 ||
        name.compare(name.size() - suf, suf, kTempSuffix) != 0)
        return false;
    // "<pid>-<n>" between the two.
    const std::string middle = name.substr(pre, name.size() - pre - suf);
    const size_t dash = middle.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= middle.size()) return false;
    for (size_t i = 0; i < middle.size(); ++i)
        if (i != dash && !(middle[i] >= '0' && middle[i] <= '9')) return false;
    return true;
}

TempOutput::~TempOutput() { Discard(); }

bool TempOutput::Create(const std::string& finalPath, std::string* reason) {
    Discard();
    finalPath_ = finalPath;
    const std::string folder = FolderOf(finalPath);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = folder + kTempPrefix + std::to_string(::getpid()) + "-" +
                                 std::to_string(g_tempSequence.fetch_add(1)) + kTempSuffix;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            if (reason) *reason = "Could not create a file in " + folder + ": " + Errno(errno);
            return false;
        }
        // Held for as long as the file is written: a run that finds the
        // file unlocked takes it for a leftover of a killed run.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        // A cleaner may have removed the file between its creation and the
        // lock; then start again with a new name.
        struct stat byFd {}, byPath {};
        if (::fstat(fd, &byFd) != 0 || ::stat(path.c_str(), &byPath) != 0 || byFd.st_ino != byPath.st_ino ||
            byFd.st_dev != byPath.st_dev) {
            ::close(fd);
            continue;
        }
        fd_ = fd;
        tempPath_ = path;
        return true;
    }
    if (reason) *reason = "Could not create a temporary file in " + folder;
    return false;
}

bool TempOutput::Commit(std::string* reason) {
    if (fd_ < 0) {
        if (reason) *reason = "No output was written";
        return false;
    }
    if (::fsync(fd_) != 0) {
        const int e = errno;
        LogLine("Flushing '%s' failed: %s", tempPath_.c_str(), Errno(e).c_str());
        if (reason) *reason = "Could not write " + finalPath_ + ": " + Errno(e);
        Discard();
        return false;
    }
    if (::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
        const int e = errno;
        LogLine("Renaming '%s' to '%s' failed: %s", tempPath_.c_str(), finalPath_.c_str(), Errno(e).c_str());
        if (reason) *reason = "Could not write " + finalPath_ + ": " + Errno(e);
        Discard();
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(FolderOf(finalPath_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    ::close(fd_);
    fd_ = -1;
    tempPath_.clear();
    return true;
}

void TempOutput::Discard() {
    if (fd_ < 0) return;
    ::unlink(tempPath_.c_str());
    ::close(fd_);
    fd_ = -1;
    tempPath_.clear();
}

int RemoveStaleTempOutputs(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return 0;
    int removed = 0;
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (!IsTempOutputName(name)) continue;
        const std::string path = base + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat st {};
        // Only regular files, and only those no running conversion holds.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            if (::unlink(path.c_str()) == 0) {
                LogLine("Removed the leftover of an interrupted conversion: %s", path.c_str());
                ++removed;
            }
        }
        ::close(fd);
    }
    ::closedir(d);
    return removed;
}

}  // namespace kalvex

#include "platform/storage/Storage.h"

#include <QFile>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/system/SystemError.h"

namespace kalvex::storage {

namespace fs = std::filesystem;

namespace {

std::mutex g_hookMutex;
std::function<bool(const std::string&, int64_t&)> g_freeSpaceHook;
std::function<void(const std::string&)> g_flushHook;
std::function<bool(const std::string&)> g_trashHook;
std::function<void(const std::string&, int64_t, int64_t)> g_chunkHook;

std::string EnvOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// A small sysfs attribute: the whole text without its final line end.
bool ReadAttribute(const fs::path& path, std::string& text, size_t limit = 4096) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text.assign(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return true;
}

bool ParseDeviceNumber(const std::string& text, DeviceNumber& number) {
    unsigned major = 0, minor = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &major, &minor, &tail) != 2) return false;
    number = {major, minor};
    return true;
}

// Name order with digit runs compared as numbers (nvme0n2 before nvme0n10).
bool NameLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        size_t ei = i, ej = j;
        while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])) == da) ++ei;
        while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])) == db) ++ej;
        std::string ra = a.substr(i, ei - i), rb = b.substr(j, ej - j);
        if (da && db) {
            ra.erase(0, std::min(ra.find_first_not_of('0'), ra.size()));
            rb.erase(0, std::min(rb.find_first_not_of('0'), rb.size()));
        }
        if (da != db) return da;  // digits before letters
        if (da && ra.size() != rb.size()) return ra.size() < rb.size();
        if (ra != rb) return ra < rb;
        i = ei;
        j = ej;
    }
    return a.size() - i < b.size() - j;
}

// The serial number of a disk as the system shows it, "" when it has none.
std::string ReadSerial(const fs::path& diskPath) {
    std::string text;
    const fs::path device = diskPath / "device";
    if (ReadAttribute(device / "serial", text)) return text;
    // SCSI unit serial number page: 4 header bytes, then the length given
    // in bytes 2 and 3.
    if (ReadAttribute(device / "vpd_pg80", text) && text.size() > 4) {
        const size_t length = (static_cast<unsigned char>(text[2]) << 8) | static_cast<unsigned char>(text[3]);
        return text.substr(4, length);
    }
    // USB disks: the serial belongs to the USB device a few levels up.
    std::error_code ec;
    fs::path parent = fs::canonical(device, ec);
    if (ec) return {};
    // Only devices below <sysfs>/devices are looked at.
    const std::string top = fs::weakly_canonical(fs::path(SysfsRoot()) / "devices", ec).string() + "/";
    for (int level = 0; level < 8; ++level) {
        parent = parent.parent_path();
        if (ec || !(parent.string() + "/").starts_with(top) || parent.string().size() + 1 <= top.size()) break;
        if (ReadAttribute(parent / "serial", text)) return text;
    }
    return {};
}

std::string Unescape(const std::string& field) {
    // The mount table writes space, tab, line end and backslash as \ooo.
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string WithSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

}  // namespace

std::string SysfsRoot() { return EnvOr("KALVEX_SYSFS_ROOT", "/sys"); }
std::string MountInfoPath() { return EnvOr("KALVEX_MOUNTINFO", "/proc/self/mountinfo"); }

std::vector<BlockDisk> ListDisks() {
    std::vector<BlockDisk> disks;
    const fs::path block = fs::path(SysfsRoot()) / "block";
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(block, ec)) {
        const fs::path path = entry.path();
        if (!fs::exists(path / "device", ec)) continue;
        BlockDisk disk;
        disk.name = path.filename().string();
        disk.path = path.string();
        std::string text;
        if (ReadAttribute(path / "dev", text)) ParseDeviceNumber(text, disk.device);
        // Partitions are the sub folders with a "partition" entry.
        for (const fs::directory_entry& sub : fs::directory_iterator(path, ec)) {
            std::error_code subEc;
            if (!sub.is_directory(subEc) || !fs::exists(sub.path() / "partition", subEc)) continue;
            DeviceNumber number;
            if (ReadAttribute(sub.path() / "dev", text) && ParseDeviceNumber(text, number))
                disk.partitions.push_back(number);
        }
        disks.push_back(std::move(disk));
    }
    std::sort(disks.begin(), disks.end(),
              [](const BlockDisk& a, const BlockDisk& b) { return NameLess(a.name, b.name); });
    return disks;
}

bool QueryStorageDeviceProperty(int disk, void* buffer, size_t size) {
    if (disk < 0 || !buffer) {
        SetLastError(EINVAL);
        return false;
    }
    const std::vector<BlockDisk> disks = ListDisks();
    if (static_cast<size_t>(disk) >= disks.size()) {
        SetLastError(ENOENT);
        return false;
    }
    constexpr size_t kFixed = offsetof(StorageDeviceDescriptor, RawDeviceProperties);
    if (size < kFixed) {
        SetLastError(EINVAL);
        return false;
    }
    const fs::path path = disks[disk].path;
    const fs::path device = path / "device";
    std::string vendor, product, revision;
    ReadAttribute(device / "vendor", vendor, 1000);
    ReadAttribute(device / "model", product, 1000);
    if (!ReadAttribute(device / "rev", revision, 1000)) ReadAttribute(device / "firmware_rev", revision, 1000);
    std::string serial = ReadSerial(path).substr(0, 1000);
    for (size_t i = 0; i + 1 < serial.size(); i += 2) std::swap(serial[i], serial[i + 1]);
    std::string removable;
    ReadAttribute(path / "removable", removable);

    auto* bytes = static_cast<unsigned char*>(buffer);
    StorageDeviceDescriptor head{};
    head.Version = sizeof(StorageDeviceDescriptor);
    head.RemovableMedia = removable == "1";
    size_t used = kFixed;
    // Each string that fits goes after the fixed part; one that does not
    // fit is left out (offset 0), as a short buffer would.
    auto place = [&](const std::string& text, uint32_t& offset) {
        if (text.empty() || used + text.size() + 1 > size) return;
        offset = static_cast<uint32_t>(used);
        std::memcpy(bytes + used, text.c_str(), text.size() + 1);
        used += text.size() + 1;
    };
    place(vendor, head.VendorIdOffset);
    place(product, head.ProductIdOffset);
    place(revision, head.ProductRevisionOffset);
    place(serial, head.SerialNumberOffset);
    head.Size = static_cast<uint32_t>(used);
    std::memcpy(bytes, &head, kFixed);
    return true;
}

std::vector<MountEntry> ListMounts() {
    std::vector<MountEntry> mounts;
    std::ifstream in(MountInfoPath());
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, dev, root, point, options, field;
        if (!(fields >> id >> parent >> dev >> root >> point >> options)) continue;
        MountEntry entry;
        if (!ParseDeviceNumber(dev, entry.device)) continue;
        while (fields >> field && field != "-") {
        }
        fields >> entry.fsType;
        entry.root = Unescape(root);
        entry.mountPoint = WithSlash(Unescape(point));
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

std::vector<std::string> ListDriveRoots() {
    std::vector<std::string> roots;
    for (const MountEntry& m : ListMounts()) {
        if (m.root != "/") continue;
        if (std::find(roots.begin(), roots.end(), m.mountPoint) == roots.end()) roots.push_back(m.mountPoint);
    }
    return roots;
}

int VolumeDiskNumber(const std::string& root) {
    const std::string wanted = WithSlash(root);
    const MountEntry* found = nullptr;
    const std::vector<MountEntry> mounts = ListMounts();
    for (const MountEntry& m : mounts)
        if (m.mountPoint == wanted) found = &m;
    if (!found) return -1;
    const std::vector<BlockDisk> disks = ListDisks();
    for (size_t i = 0; i < disks.size(); ++i) {
        const BlockDisk& d = disks[i];
        if (d.device == found->device ||
            std::find(d.partitions.begin(), d.partitions.end(), found->device) != d.partitions.end())
            return static_cast<int>(i);
    }
    return -1;
}

bool GetDiskFreeBytes(const std::string& path, int64_t& freeBytes) {
    std::function<bool(const std::string&, int64_t&)> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_freeSpaceHook;
    }
    if (hook) return hook(path, freeBytes);
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0) {
        SetLastError(errno);
        return false;
    }
    freeBytes = static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
    return true;
}

bool GetDiskFreeBytesNearest(const std::string& path, int64_t& freeBytes) {
    std::string p = path.empty() ? "." : path;
    while (p != "/" && p != "." && ::access(p.c_str(), F_OK) != 0) {
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        size_t cut = p.rfind('/');
        p = cut == std::string::npos ? "." : p.substr(0, cut + 1);
    }
    return GetDiskFreeBytes(p, freeBytes);
}

void SetDiskFreeSpaceHook(std::function<bool(const std::string&, int64_t&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_freeSpaceHook = std::move(hook);
}

void SetCopyFlushHook(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_flushHook = std::move(hook);
}

bool CopyFileWithProgress(const std::string& source, const std::string& target, const CopyProgress& progress,
                          const std::atomic<int>* cancel, size_t chunkSize) {
    if (chunkSize == 0) chunkSize = 1 << 20;
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        SetLastError(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int code = errno ? errno : EINVAL;
        ::close(in);
        SetLastError(S_ISDIR(info.st_mode) ? EISDIR : code);
        return false;
    }
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const int code = errno;
        ::close(in);
        SetLastError(code);
        return false;
    }
    const int64_t total = info.st_size;
    std::vector<char> chunk(chunkSize);
    int64_t copied = 0;
    int error = 0;
    if (progress) progress(0, total);
    for (;;) {
        if (cancel && cancel->load()) {
            error = ECANCELED;
            break;
        }
        const ssize_t got = ::read(in, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (got == 0) break;
        for (ssize_t done = 0; done < got && !error;) {
            const ssize_t put = ::write(out, chunk.data() + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno != EINTR) error = errno;
                continue;
            }
            done += put;
        }
        if (error) break;
        copied += got;
        if (progress) progress(copied, total);
        std::function<void(const std::string&, int64_t, int64_t)> chunkHook;
        {
            std::lock_guard lock(g_hookMutex);
            chunkHook = g_chunkHook;
        }
        if (chunkHook) chunkHook(target, copied, total);
    }
    ::close(in);
    if (!error) {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard lock(g_hookMutex);
            hook = g_flushHook;
        }
        if (hook) hook(target);
        if (::fsync(out) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    }
    // The flush of the last block may take long on a slow device; a cancel
    // that came in meanwhile still cancels: the file does not count as
    // copied, and the caller must not treat the source as safe to delete.
    if (!error && cancel && cancel->load()) error = ECANCELED;
    if (::close(out) != 0 && !error) error = errno;
    if (!error) {
        // What the device now holds under the target's name must be the
        // whole file: as many bytes as were read, and as the source had.
        struct stat written {};
        if (::stat(target.c_str(), &written) != 0)
            error = errno;
        else if (written.st_size != copied || copied != total)
            error = EIO;
    }
    if (error) {
        ::unlink(target.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}

bool DeleteFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

void SetCopyChunkHook(std::function<void(const std::string&, int64_t, int64_t)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_chunkHook = std::move(hook);
}

void SetTrashHook(std::function<bool(const std::string&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_trashHook = std::move(hook);
}

bool MoveToTrash(const std::string& path) {
    {
        std::lock_guard lock(g_hookMutex);
        if (g_trashHook && !g_trashHook(path)) return false;
    }
    return QFile::moveToTrash(QString::fromLocal8Bit(path.c_str()));
}

}  // namespace kalvex::storage

#include "media/VideoFileList.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/ProgramLog.h"
#include "media/AtomicFile.h"
#include "platform/system/Folders.h"

namespace kalvex {

namespace {

template <size_t N>
void Terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

// A record from a damaged file may lack the NUL of a text field; every text
// field gets one in its last byte, which a record written by this program
// always has already.
void TerminateTextFields(VideoFileEntry& e) {
    Terminate(e.fileName);
    Terminate(e.fullPath);
    Terminate(e.mediaInfo.videoFormat);
    Terminate(e.mediaInfo.audioFormat);
    for (auto& path : e.subtitlePaths) Terminate(path);
    for (auto& file : e.streamNames)
        for (auto& name : file) Terminate(name);
    Terminate(e.infoText);
}

// The records of one load, in one mapping backed by large pages where the
// system offers them and made present at once: a long list then costs a few
// page-ins instead of one fault per 4 KB page. Freed when its last entry
// leaves the list.
class RecordBlock {
public:
    static constexpr size_t kLargePage = size_t(2) << 20;

    explicit RecordBlock(size_t records) : total_(records * sizeof(VideoFileEntry) + kLargePage) {
        void* p = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        raw_ = p;
        const uintptr_t aligned = (uintptr_t(p) + kLargePage - 1) & ~uintptr_t(kLargePage - 1);
        base_ = reinterpret_cast<VideoFileEntry*>(aligned);
        // Both are hints; without them the pages come in one by one.
        const size_t bytes = records * sizeof(VideoFileEntry);
        madvise(base_, bytes, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        madvise(base_, bytes, MADV_POPULATE_WRITE);
#endif
    }
    ~RecordBlock() {
        if (raw_) munmap(raw_, total_);
    }
    RecordBlock(const RecordBlock&) = delete;
    RecordBlock& operator=(const RecordBlock&) = delete;
    VideoFileEntry* Records() const { return base_; }

private:
    size_t total_;
    void* raw_ = nullptr;
    VideoFileEntry* base_ = nullptr;
};

}  // namespace

std::string FileListPath() { return AppDataFolder() + "filesv2.dat"; }

std::vector<VideoFileEntry> VideoFileList::Entries() const {
    std::vector<VideoFileEntry> out;
    out.reserve(entries_.size());
    // A long list makes a large fresh buffer: bring its pages in at once.
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(out.data()) + page - 1) & ~uintptr_t(page - 1);
    const uintptr_t end = uintptr_t(out.data() + entries_.size()) & ~uintptr_t(page - 1);
    if (end > begin + (size_t(2) << 20)) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#endif
    }
    for (const auto& e : entries_) out.push_back(*e);
    return out;
}

std::vector<TrackChoice> VideoFileList::TrackChoices() const {
    std::vector<TrackChoice> out;
    out.reserve(tracks_.size());
    for (const EntryTracks& t : tracks_) out.push_back(t.choice);
    return out;
}

void VideoFileList::Insert(int index, const VideoFileEntry& entry, const EntryTracks& tracks) {
    index = std::clamp(index, 0, Count());
    entries_.insert(entries_.begin() + index, std::make_shared<VideoFileEntry>(entry));
    tracks_.insert(tracks_.begin() + index, tracks);
}

bool VideoFileList::Remove(int index) {
    if (index < 0 || index >= Count()) return false;
    entries_.erase(entries_.begin() + index);
    tracks_.erase(tracks_.begin() + index);
    return true;
}

bool VideoFileList::MoveUp(std::vector<int>& selected) {
    if (selected.empty() || selected.front() <= 0 || selected.back() >= Count()) return false;
    // In ascending order each selected entry trades places with the one above.
    for (int& i : selected) {
        std::swap(entries_[size_t(i)], entries_[size_t(i - 1)]);
        std::swap(tracks_[size_t(i)], tracks_[size_t(i - 1)]);
        --i;
    }
    return true;
}

bool VideoFileList::MoveDown(std::vector<int>& selected) {
    if (selected.empty() || selected.front() < 0 || selected.back() >= Count() - 1) return false;
    // From the last selected to the first, each trades places with the one below.
    for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
        std::swap(entries_[size_t(*it)], entries_[size_t(*it + 1)]);
        std::swap(tracks_[size_t(*it)], tracks_[size_t(*it + 1)]);
        ++*it;
    }
    return true;
}

namespace {

// True when the file at path is a list file whose count agrees with its
// size: the kind of file worth keeping as the backup.
bool IsWholeListFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 4) return false;
    const int64_t body = int64_t(st.st_size) - 4;
    if (body % int64_t(sizeof(VideoFileEntry)) != 0) return false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    int32_t count = -1;
    const bool read = std::fread(&count, sizeof count, 1, f) == 1;
    std::fclose(f);
    return read && int64_t(count) == body / int64_t(sizeof(VideoFileEntry));
}

}  // namespace

std::string FileListBackupPath(const std::string& path) { return path + ".bak"; }

int VideoFileList::Load(const std::string& path) {
    // Not blocking: a FIFO or a device under the list's name must not hold
    // up the start; only a regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        LogLine("%s is not a regular file; the file list starts empty", path.c_str());
        ::close(fd);
        return 0;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) {
        ::close(fd);
        return 0;
    }
    int32_t count = 0;
    int loaded = 0;
    if (std::fread(&count, sizeof count, 1, f) == 1) {
        // The size decides how many records there are; the count field is
        // only checked against it, so a damaged count loses no record and a
        // huge one does not decide what is allocated.
        const int64_t body = int64_t(st.st_size) - 4;
        const int64_t whole = std::clamp<int64_t>(body / int64_t(sizeof(VideoFileEntry)), 0, INT32_MAX);
        if (int64_t(count) != whole || body % int64_t(sizeof(VideoFileEntry)) != 0)
            LogLine("%s: the count field says %d records, the file's %lld bytes hold %lld whole records; "
                    "those are loaded",
                    path.c_str(), int(count), static_cast<long long>(st.st_size), static_cast<long long>(whole));
        const size_t records = size_t(whole);
        if (records > 0) {
            auto block = std::make_shared<RecordBlock>(records);
            if (VideoFileEntry* base = block->Records()) {
                // A record cut short ends the data: nothing after it can be whole.
                const size_t read = std::fread(base, sizeof(VideoFileEntry), records, f);
                entries_.reserve(entries_.size() + read);
                tracks_.resize(tracks_.size() + read);
                for (size_t k = 0; k < read; ++k) {
                    TerminateTextFields(base[k]);
                    // Each entry shares the block's ownership.
                    entries_.push_back(std::shared_ptr<VideoFileEntry>(block, base + k));
                }
                loaded = int(read);
            }
        }
    }
    std::fclose(f);
    return loaded;
}

bool VideoFileList::Save(const std::string& path) const {
    auto write = [this](FILE* f) {
        const int32_t count = Count();
        bool ok = std::fwrite(&count, sizeof count, 1, f) == 1;
        for (const auto& e : entries_) {
            if (!ok) break;
            ok = std::fwrite(e.get(), sizeof(VideoFileEntry), 1, f) == 1;
        }
        return ok;
    };
    return ReplaceFileKeepingBackup(path, FileListBackupPath(path), write, IsWholeListFile);
}

}  // namespace kalvex

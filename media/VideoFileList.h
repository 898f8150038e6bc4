#pragma once
#include <memory>
#include <string>
#include <vector>

#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

namespace kalvex {

// AppDataFolder() + "filesv2.dat": the list as it was after its last change.
std::string FileListPath();
// path + ".bak": the list file as it was before the last save, kept when it
// was whole.
std::string FileListBackupPath(const std::string& path);

// The ordered list of entries of the Video Files page. Entries are held by
// pointer, so reordering a long list moves pointers, not 60 KB records; the
// entries of one load share one block of memory. Callers still get and give
// copies or references of the plain record.
class VideoFileList {
public:
    VideoFileList() = default;
    VideoFileList(VideoFileList&&) = default;
    VideoFileList& operator=(VideoFileList&&) = default;
    VideoFileList(const VideoFileList&) = delete;
    VideoFileList& operator=(const VideoFileList&) = delete;

    int Count() const { return int(entries_.size()); }
    bool Empty() const { return entries_.empty(); }
    // The entry at index (0 <= index < Count()), for in-place edits.
    VideoFileEntry& At(int index) { return *entries_[size_t(index)]; }
    const VideoFileEntry& At(int index) const { return *entries_[size_t(index)]; }
    // Copies of every entry, in list order.
    std::vector<VideoFileEntry> Entries() const;

    // The tracks and track choice kept beside the entry at index; they move
    // with it when the list is reordered.
    EntryTracks& Tracks(int index) { return tracks_[size_t(index)]; }
    const EntryTracks& Tracks(int index) const { return tracks_[size_t(index)]; }
    // The track choice of every entry, in list order (beside Entries()).
    std::vector<TrackChoice> TrackChoices() const;

    // Puts a copy of the entry (with its tracks) at index (clamped to 0..Count()).
    void Insert(int index, const VideoFileEntry& entry, const EntryTracks& tracks = {});
    void Append(const VideoFileEntry& entry, const EntryTracks& tracks = {}) { Insert(Count(), entry, tracks); }
    // Removes the entry at index; false when there is none.
    bool Remove(int index);
    void Clear() {
        entries_.clear();
        tracks_.clear();
    }

    // Selection-aware reordering. `selected` holds the selected indices in
    // ascending order; on return it holds the indices of the moved entries.
    // Nothing moves (false) when the selection is empty, when its first
    // index is the top row (MoveUp) or its last the bottom row (MoveDown).
    bool MoveUp(std::vector<int>& selected);
    bool MoveDown(std::vector<int>& selected);

    // filesv2.dat: a signed 32-bit count N, then N raw records.
    // Load appends every whole record (with default tracks) the file's size holds and returns how
    // many; a count that disagrees with the size is logged, not obeyed. A
    // missing or unreadable file, or one that is not a regular file (logged),
    // loads nothing.
    int Load(const std::string& path);
    // Writes the count and every record in list order, replacing the file
    // only once the new one is complete; the replaced file, when whole, is
    // kept as FileListBackupPath(path). False when it cannot be written.
    bool Save(const std::string& path) const;

private:
    std::vector<std::shared_ptr<VideoFileEntry>> entries_;
    std::vector<EntryTracks> tracks_;  // tracks_[i] belongs to entries_[i]
};

}  // namespace kalvex

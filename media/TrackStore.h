#pragma once
// The companion file of filesv2.dat: the track choices and track lists of
// the entries, which the fixed record of filesv2.dat has no room for. It is
// JSON text beside the list file ("filesv2.tracks"); each record is keyed by
// the entry's full path, its occurrence among the entries of that path and
// its trim times, so that a list rewritten by a program that keeps only
// filesv2.dat (entries added, removed or reordered) loses no choice: every
// entry finds its own record again, and an entry without one gets the
// defaults.
#include <string>

#include "media/VideoFileList.h"

namespace kalvex {

// The companion of a list file: the list file's name with ".dat" replaced by
// ".tracks" (AppDataFolder() + "filesv2.tracks" for the page's list).
std::string TrackStorePath(const std::string& listPath);

// Writes the tracks of every entry, replacing the file only once the new one
// is on the disk; the replaced file, when it was whole, is kept as
// FileListBackupPath(path). False when it cannot be written.
bool SaveTrackStore(const VideoFileList& list, const std::string& path);

// Gives every entry of the list the tracks of its record in the companion
// file (or its backup when the file is missing or damaged). Entries without a
// record keep what they have. Returns how many entries found their record;
// a missing or damaged file and backup give 0 and change nothing.
int LoadTrackStore(VideoFileList& list, const std::string& path);

}  // namespace kalvex

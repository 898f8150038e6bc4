#pragma once
#include <string>
#include <vector>

namespace kalvex {

// The process-wide list of the files the current run writes, in order (a
// path may occur twice). The conversion worker appends each output path
// before it encodes the file; the window thread reads the list after the run
// (copy to the PSP, deletion, removal of a cancelled run) and empties it at
// the end of every run. Guarded by a mutex, so either side may touch it at
// any time.
void AddOutput(const std::string& path);
// Empties the list.
void ClearOutputs();
// Deletes every listed file permanently, one delete per path; failures
// (a file that is already gone, no rights) are ignored. The list is kept.
void DeleteOutputs();
// A copy of the list.
std::vector<std::string> PspOutputList();

}  // namespace kalvex

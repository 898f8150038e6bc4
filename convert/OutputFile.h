#pragma once
#include <string>
#include <vector>

namespace kalvex {

// The output path of a source: the folder (which ends with '/'), the file
// name without its last extension, then ".mp4". "clip.part1.avi" gives
// "clip.part1.mp4"; a name without a dot gets ".mp4" appended.
std::string OutputPath(const std::string& folder, const std::string& fileName);

// True when both paths name one file: the same device and inode when both
// exist, otherwise the same path once both are made absolute and resolved
// as far as they exist.
bool SameFile(const std::string& a, const std::string& b);

// The output path for a source, never one of the run's sources: when
// OutputPath names a file that is one of `sources`, the title gets "_psp"
// (then "_psp2", "_psp3", ...) until it names none of them. `renamed` says
// whether the plain name was given up.
std::string OutputPathAvoiding(const std::string& folder, const std::string& fileName,
                               const std::vector<std::string>& sources, bool* renamed = nullptr);

// An output being written: a hidden file of its own in the destination
// folder (".kalvex-<pid>-<n>.mp4.part", unique per process), locked while
// this object holds it so that no other run takes it for a leftover. Only
// Commit puts it under its final name; otherwise it is removed.
class TempOutput {
public:
    TempOutput() = default;
    ~TempOutput();
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    // Creates the temporary file beside finalPath. False with a reason when
    // the folder cannot take it.
    bool Create(const std::string& finalPath, std::string* reason);
    const std::string& Path() const { return tempPath_; }

    // Flushes the file to the disk and renames it onto the final path
    // (replacing a file of that name in one step), then flushes the folder.
    // False with a reason when any step fails; the temporary file is then
    // removed and the final path is left as it was.
    bool Commit(std::string* reason);

    // Removes the temporary file (nothing when committed or never made).
    void Discard();

private:
    std::string finalPath_;
    std::string tempPath_;
    int fd_ = -1;
};

// Removes the temporary outputs that killed runs left in a folder: every
// file of the temporary pattern that no running process holds. Returns how
// many were removed.
int RemoveStaleTempOutputs(const std::string& folder);

// Whether a file name is of the temporary pattern.
bool IsTempOutputName(const std::string& name);

}  // namespace kalvex

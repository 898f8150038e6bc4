#pragma once
// Copying files into the PSP's VIDEO folder, without windows: the plan (what
// goes where, what is already there, how much room is missing), the steps
// that act on the user's answers, and the copy itself as a job on its own
// thread that reports to an observer as data.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "convert/ConvertSettings.h"
#include "convert/psp/PspDetect.h"

namespace kalvex {

// Why a step of the copy to the PSP did not succeed.
enum class PspCopyError {
    None,
    FreeSpaceUnknown,  // the free space of the PSP could not be measured
    Disconnected,      // the PSP is no longer mounted where it was found
    FolderNotMade,     // the PSP's VIDEO folder (or MP_ROOT and its folder) could not be made
    NoFreeNumber,      // the older system software's folder has no number left
    SourceUnreadable,  // a file of the list is gone or cannot be read
    CopyFailed,        // writing the copy, flushing it or checking it on the PSP failed
};

// The outcome of a step: the kind and the system's text for it.
struct PspStepResult {
    PspCopyError error = PspCopyError::None;
    std::string detail;
    bool ok() const { return error == PspCopyError::None; }
};

// A file of the list that did not reach the PSP, and why.
struct PspCopyFailure {
    std::string source;
    std::string reason;  // the system's error text
    PspCopyError kind = PspCopyError::CopyFailed;
    std::string target;
};

// For each source, folder + the source's file name (the part behind its
// last "/"), in the same order.
std::vector<std::string> BuildTargetList(const std::vector<std::string>& sources, const std::string& folder);

// How files go onto the PSP. By default into VIDEO/ under their own names.
// For older system software (oldFolders): MPEG-4 videos into
// MP_ROOT/100MNV01/ as M4V#####.MP4, AVC videos into MP_ROOT/100ANV01/ as
// MAQ#####.MP4, numbered on from the highest number there.
struct PspCopyOptions {
    bool oldFolders = false;
    PspCodec codec = PspCodec::Mpeg4;  // the videos' codec (for oldFolders)
};

// What copying a list onto the PSP would do, before anything is written.
// Each video that has a thumbnail beside it (ThumbnailPath) takes it along,
// named as the video's target with ".THM", right after the video.
struct PspCopyPlan {
    PspLocation psp;
    std::string targetFolder;  // where the targets go (VIDEO/ or the older software's folder)
    std::vector<std::string> sources;  // the videos, each followed by its thumbnail when it has one
    std::vector<std::string> targets;  // one per source
    // Targets that exist already and would be replaced, in list order. The
    // target of a source that cannot be read is never among them: nothing
    // would replace it.
    std::vector<std::string> clashes;
    int64_t needed = 0;       // the sources' sizes together (unreadable ones count 0)
    int64_t freeBytes = 0;    // free on the PSP when last measured
    PspStepResult space;      // how the last measure went
    PspStepResult naming;     // NoFreeNumber when the older software's numbers ran out
    // Bytes missing on the PSP; 0 when the files fit (exactly filling it fits).
    int64_t Shortage() const { return needed > freeBytes ? needed - freeBytes : 0; }
};

// Builds the plan for copying sources to the PSP at psp, and measures its
// free space.
PspCopyPlan PlanPspCopy(const std::vector<std::string>& sources, const PspLocation& psp,
                        const PspCopyOptions& options = {});
// Measures the PSP's free space again (after the user made room).
PspStepResult MeasurePspFreeSpace(PspCopyPlan& plan);
// Deletes the clashing targets (the user chose to overwrite them; a target
// that cannot be deleted is left to the copy), then measures again: the
// room they took is free now.
void RemoveClashes(PspCopyPlan& plan);
// Last step before copying: the PSP must still be mounted where it was
// found (an unplugged PSP leaves an empty folder on the computer's own disk
// that must not receive the copies), and the target folder (VIDEO/ when
// none is given) is made level by level when missing. A level that exists
// but is no folder (a file named MP_ROOT) fails with FolderNotMade and is
// left as it is.
PspStepResult PreparePspFolder(const PspLocation& psp, const std::string& targetFolder = {});

// Where a copy stands. Delivered when a file starts (percent 0) and at every
// change of its percent.
struct PspCopyProgress {
    int fileIndex = 0;  // 0-based
    int fileCount = 0;
    std::string fileName;  // the source's name without folder
    int percent = 0;       // of the current file, truncated; an empty file is 100 at once
};

// The end of a copy.
struct PspCopySummary {
    std::vector<PspCopyFailure> failures;  // in list order
    int copied = 0;          // files complete and checked on the PSP
    bool cancelled = false;  // the copy was cancelled (it counts as not done)
    bool Succeeded() const { return failures.empty() && !cancelled; }
};

// Receives a copy's progress on the job's thread; must not block for long.
class PspCopyObserver {
public:
    virtual ~PspCopyObserver() = default;
    virtual void OnProgress(const PspCopyProgress& progress) {}
    // Once, the job's last call.
    virtual void OnFinished(const PspCopySummary& summary) {}
};

// Copies sources[i] to targets[i] in order on its own thread. A source that
// cannot be read fails on its own and the next file follows; any other
// failure, or a cancel, stops the copy. A file counts as copied only when
// every byte was written, flushed and found on the PSP at the source's size;
// an interrupted or failed copy leaves no partial target. Files copied
// before a failure or a cancel stay.
class PspCopyJob {
public:
    PspCopyJob() = default;
    // Cancels a copy still running and waits for its thread.
    ~PspCopyJob();
    PspCopyJob(const PspCopyJob&) = delete;
    PspCopyJob& operator=(const PspCopyJob&) = delete;

    // Starts a copy; false (nothing started) while one runs or when the lists
    // differ in length. The observer must outlive the copy.
    bool Start(std::vector<std::string> sources, std::vector<std::string> targets, PspCopyObserver* observer);
    // Asks the copy to stop; safe from any thread, also from the observer.
    void Cancel() { cancel_ = 1; }
    bool CancelRequested() const { return cancel_.load() != 0; }
    // True from Start until the observer was told the copy finished.
    bool IsRunning() const { return running_.load(); }
    // Waits until the copy's thread has ended.
    void Wait();

private:
    void Run();

    std::vector<std::string> sources_, targets_;
    PspCopyObserver* observer_ = nullptr;
    std::atomic<int> cancel_{0};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace kalvex

#include "convert/psp/PspCopyJob.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "common/ProgramLog.h"
#include "convert/psp/PspNames.h"
#include "platform/storage/Storage.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/SystemError.h"

namespace kalvex {

namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool Readable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

// Size of a file as reading it would give; 0 when it cannot be opened
// (its copy fails later and reports the error).
int64_t FileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return info.st_size;
}

std::string FileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void LogFailure(const std::string& message, int code) {
    LogTimestamp();
    LogLine("%s", message.c_str());
    LOG_SYSTEM_ERROR(code);
}

}  // namespace

std::vector<std::string> BuildTargetList(const std::vector<std::string>& sources, const std::string& folder) {
    std::vector<std::string> targets;
    targets.reserve(sources.size());
    for (const std::string& source : sources) targets.push_back(folder + FileName(source));
    return targets;
}

PspCopyPlan PlanPspCopy(const std::vector<std::string>& sources, const PspLocation& psp,
                        const PspCopyOptions& options) {
    PspCopyPlan plan;
    plan.psp = psp;
    plan.targetFolder = options.oldFolders ? psp.root + OldPspFolder(options.codec) : psp.videoFolder;
    const std::string prefix = OldPspPrefix(options.codec);
    int number = options.oldFolders ? HighestOldPspNumber(FolderFileNames(plan.targetFolder), prefix) : 0;
    for (const std::string& source : sources) {
        std::string target;
        if (options.oldFolders) {
            if (number >= kMaxOldPspNumber) {
                LogTimestamp();
                LogLine("%s has no free number after %s.", plan.targetFolder.c_str(),
                        OldPspFileName(prefix, number, "MP4").c_str());
                plan.naming = {PspCopyError::NoFreeNumber, plan.targetFolder};
                break;
            }
            target = plan.targetFolder + OldPspFileName(prefix, ++number, "MP4");
        } else {
            target = plan.targetFolder + FileName(source);
        }
        plan.sources.push_back(source);
        plan.targets.push_back(target);
        const std::string thumbnail = ThumbnailPath(source);
        if (thumbnail != source && Readable(thumbnail)) {
            plan.sources.push_back(thumbnail);
            plan.targets.push_back(ThumbnailPath(target));
        }
    }
    for (size_t i = 0; i < plan.sources.size(); ++i) {
        // A source that is gone cannot replace its target: that target is
        // not offered for overwriting (it would be deleted for nothing).
        if (Readable(plan.sources[i]) && Exists(plan.targets[i])) plan.clashes.push_back(plan.targets[i]);
        plan.needed += FileSize(plan.sources[i]);
    }
    MeasurePspFreeSpace(plan);
    return plan;
}

PspStepResult MeasurePspFreeSpace(PspCopyPlan& plan) {
    int64_t freeBytes = 0;
    if (storage::GetDiskFreeBytes(plan.psp.root, freeBytes)) {
        plan.freeBytes = freeBytes;
        plan.space = {};
    } else {
        const int code = GetLastError();
        LogFailure("Get free space of " + plan.psp.root + " failed.", code);
        plan.space = {PspCopyError::FreeSpaceUnknown, std::strerror(code)};
    }
    return plan.space;
}

void RemoveClashes(PspCopyPlan& plan) {
    for (const std::string& target : plan.clashes) storage::DeleteFile(target);
    MeasurePspFreeSpace(plan);
}

PspStepResult PreparePspFolder(const PspLocation& psp, const std::string& targetFolder) {
    if (storage::VolumeDiskNumber(psp.root) != psp.disk) {
        LogTimestamp();
        LogLine("PSP at %s is no longer connected.", psp.root.c_str());
        return {PspCopyError::Disconnected, psp.root};
    }
    const std::string folder = targetFolder.empty() ? psp.videoFolder : targetFolder;
    // Each level below the root in turn: "MP_ROOT/", then "MP_ROOT/100MNV01/".
    size_t from = folder.compare(0, psp.root.size(), psp.root) == 0 ? psp.root.size() : 0;
    for (size_t slash = folder.find('/', from); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
        if (slash == 0) continue;
        const std::string level = folder.substr(0, slash + 1);
        int code = 0;
        if (::mkdir(level.c_str(), 0755) != 0) code = errno;
        struct stat info {};
        if (code == EEXIST && ::stat(level.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) code = 0;
        if (code != 0) {
            LogFailure("Create folder " + level + " failed.", code);
            return {PspCopyError::FolderNotMade, level + ": " + std::strerror(code == EEXIST ? ENOTDIR : code)};
        }
    }
    return {};
}

// ---- the job ----

PspCopyJob::~PspCopyJob() {
    Cancel();
    Wait();
}

bool PspCopyJob::Start(std::vector<std::string> sources, std::vector<std::string> targets,
                       PspCopyObserver* observer) {
    if (running_.load() || sources.size() != targets.size()) return false;
    Wait();  // the thread of the copy before has only its end left
    sources_ = std::move(sources);
    targets_ = std::move(targets);
    observer_ = observer;
    cancel_ = 0;
    running_ = true;
    thread_ = std::thread(&PspCopyJob::Run, this);
    return true;
}

void PspCopyJob::Wait() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void PspCopyJob::Run() {
    InstallThreadCrashStack();
    PspCopySummary summary;
    PspCopyProgress progress;
    progress.fileCount = static_cast<int>(sources_.size());
    auto report = [&] {
        if (observer_) observer_->OnProgress(progress);
    };
    auto fail = [&](size_t i, PspCopyError kind, int code) {
        LogTimestamp();
        LogLine("Copy %s to %s failed.", sources_[i].c_str(), targets_[i].c_str());
        LOG_SYSTEM_ERROR(code);
        summary.failures.push_back({sources_[i], std::strerror(code), kind, targets_[i]});
    };
    for (size_t i = 0; i < sources_.size() && !cancel_; ++i) {
        const std::string& source = sources_[i];
        const std::string& target = targets_[i];
        progress.fileIndex = static_cast<int>(i);
        progress.fileName = FileName(source);
        progress.percent = 0;
        report();
        // A file of the list that is gone or unreadable fails alone: the
        // others still go to the PSP.
        struct stat info {};
        if (::stat(source.c_str(), &info) != 0 || !Readable(source)) {
            fail(i, PspCopyError::SourceUnreadable, errno);
            continue;
        }
        const bool copied = storage::CopyFileWithProgress(
            source, target,
            [&](int64_t done, int64_t total) {
                // An empty file is complete as soon as it exists.
                const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
                if (percent == progress.percent) return;
                progress.percent = percent;
                report();
            },
            &cancel_);
        if (!copied) {
            const int code = GetLastError();
            if (code == ECANCELED) {
                LogTimestamp();
                LogLine("Copy %s to %s cancelled.", source.c_str(), target.c_str());
            } else {
                fail(i, PspCopyError::CopyFailed, code);
            }
            break;
        }
        ++summary.copied;
    }
    // Whatever was copied, a user who cancelled was never told the copy is
    // complete.
    summary.cancelled = cancel_.load() != 0;
    if (observer_) observer_->OnFinished(summary);
    running_ = false;
}

}  // namespace kalvex

#include "convert/psp/PspCopy.h"

#include <QApplication>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "common/ProgramLog.h"
#include "convert/PspOutputList.h"
#include "convert/psp/FormatSize.h"
#include "convert/psp/PspDetect.h"
#include "convert/psp/PspDialogs.h"
#include "common/ui/Dialogs.h"
#include "platform/storage/Storage.h"
#include "platform/system/SystemError.h"

namespace kalvex {

namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Size of a file as reading it would give; 0 when it cannot be opened
// (its copy fails later and reports the error).
int64_t FileSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return info.st_size;
}

void LogFailure(const std::string& message, int code) {
    LogTimestamp();
    LogLine("%s", message.c_str());
    LOG_SYSTEM_ERROR(code);
}

bool MeasureFree(const PspLocation& psp, int64_t& freeBytes) {
    if (storage::GetDiskFreeBytes(psp.root, freeBytes)) return true;
    LogFailure("Get free space of " + psp.root + " failed.", GetLastError());
    return false;
}

}  // namespace

std::vector<std::string> BuildTargetList(const std::vector<std::string>& sources, const std::string& folder) {
    std::vector<std::string> targets;
    targets.reserve(sources.size());
    for (const std::string& source : sources) {
        const size_t slash = source.rfind('/');
        targets.push_back(folder + (slash == std::string::npos ? source : source.substr(slash + 1)));
    }
    return targets;
}

std::string ClashText(const std::vector<std::string>& targets, std::vector<std::string>* existing) {
    std::string text = "File Exists:\n";
    for (const std::string& target : targets) {
        if (!Exists(target)) continue;
        text += target + "\n";
        if (existing) existing->push_back(target);
    }
    return text;
}

std::string ShortageText(int64_t needed, int64_t freeBytes) {
    return "Need " + FormatSize(needed - freeBytes) + "B more free space.";
}

std::string FailureText(const std::vector<PspCopyFailure>& failures) {
    std::string text = "Copy to PSP failed:";
    for (const PspCopyFailure& f : failures) {
        const size_t slash = f.source.rfind('/');
        text += "\n" + (slash == std::string::npos ? f.source : f.source.substr(slash + 1)) + ": " + f.reason;
    }
    return text;
}

bool CopyFilesToPsp(const std::vector<std::string>& sources, std::vector<PspCopyFailure>* failures) {
    if (failures) failures->clear();
    PspLocation psp;
    if (!FindPspVideoFolder(psp)) return false;
    const std::vector<std::string> targets = BuildTargetList(sources, psp.videoFolder);

    // A source that is gone cannot replace its target: that target is not
    // offered for overwriting (it would be deleted for nothing).
    std::vector<std::string> replaceable;
    for (size_t i = 0; i < sources.size(); ++i)
        if (::access(sources[i].c_str(), R_OK) == 0) replaceable.push_back(targets[i]);
    std::vector<std::string> existing;
    const std::string clashes = ClashText(replaceable, &existing);
    if (!existing.empty()) {
        CPspFileExistsDlg dlg(QString::fromLocal8Bit(clashes.c_str()));
        if (RunPspDialog(dlg) != IDOK) return false;
        for (const std::string& target : existing) storage::DeleteFile(target);
    }

    int64_t needed = 0;
    for (const std::string& source : sources) needed += FileSize(source);
    int64_t freeBytes = 0;
    if (!MeasureFree(psp, freeBytes)) return false;
    while (needed > freeBytes) {
        CPspFreeSpaceDlg dlg(QString::fromLocal8Bit(ShortageText(needed, freeBytes).c_str()),
                             QString::fromLocal8Bit(psp.videoFolder.c_str()));
        if (RunPspDialog(dlg) != IDOK) return false;
        if (!MeasureFree(psp, freeBytes)) return false;
    }

    // The questions may have taken a while: make sure the folder is still
    // the PSP's before writing, so an unplugged PSP's empty mount point on
    // the computer's own disk never receives the copies.
    if (storage::VolumeDiskNumber(psp.root) != psp.disk) {
        LogTimestamp();
        LogLine("PSP at %s is no longer connected.", psp.root.c_str());
        return false;
    }
    if (::mkdir(psp.videoFolder.c_str(), 0755) != 0 && errno != EEXIST) {
        const int code = errno;
        LogFailure("Create folder " + psp.videoFolder + " failed.", code);
        return false;
    }

    CPspCopyingDlg copying(sources, targets);
    const int result = RunPspDialog(copying);
    if (failures) *failures = copying.Failures();
    if (!copying.Failures().empty())
        MessageBox(QString::fromLocal8Bit(FailureText(copying.Failures()).c_str()));
    if (result != IDOK) return false;

    if (QWidget* owner = MessageBoxOwner()) QApplication::alert(owner);
    MessageBox("OK");
    return true;
}

bool CopyOutputsToPsp() { return CopyFilesToPsp(PspOutputList()); }

}  // namespace kalvex

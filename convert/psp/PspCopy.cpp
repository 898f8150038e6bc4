#include "convert/psp/PspCopy.h"

#include <QApplication>

#include "convert/PspOutputList.h"
#include "convert/psp/FormatSize.h"
#include "convert/psp/PspDetect.h"
#include "convert/psp/PspDialogs.h"
#include "common/ui/Dialogs.h"
#include "platform/shell/Shell.h"

namespace kalvex {

std::string ClashText(const std::vector<std::string>& clashes) {
    std::string text = "File Exists:\n";
    for (const std::string& target : clashes) text += target + "\n";
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

std::string FolderFailureText(const PspStepResult& result) {
    if (result.error == PspCopyError::NoFreeNumber)
        return "No free file number is left in " + result.detail + ": nothing was copied.";
    return "Could not make the folder " + result.detail + " on the PSP: nothing was copied.";
}

bool CopyFilesToPsp(const std::vector<std::string>& sources, std::vector<PspCopyFailure>* failures,
                    const PspCopyOptions& options) {
    if (failures) failures->clear();
    PspLocation psp;
    if (!FindPspVideoFolder(psp)) return false;
    PspCopyPlan plan = PlanPspCopy(sources, psp, options);
    if (!plan.naming.ok()) {
        MessageBox(QString::fromLocal8Bit(FolderFailureText(plan.naming).c_str()));
        return false;
    }

    if (!plan.clashes.empty()) {
        CPspFileExistsDlg dlg(QString::fromLocal8Bit(ClashText(plan.clashes).c_str()));
        if (RunPspDialog(dlg) != IDOK) return false;
        RemoveClashes(plan);
    }
    if (!plan.space.ok()) return false;
    while (plan.Shortage() > 0) {
        CPspFreeSpaceDlg dlg(QString::fromLocal8Bit(ShortageText(plan.needed, plan.freeBytes).c_str()),
                             QString::fromLocal8Bit(psp.videoFolder.c_str()));
        if (RunPspDialog(dlg) != IDOK) return false;
        if (!MeasurePspFreeSpace(plan).ok()) return false;
    }

    // The questions may have taken a while: the folder must still be the
    // PSP's before anything is written into it.
    const PspStepResult prepared = PreparePspFolder(psp, plan.targetFolder);
    if (prepared.error == PspCopyError::FolderNotMade) {
        // A file where a folder must be (MP_ROOT): said, and left alone.
        MessageBox(QString::fromLocal8Bit(FolderFailureText(prepared).c_str()));
        return false;
    }
    if (!prepared.ok()) return false;

    CPspCopyingDlg copying(plan.sources, plan.targets);
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

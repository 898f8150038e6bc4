#include "app/core/CrashReport.h"

#include <QStringList>

#include "common/ui/Dialogs.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/Folders.h"

namespace kalvex {

std::string UploaderPath() { return CompanionFolder("Dravel") + "Dravel"; }

void InstallCrashHandler() {
    // The prompt needs a fresh process: nothing may be trusted in one that
    // just faulted.
    InstallCrashSignalHandler(AppFolder() + "Kalvex", "--crash-prompt");
}

int RunCrashPrompt(const std::string& crashText) {
    int answer = MessageBoxUnowned("Error detected.\nWould you mind send us the log file for solving the problem ?",
                                   "Ops !!! We got problem !", MB_OKCANCEL | MB_ICONINFORMATION);
    QStringList args;
    if (answer == IDOK) args << QString::fromStdString(crashText);
    StartProgram(QString::fromStdString(UploaderPath()), args);
    return answer;
}

}  // namespace kalvex

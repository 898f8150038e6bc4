// Kalvex: the PSP video converter. Without options it runs the window (with
// the files named as arguments added); the options below drive the same
// classes headless.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <climits>
#include <clocale>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/CPellorinApp.h"
#include "app/MainMessages.h"
#include "app/cli/ConvertCommand.h"
#include "app/cli/ExamineCommand.h"
#include "app/core/CrashReport.h"
#include "common/ProgramLog.h"
#include "media/PathsToAdd.h"
#include "platform/instance/SingleInstance.h"

namespace {
// Asks the running window to close. An instance that holds the lock but
// does not listen yet (it is still starting, or is replacing the socket a
// killed instance left behind) is waited for a while; without a holder of
// the lock nothing runs and the answer is at once.
bool PostCloseToRunningWindow() {
    constexpr int kWaitMs = 10000;
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (kalvex::SingleInstance::PostToFirst(kalvex::kCloseMessageName)) return true;
        if (kalvex::SingleInstance().Acquire()) return false;  // released again at once
        if (waited.elapsed() >= kWaitMs) return false;
        QThread::msleep(100);
    }
}

void Usage() {
    std::fprintf(stderr,
                 "usage: Kalvex [--] [FILE|FOLDER]...          run the converter with these files added\n"
                 "                                             (handed to the running converter, if any)\n"
                 "       Kalvex --convert [--dest DIR] [--quiet] FILE...\n"
                 "                                             convert files headless\n"
                 "       Kalvex --examine FILE                 print what the converter reads of a file\n"
                 "       Kalvex --close                        close the running converter\n");
}

}  // namespace

namespace {
// Qt takes the user's locale at start; numbers in files and scripts ("%f",
// strtod) must not follow a decimal comma.
void KeepCNumbers() { std::setlocale(LC_NUMERIC, "C"); }
}  // namespace

int main(int argc, char** argv) {
    using namespace kalvex;
    if (argc >= 2 && std::strcmp(argv[1], "--crash-prompt") == 0) {
        QApplication app(argc, argv);
        KeepCNumbers();
        RunCrashPrompt(argc >= 3 ? argv[2] : "");
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--close") == 0) {
        QCoreApplication app(argc, argv);
        if (PostCloseToRunningWindow()) return 0;
        std::fprintf(stderr, "Kalvex is not running.\n");
        return 1;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--examine") == 0) {
        if (argc != 3) {
            Usage();
            return 2;
        }
        OpenProgramLog();
        QCoreApplication app(argc, argv);
        KeepCNumbers();
        int rc = RunExamineCommand(argv[2]);
        CloseProgramLog();
        return rc;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--convert") == 0) {
        OpenProgramLog();
        QCoreApplication app(argc, argv);
        KeepCNumbers();
        QStringList args;
        for (int i = 2; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
        int rc = RunConvertCommand(args);
        CloseProgramLog();
        return rc;
    }
    // Every other argument names a file or folder to add; "--" ends the
    // options, so a name may begin with "-". Relative names are taken from
    // the caller's current folder before anything else.
    std::vector<std::string> named;
    std::string cwd;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (options && arg.size() > 1 && arg[0] == '-') {
            Usage();
            return 2;
        }
        if (arg.empty()) {
            std::fprintf(stderr, "Kalvex: an empty name is not a file; it is not added.\n");
            continue;
        }
        if (arg[0] != '/' && cwd.empty()) {
            char buffer[PATH_MAX];
            if (!::getcwd(buffer, sizeof buffer)) {
                std::fprintf(stderr, "Kalvex: the current folder cannot be found (%s); %s is not added.\n",
                             std::strerror(errno), arg.c_str());
                continue;
            }
            cwd = buffer;
        }
        named.push_back(AbsolutePath(arg, cwd));
    }
    // The log opens before anything else and writes its header, also in a
    // second instance that ends at once.
    OpenProgramLog();
    // Qt reads no options of its own here: every argument was ours.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    KeepCNumbers();
    CPellorinApp pellorin;
    if (!named.empty()) {
        const PathsToAdd files = ExpandPathsToAdd(named);
        for (const SkippedPath& skipped : files.skipped) {
            std::fprintf(stderr, "Kalvex: %s is not added: %s\n", skipped.path.c_str(), skipped.reason.c_str());
            LogLongLine("Command line: %s is not added: %s", skipped.path.c_str(), skipped.reason.c_str());
        }
        pellorin.SetStartFiles(files.files);
    }
    pellorin.InitInstance();
    CloseProgramLog();
    return pellorin.ExitCode();
}

// Kalvex: the PSP video converter. Without arguments it runs the window;
// the options below drive the same classes headless.
#include <QApplication>
#include <QCoreApplication>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/CPellorinApp.h"
#include "app/MainMessages.h"
#include "app/cli/ConvertCommand.h"
#include "app/cli/ExamineCommand.h"
#include "app/core/CrashReport.h"
#include "common/ProgramLog.h"
#include "platform/instance/SingleInstance.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: Kalvex                                run the converter\n"
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
        if (SingleInstance::PostToFirst(kCloseMessageName)) return 0;
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
    if (argc >= 2) {
        Usage();
        return 2;
    }
    // The log opens before anything else and writes its header, also in a
    // second instance that ends at once.
    OpenProgramLog();
    QApplication app(argc, argv);
    KeepCNumbers();
    CPellorinApp pellorin;
    pellorin.InitInstance();
    CloseProgramLog();
    return 0;
}

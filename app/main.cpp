// Kalvex: the PSP video converter. Without arguments it runs the window;
// the options below drive the same classes headless.
#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/CPellorinApp.h"
#include "app/MainMessages.h"
#include "app/core/CrashReport.h"
#include "app/core/ProgramLog.h"
#include "platform/instance/SingleInstance.h"

namespace {

void Usage() {
    std::fprintf(stderr,
                 "usage: Kalvex                         run the converter\n"
                 "       Kalvex --close                 close the running converter\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kalvex;
    if (argc >= 2 && std::strcmp(argv[1], "--crash-prompt") == 0) {
        QApplication app(argc, argv);
        RunCrashPrompt(argc >= 3 ? argv[2] : "");
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--close") == 0) {
        QCoreApplication app(argc, argv);
        if (SingleInstance::PostToFirst(kCloseMessageName)) return 0;
        std::fprintf(stderr, "Kalvex is not running.\n");
        return 1;
    }
    if (argc >= 2) {
        Usage();
        return 2;
    }
    // The log opens before anything else and writes its header, also in a
    // second instance that ends at once.
    OpenProgramLog();
    QApplication app(argc, argv);
    CPellorinApp pellorin;
    pellorin.InitInstance();
    CloseProgramLog();
    return 0;
}

#include "platform/shell/Shell.h"

#include <QFileInfo>
#include <QProcess>
#include <mutex>
#include <thread>

#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/system/CrashSignal.h"

extern char** environ;

namespace kalvex {

const char* const kAppCaption = "Tesmora.NET Video Converter For PSP";

namespace {
std::mutex g_hookMutex;
std::function<bool(const QString&, const QStringList&)> g_startHook;

std::function<bool(const QString&, const QStringList&)> StartHook() {
    std::lock_guard lock(g_hookMutex);
    return g_startHook;
}
}  // namespace

bool StartProgram(const QString& program, const QStringList& args) {
    if (auto hook = StartHook()) return hook(program, args);
    if (!QFileInfo(program).isExecutable()) return false;
    return QProcess::startDetached(program, args);
}

bool RunProgramAndWait(const QString& program, const QStringList& args, int timeoutMs) {
    std::string prog = program.toStdString();
    std::vector<std::string> store{prog};
    for (const auto& a : args) store.push_back(a.toStdString());
    std::vector<char*> argv;
    for (auto& s : store) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return false;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool ended = false;
    if (pidfd >= 0) {
        pollfd pfd{pidfd, POLLIN, 0};
        ended = poll(&pfd, 1, timeoutMs) > 0;
        close(pidfd);
    }
    if (ended) {
        waitpid(pid, nullptr, 0);
    } else {
        // No longer waited for: reap it in the background whenever it ends.
        std::thread([pid] {
            InstallThreadCrashStack();
            waitpid(pid, nullptr, 0);
        }).detach();
    }
    return true;
}

void SetStartProgramHook(std::function<bool(const QString&, const QStringList&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_startHook = std::move(hook);
}

}  // namespace kalvex

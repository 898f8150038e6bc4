#include "platform/system/CrashSignal.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kalvex {
namespace {

char g_program[4096];
char g_argument[64];
char g_code[64];
alignas(16) char g_altStack[64 * 1024];

// Upper-case hexadecimal without leading zeros, as "%X" prints it.
char* AppendHex(char* out, unsigned long v) {
    char digits[32];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v);
    while (n) *out++ = digits[--n];
    return out;
}

void FormatCode(char* buf, int sig, unsigned long addr) {
    char* p = buf;
    for (const char* s = "CRASH_"; *s; ++s) *p++ = *s;
    p = AppendHex(p, static_cast<unsigned long>(sig));
    *p++ = '_';
    p = AppendHex(p, addr);
    *p = 0;
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
    // A signal sent by another process (kill) has no fault address.
    unsigned long addr = (info && info->si_code > 0) ? reinterpret_cast<unsigned long>(info->si_addr) : 0;
    FormatCode(g_code, sig, addr);
    pid_t pid = fork();
    if (pid == 0) {
        char* argv[] = {g_program, g_argument, g_code, nullptr};
        execv(g_program, argv);
        _exit(127);
    }
    _exit(128 + sig);
}

// One thread's alternate stack, taken down when the thread ends.
class ThreadStack {
public:
    static constexpr size_t kSize = 64 * 1024;
    ~ThreadStack() {
        if (!memory_) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        std::free(memory_);
    }
    void Install() {
        if (memory_) return;
        stack_t current{};
        // A stack set by InstallCrashSignalHandler is kept.
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
        const size_t size = std::max<size_t>(kSize, size_t(SIGSTKSZ));
        void* memory = std::malloc(size);
        if (!memory) return;
        stack_t ss{};
        ss.ss_sp = memory;
        ss.ss_size = size;
        if (sigaltstack(&ss, nullptr) != 0) {
            std::free(memory);
            return;
        }
        memory_ = memory;
    }

private:
    void* memory_ = nullptr;
};

thread_local ThreadStack t_stack;

}  // namespace

void InstallThreadCrashStack() { t_stack.Install(); }

std::string CrashCodeText(int sig, unsigned long address) {
    char buf[64];
    FormatCode(buf, sig, address);
    return buf;
}

void InstallCrashSignalHandler(const std::string& program, const std::string& argument) {
    std::snprintf(g_program, sizeof g_program, "%s", program.c_str());
    std::snprintf(g_argument, sizeof g_argument, "%s", argument.c_str());
    stack_t ss{};
    ss.ss_sp = g_altStack;
    ss.ss_size = sizeof g_altStack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = OnFatalSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
}

}  // namespace kalvex

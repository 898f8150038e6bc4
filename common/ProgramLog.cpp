#include "common/ProgramLog.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "platform/system/Folders.h"
#include "platform/system/SystemError.h"

namespace kalvex {
namespace {

// Reads of at most 259 characters: a longer text line counts once per 259.
constexpr int kReadSize = 260;

struct tm NowUtc() {
    time_t t = time(nullptr);
    struct tm out {};
    gmtime_r(&t, &out);
    return out;
}

struct tm NowLocal() {
    time_t t = time(nullptr);
    struct tm out {};
    localtime_r(&t, &out);
    return out;
}

long CountLines(FILE* f) {
    char buf[kReadSize];
    long n = 0;
    while (std::fgets(buf, kReadSize, f)) ++n;
    return n;
}

}  // namespace

std::string OsDescription() {
    // The system names of the header belong to another platform; this one
    // names itself "Unknown" with the kernel's release numbers.
    struct utsname u {};
    int major = 0, minor = 0, build = 0;
    if (uname(&u) == 0) std::sscanf(u.release, "%d.%d.%d", &major, &minor, &build);
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s %d.%d.%d %s", "Unknown", major, minor, build, "");
    return buf;
}

ProgramLog::ProgramLog(const std::string& fileName) {
    std::string folder = AppDataFolder() + "log";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    path_ = folder + "/" + fileName;
    if (path_.size() > 259) return;

    if (FILE* in = std::fopen(path_.c_str(), "r")) {
        long count = CountLines(in);
        std::fclose(in);
        if (count > kMaxLines) {
            std::string bak = path_ + ".bak";
            if (std::rename(path_.c_str(), bak.c_str()) != 0) return;
            FILE* from = std::fopen(bak.c_str(), "r");
            if (!from) return;
            FILE* to = std::fopen(path_.c_str(), "w");
            if (!to) {
                std::fclose(from);
                return;
            }
            char buf[kReadSize];
            long k = 0;
            while (std::fgets(buf, kReadSize, from)) {
                if (++k > count - kMaxLines) std::fputs(buf, to);
            }
            std::fclose(from);
            bool ok = std::fclose(to) == 0;
            if (!ok) return;
            std::remove(bak.c_str());
        }
    } else if (errno != ENOENT) {
        return;  // exists but cannot be read: the log stays closed this run
    }
    stream_ = std::fopen(path_.c_str(), "a");
    if (stream_) WriteHeader();
}

ProgramLog::~ProgramLog() {
    if (stream_) std::fclose(stream_);
}

void ProgramLog::WriteHeader() {
    struct tm l = NowLocal();
    std::fprintf(stream_, "==================================================================\n");
    std::fprintf(stream_, "Program Version: %s\n", kVersion);
    std::fprintf(stream_, "OS: %s\n", OsDescription().c_str());
    std::fprintf(stream_, "L(%04d-%02d-%02d %02d:%02d:%02d) ", l.tm_year + 1900, l.tm_mon + 1, l.tm_mday,
                 l.tm_hour, l.tm_min, l.tm_sec);
    struct tm u = NowUtc();
    std::fprintf(stream_, "S(%04d-%02d-%02d %02d:%02d:%02d)\n", u.tm_year + 1900, u.tm_mon + 1, u.tm_mday,
                 u.tm_hour, u.tm_min, u.tm_sec);
    std::fflush(stream_);
}

namespace {
void WriteLine(FILE* f, const char* format, va_list ap) {
    char buf[1024 + 1];
    std::memset(buf, 0, sizeof buf);
    int n = std::vsnprintf(buf, 1024, format, ap);  // at most 1,023 characters
    size_t len = n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), 1023);
    buf[len] = '\n';
    // One write per line, so lines from several threads never mix.
    std::fwrite(buf, 1, len + 1, f);
    std::fflush(f);
}
}  // namespace

void ProgramLog::Line(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LineV(format, ap);
    va_end(ap);
}

void ProgramLog::LineV(const char* format, va_list ap) {
    if (stream_) WriteLine(stream_, format, ap);
}

void ProgramLog::LongLineV(const char* format, va_list ap) {
    if (!stream_) return;
    // Formatted into 5,000 bytes first, then written as one line (which
    // keeps at most 1,023 characters of it).
    auto buf = std::make_unique<char[]>(5000);
    std::vsnprintf(buf.get(), 5000, format, ap);
    Line("%s", buf.get());
}

void ProgramLog::Timestamp() {
    if (!stream_) return;
    struct tm u = NowUtc();
    char buf[100];
    std::snprintf(buf, sizeof buf, "[%04d-%02d-%02d %02d:%02d:%02d]", u.tm_year + 1900, u.tm_mon + 1,
                  u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec);
    std::fputs(buf, stream_);
}

void ProgramLog::Source(const char* file, int line) {
    if (!stream_) return;
    const char* base = std::strrchr(file, '/');
    base = base ? base + 1 : file;
    if (const char* b2 = std::strrchr(base, '\\')) base = b2 + 1;
    std::fprintf(stream_, "[%s,%d]", base, line);
}

void ProgramLog::SystemError(const char* file, int line, int code) {
    if (!stream_) return;
    std::string text = "System Error: " + SystemErrorText(code);
    if (text.size() > 1024) text.resize(1024);
    Source(file, line);
    // The system text carries its own line end; LogLine adds another, as the
    // original report format does.
    Line("%s", text.c_str());
}

namespace {
std::unique_ptr<ProgramLog>& Global() {
    static std::unique_ptr<ProgramLog> log;
    return log;
}
}  // namespace

void OpenProgramLog() {
    if (!Global()) Global() = std::make_unique<ProgramLog>("Kalvex.log");
}

void CloseProgramLog() { Global().reset(); }

ProgramLog* TheProgramLog() { return Global().get(); }

void LogLine(const char* format, ...) {
    ProgramLog* log = Global().get();
    if (!log) return;
    va_list ap;
    va_start(ap, format);
    log->LineV(format, ap);
    va_end(ap);
}

void LogLongLine(const char* format, ...) {
    ProgramLog* log = Global().get();
    if (!log) return;
    va_list ap;
    va_start(ap, format);
    log->LongLineV(format, ap);
    va_end(ap);
}

void LogTimestamp() {
    if (ProgramLog* log = Global().get()) log->Timestamp();
}

void LogSource(const char* file, int line) {
    if (ProgramLog* log = Global().get()) log->Source(file, line);
}

void LogSystemError(const char* file, int line, int code) {
    if (ProgramLog* log = Global().get()) log->SystemError(file, line, code);
}

std::string DescribeLastError(const std::string& what) {
    int code = GetLastError();
    std::string text = SystemErrorText(code);
    char buf[2048];
    std::snprintf(buf, sizeof buf, "%s failed with error %d: %s", what.c_str(), code, text.c_str());
    return buf;
}

}  // namespace kalvex

#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

namespace kalvex {

// The per-user program log "Kalvex.log" in AppDataFolder + "log". Opened
// once per process (OpenProgramLog, first thing in main); trimmed to its last
// 50,000 lines when longer; a header is written at every opening. Every
// writer does nothing while the log is closed. Each line is one write on a
// stdio stream, which serialises writes from several threads.
class ProgramLog {
public:
    static constexpr int kMaxLines = 50000;
    static constexpr const char* kVersion = "1.0.0.15";

    explicit ProgramLog(const std::string& fileName);
    ~ProgramLog();
    ProgramLog(const ProgramLog&) = delete;
    ProgramLog& operator=(const ProgramLog&) = delete;

    bool IsOpen() const { return stream_ != nullptr; }
    const std::string& Path() const { return path_; }

    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void LineV(const char* format, va_list ap);
    void LongLineV(const char* format, va_list ap);
    void Timestamp();
    void Source(const char* file, int line);
    void SystemError(const char* file, int line, int code);

private:
    void WriteHeader();
    FILE* stream_ = nullptr;
    std::string path_;
};

// The process-wide log. OpenProgramLog opens it (once); until then, and when
// opening failed, the writers below do nothing.
void OpenProgramLog();
void CloseProgramLog();
ProgramLog* TheProgramLog();

void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogLongLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogTimestamp();
void LogSource(const char* file, int line);
void LogSystemError(const char* file, int line, int code);

// "%s failed with error %d: %s" with the calling thread's last error code.
std::string DescribeLastError(const std::string& what);

// The OS line of the header without its "OS: " prefix, e.g. "Unknown 6.1.0 ".
std::string OsDescription();

}  // namespace kalvex

// A failure report: timestamp, message, then source tag and system text.
#define LOG_SYSTEM_ERROR(code) ::kalvex::LogSystemError(__FILE__, __LINE__, (code))

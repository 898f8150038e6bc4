#pragma once
// The automatic update: asking the product web server for the newest
// version, comparing it with ours, and the checksum of a downloaded
// installer. Plain code without windows; the main window starts the check on
// a thread of its own and shows the offer (CUpdateDlg).
#include <QObject>
#include <memory>
#include <mutex>
#include <string>

#include "platform/download/UrlDownload.h"

namespace kalvex {

// This program's version, "1.0.0.15" (the project version).
extern const char* const kProgramVersion;

// ProductServer() + "/ver_for_psp?ver=" + the program's version.
std::string VersionCheckUrl();
// ProductServer() + "/download/Kalvex_inst.deb": the Debian package of the
// newest version.
std::string InstallerUrl();
// AppDataFolder() + "ver": the server's answer, overwritten at every check.
std::string VersionFilePath();
// AppDataFolder() + "Kalvex_inst.deb": overwritten by every download.
std::string InstallerFilePath();

// Bounds of the version check (the check gives up within 20 s and never
// takes more than 64 KiB) and of the installer download (no byte for 30 s
// ends it, and so do 60 minutes in all or more than 200 MiB).
// Process-wide and changeable, so tests can shorten them.
constexpr uint64_t kInstallerMaxBytes = 200ull * 1024 * 1024;
DownloadLimits& VersionCheckLimits();
DownloadLimits& InstallerDownloadLimits();

// The update data the main window keeps: line 1 and line 2 of the version file.
struct UpdateInfo {
    std::string newestVersion;
    std::string secondLine;
};

// Reads the first two lines of a version file, line ends removed; a missing
// second line reads as empty. False when the file cannot be opened.
bool ReadVersionFile(const std::string& path, UpdateInfo* info);

// True when text is a version: 1 to 32 characters, digits and dots only.
// Anything else (an HTML page, binary bytes, an endless line) is no answer.
bool LooksLikeVersion(const std::string& text);

// True when `newest` names a later version than `current`. The two are
// compared as byte strings, not as numbers, so "1.0.0.9" is later than
// "1.0.0.15"; a text that is not a version never is.
bool IsNewerVersion(const std::string& newest, const std::string& current = kProgramVersion);

enum class UpdateCheckOutcome { DownloadFailed, Unreadable, UpToDate, NewerAvailable };
struct UpdateCheckResult {
    UpdateCheckOutcome outcome = UpdateCheckOutcome::DownloadFailed;
    UpdateInfo info;
};

// The version check: downloads VersionCheckUrl() into the version file and
// compares its first line with ours. Failures are logged, never shown.
UpdateCheckResult CheckForUpdate(const DownloadLimits& limits = VersionCheckLimits());

// The checksum step after a successful installer download. `expected` is
// the second line of the version file: empty (or not a 32-digit hexadecimal
// text) means no checksum was published and the step succeeds; otherwise the
// file's MD5 digest must equal it (without regard to case).
bool VerifyInstallerChecksum(const std::string& file, const std::string& expected);

// The file's MD5 digest as 32 lower-case hexadecimal digits; empty when the
// file cannot be read.
std::string FileMd5(const std::string& file);

// Between the check's thread and the main window: the thread stores the
// update data and then posts `message` to the window; the window reads the
// data when the message arrives. The window detaches itself before it goes
// away, after which nothing is posted.
class UpdateCheckChannel {
public:
    UpdateCheckChannel(QObject* window, unsigned message) : window_(window), message_(message) {}
    void Deliver(const UpdateInfo& info);
    UpdateInfo Data() const;
    void Detach();

private:
    mutable std::mutex mutex_;
    QObject* window_;
    unsigned message_;
    UpdateInfo info_;
};

// Runs CheckForUpdate on a worker thread (StartWorkerThread: the program's
// exit stops it and waits for it); a newer version is delivered through the
// channel.
void StartUpdateCheckThread(std::shared_ptr<UpdateCheckChannel> channel);

}  // namespace kalvex

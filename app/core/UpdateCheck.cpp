#include "app/core/UpdateCheck.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <cctype>
#include <fstream>

#include "common/ProgramLog.h"
#include "platform/download/DownloadCallback.h"
#include "platform/download/WorkerThreads.h"
#include "platform/messages/Messages.h"
#include "platform/system/Folders.h"

namespace kalvex {

const char* const kProgramVersion = KALVEX_VERSION;

namespace {
constexpr size_t kMaxVersionLength = 32;
constexpr size_t kMd5Digits = 32;

bool IsHexDigits(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string TrimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

void StripLineEnd(std::string* line) {
    while (!line->empty() && (line->back() == '\r' || line->back() == '\n')) line->pop_back();
}
}  // namespace

std::string VersionCheckUrl() { return ProductServer() + "/ver_for_psp?ver=" + kProgramVersion; }
std::string InstallerUrl() { return ProductServer() + "/download/Kalvex_inst.deb"; }
std::string VersionFilePath() { return AppDataFolder() + "ver"; }
std::string InstallerFilePath() { return AppDataFolder() + "Kalvex_inst.deb"; }

DownloadLimits& VersionCheckLimits() {
    static DownloadLimits limits{10000, 10000, 20000, 64 * 1024, 10};
    return limits;
}

DownloadLimits& InstallerDownloadLimits() {
    static DownloadLimits limits{30000, 30000, 60 * 60 * 1000, kInstallerMaxBytes, 10};
    return limits;
}

bool ReadVersionFile(const std::string& path, UpdateInfo* info) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    UpdateInfo read;
    if (std::getline(in, read.newestVersion)) {
        StripLineEnd(&read.newestVersion);
        if (std::getline(in, read.secondLine)) StripLineEnd(&read.secondLine);
    }
    *info = std::move(read);
    return true;
}

bool LooksLikeVersion(const std::string& text) {
    if (text.empty() || text.size() > kMaxVersionLength) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

bool IsNewerVersion(const std::string& newest, const std::string& current) {
    // std::string compares bytes as unsigned characters, as a multibyte
    // string comparison of these ASCII texts does.
    return LooksLikeVersion(newest) && newest.compare(current) > 0;
}

UpdateCheckResult CheckForUpdate(const DownloadLimits& limits) {
    UpdateCheckResult result;
    const std::string url = VersionCheckUrl();
    const std::string file = VersionFilePath();
    std::string error;
    // The program's exit stops the check (it waits for this thread).
    StopAtExitCallback stopAtExit;
    urlmon::HRESULT hr = URLDownloadToFile(url, file, &stopAtExit, limits, &error);
    if (hr != urlmon::S_OK) {
        LogLine("Update check: could not download %s (%08x): %s", url.c_str(), unsigned(hr), error.c_str());
        return result;
    }
    if (!ReadVersionFile(file, &result.info)) {
        LogLine("Update check: could not read %s", file.c_str());
        result.outcome = UpdateCheckOutcome::Unreadable;
        return result;
    }
    if (IsNewerVersion(result.info.newestVersion)) {
        LogLine("Update check: version %s is available", result.info.newestVersion.c_str());
        result.outcome = UpdateCheckOutcome::NewerAvailable;
    } else {
        if (!result.info.newestVersion.empty() && !LooksLikeVersion(result.info.newestVersion))
            LogLine("Update check: the server's answer is not a version");
        result.outcome = UpdateCheckOutcome::UpToDate;
    }
    return result;
}

std::string FileMd5(const std::string& file) {
    QFile f(QString::fromLocal8Bit(file.c_str()));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&f)) return {};
    return hash.result().toHex().toStdString();
}

bool VerifyInstallerChecksum(const std::string& file, const std::string& expected) {
    std::string digest = TrimBlanks(expected);
    if (digest.size() != kMd5Digits || !IsHexDigits(digest)) {
        if (!digest.empty()) LogLine("Update: no MD5 checksum published for %s", file.c_str());
        return true;
    }
    std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    std::string actual = FileMd5(file);
    if (actual != digest) {
        LogLine("Update: MD5 of %s is \"%s\", expected \"%s\"", file.c_str(), actual.c_str(), digest.c_str());
        return false;
    }
    return true;
}

void UpdateCheckChannel::Deliver(const UpdateInfo& info) {
    std::lock_guard lock(mutex_);
    info_ = info;
    if (window_) PostMessage(window_, message_, 0, 0);
}

UpdateInfo UpdateCheckChannel::Data() const {
    std::lock_guard lock(mutex_);
    return info_;
}

void UpdateCheckChannel::Detach() {
    std::lock_guard lock(mutex_);
    window_ = nullptr;
}

void StartUpdateCheckThread(std::shared_ptr<UpdateCheckChannel> channel) {
    DownloadLimits limits = VersionCheckLimits();
    StartWorkerThread([channel = std::move(channel), limits] {
        UpdateCheckResult r = CheckForUpdate(limits);
        if (r.outcome == UpdateCheckOutcome::NewerAvailable) channel->Deliver(r.info);
    });
}

}  // namespace kalvex

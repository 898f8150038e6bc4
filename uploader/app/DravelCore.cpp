#include "uploader/app/DravelCore.h"

#include <strings.h>

#include <QUuid>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/registry/RegistryStore.h"
#include "platform/shell/Shell.h"
#include "platform/system/Folders.h"
#include "uploader/http/HttpClient.h"

namespace kalvex::dravel {

const char* const kDefaultServer = "http://www.tesmora.net";

namespace {

const char kRegistryKey[] = "Software\\Kalvex";
const char kStarBurnMarker[] = "--- starburn.log ---\n";
// The answer is read to its end but not used; a server that keeps sending
// is not followed further than this.
constexpr size_t kMaxAnswerBytes = 1 << 20;

std::optional<RegistryKey> OpenKey() {
    // Read, create-subkey and set-value rights; created when missing.
    if (auto key = RegistryKey::Open(RegRoot::CurrentUser, kRegistryKey, true, true)) return key;
    // A store that cannot be written can still be read.
    return RegistryKey::Open(RegRoot::CurrentUser, kRegistryKey, false, false);
}

// Appends the whole of src to out; false when src cannot be read.
bool AppendFile(const std::string& src, FILE* out) {
    FILE* in = fopen(src.c_str(), "rb");
    if (!in) return false;
    char line[2048];
    size_t n;
    while ((n = fread(line, 1, sizeof line, in)) > 0) fwrite(line, 1, n, out);
    fclose(in);
    return true;
}

}  // namespace

std::string ProductServer() {
    const char* env = std::getenv("KALVEX_SERVER");
    std::string base = (env && *env) ? env : kDefaultServer;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

std::string UploadUrl() { return ProductServer() + kUploadPath; }

Mode ModeFor(const std::optional<std::string>& arg) {
    if (!arg) return Mode::StartConverter;
    if (arg->empty()) return Mode::Idle;
    if (strcasecmp(arg->c_str(), "USERUPLOAD") == 0) return Mode::UserUpload;
    if (strcasecmp(arg->c_str(), "BurnDVDFail") == 0) return Mode::BurnDvdFail;
    return Mode::Crash;
}

bool LooksLikeEmail(const std::string& text) {
    if (text.empty()) return false;
    size_t at = text.find('@');
    if (at == std::string::npos || at == text.size() - 1) return false;
    size_t dot = text.find('.');
    return dot != std::string::npos && dot > at && dot != text.size() - 1;
}

std::string ReadEmail() {
    auto key = OpenKey();
    if (!key) return {};
    return key->GetString("Email").value_or(std::string());
}

bool StoreEmail(const std::string& email) {
    auto key = OpenKey();
    return key && key->SetString("Email", email);
}

std::string UploadKey() {
    auto key = OpenKey();
    if (key) {
        if (auto v = key->GetString("UploadKey"); v && !v->empty()) return *v;
    }
    std::string fresh = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    if (key) key->SetString("UploadKey", fresh);
    return fresh;
}

int32_t TickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

namespace {
// A part of the upload file's name: at most 100 characters, none of them a
// path separator, a quote or a control character.
std::string NamePart(const std::string& text) {
    std::string part = text.substr(0, 100);
    for (char& c : part) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '/' || c == '\\' || c == '"') c = '_';
    }
    return part;
}
}  // namespace

std::string UploadName(const std::string& key, int32_t tick, const std::string& argument) {
    char tickText[16];
    snprintf(tickText, sizeof tickText, "%d", tick);
    return "Kalvex" + NamePart(key) + "_" + tickText + "_" + NamePart(argument) + ".txt";
}

uint32_t UploadDeadlineMs(const UploadJob& job, uint64_t fileBytes) {
    const uint64_t steps = (fileBytes + 102399) / 102400;
    const uint64_t ms = uint64_t(job.deadlineBaseMs) + steps * job.deadlineMsPer100KiB;
    return static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX - 1));
}

std::string ConverterLogPath() { return AppDataFolder() + "log/Kalvex.log"; }
std::string StarBurnLogPath() { return AppDataFolder() + "StarBurn.log"; }
std::string ConverterPath() { return CompanionFolder("Kalvex") + "Kalvex"; }

bool StartConverter() { return StartProgram(QString::fromStdString(ConverterPath()), {}); }

bool PrepareUploadFile(const std::string& uploadPath, const std::string& email) {
    // A copy of the converter's log (a missing log copies nothing); whatever
    // stood under that name before is not sent.
    std::error_code ec;
    std::filesystem::remove(uploadPath, ec);
    std::filesystem::copy_file(ConverterLogPath(), uploadPath, std::filesystem::copy_options::overwrite_existing, ec);

    FILE* out = fopen(uploadPath.c_str(), "a");
    if (!out) {
        std::filesystem::remove(uploadPath, ec);
        return false;
    }
    fputs(kStarBurnMarker, out);
    AppendFile(StarBurnLogPath(), out);
    fputs(kStarBurnMarker, out);
    fprintf(out, "Email:%s\n", email.c_str());
    bool ok = fflush(out) == 0 && !ferror(out);
    ok = fclose(out) == 0 && ok;
    if (!ok) std::filesystem::remove(uploadPath, ec);
    return ok;
}

int ProgressPercent(uint64_t posted, uint64_t total) {
    if (total == 0) return 0;
    return static_cast<int>(std::min<uint64_t>(posted * 100 / total, 100));
}

void RunUpload(const UploadJob& job, QObject* target) {
    Brask::CHttpClientT client;
    Brask::CHttpPostStatT stat;
    client.SetTimeouts(job.connectTimeoutMs, job.idleTimeoutMs);
    const std::string path = AppDataFolder() + "log/" + UploadName(UploadKey(), TickCount(), job.argument);

    bool completed = false;
    if (PrepareUploadFile(path, job.email)) {
        std::unique_ptr<Brask::CHttpResponseT> response;
        std::error_code sizeError;
        const uint64_t fileBytes = std::filesystem::file_size(path, sizeError);
        client.SetExchangeTimeout(UploadDeadlineMs(job, sizeError ? 0 : fileBytes));
        try {
            client.AddParam(kUploadField, path, true);
            client.StartUpload(job.url, false);
            for (;;) {
                client.GetUploadStat(stat);
                PostMessage(target, WM_UPLOAD_PROGRESS, stat.PostedByte(), stat.TotalByte());
                if ((response = client.ContinueUpload(1024))) break;
            }
            // The answer is read and not evaluated.
            response->GetStatus();
            response->GetStatusText();
            response->GetHeaders();
            char buffer[10239];
            size_t read = 0;
            while (read < kMaxAnswerBytes) {
                Brask::DWORD n = response->ReadContent(buffer, sizeof buffer);
                if (n == 0) break;
                read += n;
            }
            response.reset();
            completed = true;
        } catch (const std::exception&) {
            response.reset();
            client.CancelUpload();
        }
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    PostMessage(target, WM_UPLOAD_DONE, completed ? 1 : 0);
}

}  // namespace kalvex::dravel

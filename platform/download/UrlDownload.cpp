#include "platform/download/UrlDownload.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <vector>

namespace kalvex {

const char* const kDefaultProductServer = "http://www.tesmora.net";

std::string ProductServer() {
    const char* env = std::getenv("KALVEX_SERVER");
    std::string base = (env && *env) ? env : kDefaultProductServer;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

namespace {

using namespace urlmon;
using Clock = std::chrono::steady_clock;

// While nothing changes the callback is still asked this often, so that a
// cancel is seen during a stall.
constexpr auto kIdleReportInterval = std::chrono::milliseconds(250);

struct Transfer {
    FILE* out = nullptr;
    uint64_t written = 0;
    uint64_t maxBytes = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    int writeErrno = 0;
    IBindStatusCallback* callback = nullptr;
    bool aborted = false;
    bool reported = false;
    uint32_t lastNow = 0;
    uint32_t lastTotal = 0;
    Clock::time_point lastCall{};
};

uint32_t Clamp32(curl_off_t v) {
    if (v <= 0) return 0;
    if (v > curl_off_t(std::numeric_limits<uint32_t>::max())) return std::numeric_limits<uint32_t>::max();
    return uint32_t(v);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (t->maxBytes && t->written + bytes > t->maxBytes) {
        t->tooLarge = true;
        return 0;  // ends the transfer with a write error
    }
    if (bytes && std::fwrite(data, 1, bytes, t->out) != bytes) {
        t->writeFailed = true;
        t->writeErrno = errno;
        return 0;
    }
    t->written += bytes;
    return bytes;
}

// Asks the callback; false when it wants the transfer stopped.
bool Report(Transfer* t, uint32_t now, uint32_t total) {
    t->reported = true;
    t->lastNow = now;
    t->lastTotal = total;
    t->lastCall = Clock::now();
    if (t->callback->OnProgress(now, total) != S_OK) {
        t->aborted = true;
        return false;
    }
    return true;
}

int OnTransferProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    if (!t->callback) return 0;
    uint32_t now = Clamp32(dlnow), total = Clamp32(dltotal);
    bool changed = !t->reported || now != t->lastNow || total != t->lastTotal;
    if (!changed && Clock::now() - t->lastCall < kIdleReportInterval) return 0;
    return Report(t, now, total) ? 0 : 1;
}

HRESULT MapCurlError(CURLcode rc, long status, const Transfer& t) {
    switch (rc) {
        case CURLE_ABORTED_BY_CALLBACK: return t.aborted ? E_ABORT : INET_E_DOWNLOAD_FAILURE;
        case CURLE_WRITE_ERROR:
            if (t.tooLarge) return INET_E_DATA_TOO_LARGE;
            return t.writeFailed ? E_FAIL : INET_E_DOWNLOAD_FAILURE;
        case CURLE_FILESIZE_EXCEEDED: return INET_E_DATA_TOO_LARGE;
        case CURLE_HTTP_RETURNED_ERROR: return status == 404 ? INET_E_RESOURCE_NOT_FOUND : INET_E_DOWNLOAD_FAILURE;
        case CURLE_OPERATION_TIMEDOUT: return INET_E_CONNECTION_TIMEOUT;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return INET_E_CANNOT_CONNECT;
        case CURLE_TOO_MANY_REDIRECTS: return INET_E_REDIRECT_FAILED;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return INET_E_INVALID_URL;
        default: return INET_E_DOWNLOAD_FAILURE;
    }
}

// Creates a new file named `file` + "." + six random characters, for
// writing. It is created with mode 0666 and the kernel applies the process's
// umask, so it gets the permissions an ordinary new file gets; the umask
// itself is never read or set here (setting it, even for a moment, would
// change the mode of files other threads create meanwhile).
int CreatePartFile(const std::string& file, std::string* path) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = file + ".";
        {
            std::lock_guard lock(mutex);
            for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof kChars - 1)];
        }
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *path = name;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

}  // namespace

HRESULT URLDownloadToFile(const std::string& url, const std::string& file, IBindStatusCallback* callback,
                          const DownloadLimits& limits, std::string* error) {
    static std::once_flag once;
    static CURLcode globalInit = CURLE_OK;
    std::call_once(once, [] { globalInit = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (globalInit != CURLE_OK) {
        SetError(error, std::string("curl_global_init: ") + curl_easy_strerror(globalInit));
        return INET_E_DOWNLOAD_FAILURE;
    }

    // The answer goes into a temporary file beside the target first.
    std::string partPath;
    int fd = CreatePartFile(file, &partPath);
    if (fd < 0) {
        SetError(error, "Could not create " + file + ".XXXXXX: " + std::strerror(errno));
        return E_FAIL;
    }
    Transfer t;
    t.out = fdopen(fd, "wb");
    if (!t.out) {
        SetError(error, "Could not open " + partPath + ": " + std::strerror(errno));
        close(fd);
        unlink(partPath.c_str());
        return E_FAIL;
    }
    t.maxBytes = limits.maxBytes;
    t.callback = callback;

    CURL* curl = curl_easy_init();
    if (!curl) {
        SetError(error, "curl_easy_init failed");
        std::fclose(t.out);
        unlink(partPath.c_str());
        return INET_E_DOWNLOAD_FAILURE;
    }
    char curlError[CURL_ERROR_SIZE] = {};
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_ERRORBUFFER, curlError);
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FAILONERROR, 1L);
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, limits.maxRedirects);
    set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    if (limits.totalTimeoutMs > 0) set(CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
    if (limits.stallTimeoutMs > 0) {
        set(CURLOPT_LOW_SPEED_LIMIT, 1L);
        set(CURLOPT_LOW_SPEED_TIME, std::max(1L, (limits.stallTimeoutMs + 999) / 1000));
    }
    if (limits.maxBytes > 0) set(CURLOPT_MAXFILESIZE_LARGE, curl_off_t(limits.maxBytes));
    set(CURLOPT_WRITEFUNCTION, &WriteBody);
    set(CURLOPT_WRITEDATA, &t);
    set(CURLOPT_XFERINFOFUNCTION, &OnTransferProgress);
    set(CURLOPT_XFERINFODATA, &t);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_USERAGENT, "Kalvex");
    if (rc != CURLE_OK) {
        SetError(error, std::string("curl_easy_setopt: ") + curl_easy_strerror(rc));
        curl_easy_cleanup(curl);
        std::fclose(t.out);
        unlink(partPath.c_str());
        return INET_E_DOWNLOAD_FAILURE;
    }

    rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t total = 0;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
    curl_easy_cleanup(curl);

    HRESULT result = S_OK;
    if (rc != CURLE_OK) {
        result = MapCurlError(rc, status, t);
        std::string text = std::string(curl_easy_strerror(rc));
        if (curlError[0]) text += std::string(": ") + curlError;
        if (t.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) text = "the answer is larger than " + std::to_string(limits.maxBytes) + " bytes";
        if (t.writeFailed) text = "Could not write " + partPath + ": " + std::strerror(t.writeErrno);
        if (t.aborted) text = "stopped by the status callback";
        SetError(error, text);
    } else if (callback) {
        // The last counts, unless the callback has seen them already.
        uint32_t now = Clamp32(curl_off_t(t.written)), all = Clamp32(total > 0 ? total : 0);
        if (!t.reported || now != t.lastNow || all != t.lastTotal) {
            if (!Report(&t, now, all)) {
                result = E_ABORT;
                SetError(error, "stopped by the status callback");
            }
        }
    }

    bool flushed = std::fflush(t.out) == 0 && fsync(fileno(t.out)) == 0;
    int flushErrno = errno;
    bool closed = std::fclose(t.out) == 0;
    if (result == S_OK && !(flushed && closed)) {
        SetError(error, "Could not write " + partPath + ": " + std::strerror(flushed ? errno : flushErrno));
        result = E_FAIL;
    }
    if (result == S_OK && std::rename(partPath.c_str(), file.c_str()) != 0) {
        SetError(error, "Could not rename " + partPath + " to " + file + ": " + std::strerror(errno));
        result = E_FAIL;
    }
    if (result != S_OK) unlink(partPath.c_str());
    return result;
}

}  // namespace kalvex

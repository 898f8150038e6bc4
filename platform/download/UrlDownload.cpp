#include "platform/download/UrlDownload.h"

#include <chrono>
#include <cstdlib>
#include <limits>

#include "platform/http/HttpTransport.h"

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

// Hands the transfer's counts to the status callback: whenever they change,
// and while they stand still at most every kIdleReportInterval.
struct Reporter {
    IBindStatusCallback* callback = nullptr;
    bool aborted = false;
    bool reported = false;
    uint32_t lastNow = 0;
    uint32_t lastTotal = 0;
    Clock::time_point lastCall{};

    // Asks the callback; false when it wants the transfer stopped.
    bool Report(uint32_t now, uint32_t total) {
        reported = true;
        lastNow = now;
        lastTotal = total;
        lastCall = Clock::now();
        if (callback->OnProgress(now, total) != S_OK) {
            aborted = true;
            return false;
        }
        return true;
    }
    bool OnCounts(uint64_t received, uint64_t total) {
        uint32_t now = Clamp32(received), all = Clamp32(total);
        bool changed = !reported || now != lastNow || all != lastTotal;
        if (!changed && Clock::now() - lastCall < kIdleReportInterval) return true;
        return Report(now, all);
    }
    static uint32_t Clamp32(uint64_t v) {
        return v > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max() : uint32_t(v);
    }
};

HRESULT MapKind(const http::Result& r) {
    switch (r.kind) {
        case http::ErrorKind::None: return S_OK;
        case http::ErrorKind::Cancelled: return E_ABORT;
        case http::ErrorKind::LocalFile: return E_FAIL;
        case http::ErrorKind::TooLarge: return INET_E_DATA_TOO_LARGE;
        case http::ErrorKind::HttpStatus: return r.status == 404 ? INET_E_RESOURCE_NOT_FOUND : INET_E_DOWNLOAD_FAILURE;
        case http::ErrorKind::Timeout: return INET_E_CONNECTION_TIMEOUT;
        case http::ErrorKind::CannotConnect: return INET_E_CANNOT_CONNECT;
        case http::ErrorKind::TooManyRedirects: return INET_E_REDIRECT_FAILED;
        case http::ErrorKind::InvalidUrl: return INET_E_INVALID_URL;
        case http::ErrorKind::Transfer: return INET_E_DOWNLOAD_FAILURE;
    }
    return INET_E_DOWNLOAD_FAILURE;
}

void SetError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

}  // namespace

HRESULT URLDownloadToFile(const std::string& url, const std::string& file, IBindStatusCallback* callback,
                          const DownloadLimits& limits, std::string* error) {
    // The answer goes into a temporary file beside the target first; it
    // replaces the target only once complete.
    http::FileSink sink(file);
    if (!sink.IsOpen()) {
        SetError(error, sink.Error());
        return E_FAIL;
    }
    Reporter reporter;
    reporter.callback = callback;

    http::Request request;
    request.url = url;
    request.limits.connectTimeoutMs = limits.connectTimeoutMs;
    request.limits.idleTimeoutMs = limits.stallTimeoutMs;
    request.limits.deadlineMs = limits.totalTimeoutMs;
    request.limits.maxBodyBytes = limits.maxBytes;
    request.limits.maxRedirects = limits.maxRedirects;
    if (callback)
        request.progress = [&reporter](const http::Progress& p) { return reporter.OnCounts(p.received, p.receiveTotal); };

    http::Result result = http::Perform(request, sink);
    HRESULT hr = MapKind(result);
    if (hr != S_OK) {
        SetError(error, hr == E_ABORT ? std::string("stopped by the status callback") : result.error);
        return hr;  // the sink removes its file
    }
    if (callback) {
        // The last counts, unless the callback has seen them already.
        uint32_t now = Reporter::Clamp32(result.bodyBytes);
        uint32_t all = Reporter::Clamp32(result.contentLength > 0 ? uint64_t(result.contentLength) : 0);
        if (!reporter.reported || now != reporter.lastNow || all != reporter.lastTotal) {
            if (!reporter.Report(now, all)) {
                SetError(error, "stopped by the status callback");
                return E_ABORT;
            }
        }
    }
    if (!sink.Commit()) {
        SetError(error, sink.Error());
        return E_FAIL;
    }
    return S_OK;
}

}  // namespace kalvex

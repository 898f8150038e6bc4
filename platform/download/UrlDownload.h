#pragma once
// Downloading a URL to a local file, with a status callback that sees the
// progress and may stop the transfer. The HTTP transport does the transfer.
//
// The file is written under a temporary name beside the target and renamed
// only when the transfer is complete, so a failed, stopped or cancelled
// download never leaves a half-written file: the previous file of that name,
// if any, stays as it was.
#include <cstdint>
#include <string>

namespace kalvex {

namespace urlmon {
using HRESULT = int32_t;
constexpr HRESULT S_OK = 0;
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);          // stopped by the callback
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);           // local file could not be written
constexpr HRESULT INET_E_INVALID_URL = static_cast<HRESULT>(0x800C0002u);
constexpr HRESULT INET_E_CANNOT_CONNECT = static_cast<HRESULT>(0x800C0004u);
constexpr HRESULT INET_E_RESOURCE_NOT_FOUND = static_cast<HRESULT>(0x800C0005u);  // HTTP 404
constexpr HRESULT INET_E_DOWNLOAD_FAILURE = static_cast<HRESULT>(0x800C0008u);
constexpr HRESULT INET_E_CONNECTION_TIMEOUT = static_cast<HRESULT>(0x800C000Bu);
constexpr HRESULT INET_E_REDIRECT_FAILED = static_cast<HRESULT>(0x800C0014u);
constexpr HRESULT INET_E_DATA_TOO_LARGE = static_cast<HRESULT>(0x800C0100u);     // over maxBytes
}  // namespace urlmon

// The download status callback. OnProgress sees the bytes received so far and
// the total announced by the server (0 when the server gave none); any
// answer other than S_OK stops the transfer, which then ends with E_ABORT.
// It is called on the downloading thread whenever the counts change, and
// also while the transfer waits for data (about once a second), so a stop
// request is seen even when nothing arrives.
class IBindStatusCallback {
public:
    virtual ~IBindStatusCallback() = default;
    virtual urlmon::HRESULT OnProgress(uint32_t progress, uint32_t progressMax) = 0;
};

// Bounds on one download; every wait is bounded even when a server accepts
// the connection and then never answers.
struct DownloadLimits {
    long connectTimeoutMs = 30000;  // name look-up and connect
    long stallTimeoutMs = 30000;    // no byte arriving for this long ends the transfer
    long totalTimeoutMs = 0;        // the whole transfer; 0 = no limit
    uint64_t maxBytes = 0;          // larger answers fail; 0 = no limit
    long maxRedirects = 10;         // a redirect loop fails after this many
};

// Downloads url into file. S_OK when the whole answer arrived and the file
// is in place; E_ABORT when the callback stopped it; another failure code
// otherwise (HTTP status 400 and above counts as failure). On failure the
// file is left untouched and *error (when given) gets the reason with the
// library's own text.
urlmon::HRESULT URLDownloadToFile(const std::string& url, const std::string& file, IBindStatusCallback* callback,
                                  const DownloadLimits& limits = {}, std::string* error = nullptr);

// The product web server: KALVEX_SERVER when set, otherwise the maker's
// server; never with a trailing "/".
std::string ProductServer();
extern const char* const kDefaultProductServer;

}  // namespace kalvex

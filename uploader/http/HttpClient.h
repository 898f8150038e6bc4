#pragma once
// A small HTTP form-post client: one request with ordered parameters (text
// values and files), posted as multipart/form-data in steps of a chosen
// size so that the caller can show progress between them, and the answer.
// Every failure is reported by throwing httpclientexceptionA.
//
// The client lays the body out itself, byte for byte (boundary, part
// headers, closing lines), and streams it piece by piece through the
// program's HTTP transport, which connects, writes the request head with the
// announced length and reads the answer.
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kalvex::http {
class Exchange;
}

namespace Brask {

using DWORD = uint32_t;

// The Internet flags a request is opened with; they decide the cache
// headers the request carries.
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
constexpr DWORD INTERNET_FLAG_RESYNCHRONIZE = 0x00000800;
constexpr DWORD INTERNET_FLAG_HYPERLINK = 0x00000400;
constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200;
constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;

// How the session finds its proxy.
constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;  // the system's settings (environment)
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;

// Default time-outs of a client (milliseconds).
constexpr DWORD kDefaultConnectTimeoutMs = 30000;
constexpr DWORD kDefaultIdleTimeoutMs = 30000;

// The reason a failed Internet step leaves as the system error code of its
// exception.
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;

// Error codes: 100 and up the library's own, 400 and up failed Internet
// calls, 600 and up failed file calls. Only the codes this client throws
// have names; the message table (CHttpToolA::GetConstMessage) knows every
// code, and any code above 999 as a user-defined one.
enum : DWORD {
    HTTPCLIENT_ERR_UNEXPECTED_ERROR = 100,
    HTTPCLIENT_ERR_OUT_OF_RANGE = 101,
    HTTPCLIENT_ERR_OUT_OF_MEMORY = 102,
    HTTPCLIENT_ERR_INVALID_URL = 103,
    HTTPCLIENT_ERR_POST_NOT_STARTED = 104,
    HTTPCLIENT_ERR_READ_UNEXPECTED_SIZE = 105,
    HTTPCLIENT_ERR_POST_NOT_FINISHED = 106,
    HTTPCLIENT_ERR_INVALID_PORT = 107,
    HTTPCLIENT_ERR_STD_EXCEPTION = 108,
    HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW = 112,
    HTTPCLIENT_ERR_FILE_ALREADY_EXISTS = 114,

    HTTPCLIENT_ERR_HTTPQUERYINFO_FAILED = 400,
    HTTPCLIENT_ERR_HTTPADDREQUESTHEADERS_FAILED = 405,
    HTTPCLIENT_ERR_HTTPSENDREQUESTEX_FAILED = 407,
    HTTPCLIENT_ERR_INTERNETWRITEFILE_FAILED = 408,
    HTTPCLIENT_ERR_HTTPENDREQUEST_FAILED = 409,

    HTTPCLIENT_ERR_READFILE_FAILED = 602,
    HTTPCLIENT_ERR_OPENFILE_FAILED = 603,
    HTTPCLIENT_ERR_SETFILEPOINTER_FAILED = 604,
    HTTPCLIENT_ERR_GETFILESIZE_FAILED = 605,
};

// What went wrong: the message, the library's code and the system's last
// error code at the point of failure; for a failed Internet step also the
// transport's own account of it (libcurl's text).
class httpclientexceptionA : public std::exception {
public:
    explicit httpclientexceptionA(std::string message, DWORD code = HTTPCLIENT_ERR_UNEXPECTED_ERROR,
                                  DWORD win32Error = 0, std::string detail = std::string())
        : message_(std::move(message)), code_(code), win32_(win32Error), detail_(std::move(detail)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const char* errmsg() const noexcept { return message_.c_str(); }
    DWORD LastError() const noexcept { return code_; }
    DWORD Win32LastError() const noexcept { return win32_; }
    const std::string& Detail() const noexcept { return detail_; }

private:
    std::string message_;
    DWORD code_;
    DWORD win32_;
    std::string detail_;
};

// The multipart boundary and content type used when no GUID can be made.
extern const char* const kFallbackBoundary;     // "----BRASK-FB3B...096-"
extern const char* const kFallbackContentType;  // "multipart/form-data; boundary=" + the above

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};

// The parts of an HTTP(S) URL the client needs.
struct UrlParts {
    bool https = false;
    std::string host;
    uint16_t port = 0;
    std::string user;
    std::string password;
    std::string object;  // path and query, starting with "/"
};

// The message table, the boundary, URL splitting and thin wrappers of the
// file calls: each throws httpclientexceptionA with its code when the call
// fails.
class CHttpToolA {
public:
    // The message of a code; "%s" in it stands for a file path.
    static const char* GetConstMessage(DWORD code);
    [[noreturn]] static void ThrowException(DWORD code, DWORD win32Error = 0, const char* arg = nullptr);
    [[noreturn]] static void ThrowException(const std::string& message, DWORD code, DWORD win32Error = 0);
    // The exception of a failed Internet step: the code's message, the
    // reason as a system error code and the transport's text.
    [[noreturn]] static void ThrowInternet(DWORD code, const kalvex::http::Exchange& exchange);
    static DWORD LastSystemError();

    // "----TORMA-" + the GUID's fields in lower-case hex + "-" (43 characters);
    // the fixed fallback when guid is null.
    static std::string MakeBoundary(const Guid* guid);
    // A fresh random GUID; false when none can be made.
    static bool CreateGuid(Guid& guid);

    // Splits an http or https URL: 103 for a URL that is not one, 107 for a
    // bad port.
    static UrlParts CrackUrl(const std::string& url);

    // Files: opened for shared sequential reading; regular files only.
    static int OpenFileForRead(const std::string& path);
    static uint64_t GetFileSize(int fd, const std::string& path);
    // Reads exactly size bytes; 105 when the file has fewer.
    static void ReadExactly(int fd, void* buffer, DWORD size);
    // The sniffed MIME type of the file's first 256 bytes, or
    // "application/octet-stream"; the read position is left at the start.
    static std::string GetMimeType(int fd);
};

// The ordered parameter list of a request.
class CHttpClientMapT {
public:
    struct Entry {
        std::string name;
        std::string value;  // for a file: its local path
        bool isFile = false;
    };
    void Add(const std::string& name, const std::string& value, bool isFile);
    void Clear() { entries_.clear(); }
    DWORD Count() const { return static_cast<DWORD>(entries_.size()); }
    bool Empty() const { return entries_.empty(); }
    const Entry& Get(DWORD index) const;  // 101 when out of range
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

// Progress counters of an upload; every getter but IsActive throws when the
// counters were taken while no upload was active.
class CHttpPostStatT {
public:
    bool IsActive() const { return active_; }
    DWORD TotalByte() const;           // whole request body
    DWORD PostedByte() const;          // body bytes written so far
    DWORD ActualTotalByte() const;     // the parameters' own data bytes
    DWORD ActualPostedByte() const;    // of these, written so far
    DWORD TotalCount() const;          // parameters
    DWORD PostedCount() const;         // parameters done
    DWORD FileCount() const;           // file parameters
    DWORD PostedFileCount() const;     // file parameters done
    std::string CurrParam() const;     // name of the current parameter ("" before the first)
    DWORD CurrParamTotalByte() const;
    DWORD CurrParamPostedByte() const;
    DWORD CurrParamRemainByte() const;
    bool CurrParamIsFile() const;
    bool CurrParamIsComplete() const;

private:
    friend class CHttpClientT;
    void Check(const char* what) const;
    bool active_ = false;
    DWORD total_ = 0, posted_ = 0, actualTotal_ = 0, actualPosted_ = 0;
    DWORD paramCount_ = 0, paramsDone_ = 0, fileCount_ = 0, filesDone_ = 0;
    std::string currName_;
    DWORD currTotal_ = 0, currPosted_ = 0;
    bool currIsFile_ = false, currComplete_ = true;
};

// The server's answer. Owns the request's connection; deleting it closes it.
// The answer's body is read in full when the request ends (at most
// kMaxAnswerBytes of it are kept) and handed out by ReadContent.
class CHttpResponseT {
public:
    ~CHttpResponseT();
    CHttpResponseT(const CHttpResponseT&) = delete;
    CHttpResponseT& operator=(const CHttpResponseT&) = delete;

    DWORD GetStatus() const { return status_; }
    const std::string& GetStatusText() const { return statusText_; }
    // The value of a header (name compared without case); index picks among
    // repeated headers.
    std::optional<std::string> GetHeader(const std::string& name, DWORD index = 0) const;
    // Status line and headers, each ending in CRLF, then an empty line.
    std::string GetHeaders() const;
    // False when the server sent no Content-Length.
    bool GetContentLength(DWORD& length) const;
    // Reads body bytes; 0 at the end. cbBuff 0 throws.
    DWORD ReadContent(char* buffer, DWORD cbBuff);

    static constexpr uint64_t kMaxAnswerBytes = 16u << 20;

private:
    friend class CHttpClientT;
    explicit CHttpResponseT(std::unique_ptr<kalvex::http::Exchange> exchange);
    std::unique_ptr<kalvex::http::Exchange> exchange_;
    DWORD status_ = 0;
    std::string statusText_;
    size_t readOffset_ = 0;
};

class CHttpClientT {
public:
    static constexpr DWORD kReadBufferSize = 57344;  // 0xE000: one file piece
    static constexpr const char* kDefaultAgent = "Brask HTTP Client Class";

    CHttpClientT();
    ~CHttpClientT();
    CHttpClientT(const CHttpClientT&) = delete;
    CHttpClientT& operator=(const CHttpClientT&) = delete;

    const std::string& Boundary() const { return boundary_; }
    const std::string& ContentType() const { return contentType_; }

    // Connect time-out and idle time-out (every wait for the server), in ms.
    void SetTimeouts(DWORD connectMs, DWORD idleMs);
    // The time the whole exchange may take, from connecting to the end of
    // the answer, in ms; 0 (the default) sets no limit. Past it the upload
    // fails as a broken connection does.
    void SetExchangeTimeout(DWORD ms) { exchangeTimeoutMs_ = ms; }
    // Headers added to every request.
    void AddHeader(const std::string& name, const std::string& value);
    // Strict: a file that cannot be opened fails StartUpload (603) instead
    // of being sent with 0 bytes.
    void SetStrictFileCheck(bool strict) { strictFileCheck_ = strict; }

    void AddParam(const std::string& name, const std::string& value, bool isFile = false);
    void ClearParam();
    const CHttpClientMapT& Params() const { return params_; }

    // The Internet request flags for a use-cache choice.
    static DWORD RequestFlags(bool useCache);

    void StartUpload(const std::string& url, bool useCache = false);
    bool IsPostActive() const { return ctx_ != nullptr; }
    void GetUploadStat(CHttpPostStatT& stat) const;
    // Writes the next piece of at most nDesired data bytes; returns the
    // answer once the whole body is written and the request has ended.
    std::unique_ptr<CHttpResponseT> ContinueUpload(DWORD nDesired);
    // Ends an active upload: closes its handles and files. Never throws.
    void CancelUpload() noexcept;

private:
    struct Context;
    void ProceedUploadContext(DWORD nDesired, std::unique_ptr<CHttpResponseT>* response);
    void Write(const void* data, DWORD size, bool isData);
    void WriteText(const std::string& text) { Write(text.data(), static_cast<DWORD>(text.size()), false); }
    void FinishCurrent();

    std::string boundary_;
    std::string contentType_;
    std::string agent_ = kDefaultAgent;
    DWORD accessType_ = INTERNET_OPEN_TYPE_PRECONFIG;
    std::string proxy_;
    std::string proxyBypass_;
    DWORD connectTimeoutMs_ = kDefaultConnectTimeoutMs;
    DWORD idleTimeoutMs_ = kDefaultIdleTimeoutMs;
    DWORD exchangeTimeoutMs_ = 0;
    std::vector<std::pair<std::string, std::string>> headers_;
    bool strictFileCheck_ = false;
    CHttpClientMapT params_;
    std::unique_ptr<Context> ctx_;
};

}  // namespace Brask

#pragma once
// The program's one HTTP client, over libcurl. Every transfer the program
// makes goes through here: the download service (update check, installer,
// codec pack, their signatures), the subtitle web list and the uploader's
// form post.
//
// A request names the URL, the method, extra headers and a body (bytes, a
// multipart form that libcurl builds, or a body the caller streams piece by
// piece through an Exchange). Every wait is bounded by the limits: connect
// time-out, idle time-out (nothing moving), an overall deadline, the size
// of the answer's body and the number of redirects. A progress callback
// sees the counts and may stop the transfer. The answer's body goes to a
// sink (memory or a file). The result carries the status, the headers, an
// error kind and libcurl's own text; the caller logs it once.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kalvex::http {

enum class ErrorKind {
    None,
    InvalidUrl,        // not an http(s) URL, or a malformed one
    CannotConnect,     // name look-up or connect failed (refused, unreachable)
    Timeout,           // connect time-out, idle time-out or the deadline
    TooLarge,          // the answer's body is larger than maxBodyBytes
    TooManyRedirects,  // more than maxRedirects redirects (a loop)
    HttpStatus,        // the server answered 400 or above (Result::status)
    Cancelled,         // the progress callback asked to stop
    LocalFile,         // a local file could not be read (a form's file) or written (the sink)
    Transfer,          // the connection broke, the answer was not HTTP, TLS failed, ...
};

// A short English name of the kind, for log lines.
const char* KindName(ErrorKind kind);

struct Limits {
    long connectTimeoutMs = 30000;  // name look-up and connect
    long idleTimeoutMs = 30000;     // no byte moving for this long ends the transfer; 0 = no limit
    long deadlineMs = 0;            // the whole transfer; 0 = no limit
    uint64_t maxBodyBytes = 0;      // a larger answer fails with TooLarge; 0 = no limit
    long maxRedirects = 10;         // followed redirects; one more fails with TooManyRedirects
};

// How the proxy is found.
enum class ProxyMode {
    System,    // libcurl's default: the http_proxy / https_proxy / no_proxy environment
    Direct,    // never a proxy
    Explicit,  // Request::proxy, bypassed for Request::noProxy
};

// One field of a multipart form (multipart/form-data, built by libcurl).
struct FormField {
    std::string name;
    std::string value;        // a text field's value
    std::string filePath;     // non-empty: the field's data is this file's bytes
    std::string fileName;     // the file name sent; empty: the base name of filePath
    std::string contentType;  // empty: libcurl's choice
};

struct Progress {
    uint64_t received = 0;
    uint64_t receiveTotal = 0;  // 0 while unknown
    uint64_t sent = 0;
    uint64_t sendTotal = 0;
};

struct Request {
    std::string url;
    std::string method = "GET";        // GET or POST (a body or a form makes it a POST)
    std::vector<std::string> headers;  // "Name: value"; "Name:" removes a header libcurl would add
    std::string body;                  // sent as is when the method is POST and there is no form
    std::vector<FormField> form;       // non-empty: the body is this multipart form
    std::string userAgent = "Kalvex";
    Limits limits;
    bool followRedirects = true;
    bool failOnHttpError = true;  // 400 and above end the transfer with HttpStatus, no body kept
    ProxyMode proxyMode = ProxyMode::System;
    std::string proxy;
    std::string noProxy;
    // Called while the transfer runs (whenever the counts change and, while
    // nothing arrives, about once a second); false stops it with Cancelled.
    std::function<bool(const Progress&)> progress;
};

struct Result {
    ErrorKind kind = ErrorKind::None;
    long status = 0;          // the last answer's status code; 0 when none arrived
    std::string statusText;   // its reason phrase ("OK", "Not Found", ...)
    std::string rawHeaders;   // its status line and header lines, each ending in CRLF, then CRLF
    std::vector<std::pair<std::string, std::string>> headers;  // name and value, in order
    std::string error;        // what failed, with libcurl's own text; empty on success
    uint64_t bodyBytes = 0;   // body bytes handed to the sink
    uint64_t sentBytes = 0;   // request body bytes sent
    int64_t contentLength = -1;  // the length the answer announced; -1 when it announced none

    bool ok() const { return kind == ErrorKind::None; }
    // The value of a header, name compared without case; index picks among
    // repeated headers.
    std::optional<std::string> Header(const std::string& name, size_t index = 0) const;
};

// Where the answer's body goes. Write returns false when the bytes cannot be
// taken; the transfer then ends with LocalFile and Error() tells why.
class BodySink {
public:
    virtual ~BodySink() = default;
    virtual bool Write(const char* data, size_t size) = 0;
    virtual std::string Error() const { return "the body could not be stored"; }
};

class MemorySink : public BodySink {
public:
    bool Write(const char* data, size_t size) override {
        data_.append(data, size);
        return true;
    }
    const std::string& Data() const { return data_; }
    std::string& Data() { return data_; }

private:
    std::string data_;
};

// Writes into a new file beside the target ("<target>.XXXXXX", created
// exclusively with the usual permissions of a new file). Commit() flushes
// it to disk and renames it over the target; a sink destroyed without a
// successful Commit() removes its file, so a failed transfer never leaves
// a partial file and never touches the target.
class FileSink : public BodySink {
public:
    explicit FileSink(std::string target);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& PartPath() const { return partPath_; }
    bool Write(const char* data, size_t size) override;
    std::string Error() const override { return error_; }
    bool Commit();
    void Discard();

private:
    std::string target_;
    std::string partPath_;
    int fd_ = -1;
    std::string error_;
};

// Runs one request to its end.
Result Perform(const Request& request, BodySink& sink);

// One request whose body the caller hands over in pieces, with the answer's
// body kept in memory: Start connects and sends the request head announcing
// bodyLength bytes, Send hands over the next piece and returns once libcurl
// has taken all of it, Finish waits for the whole answer. Each step waits at
// most the idle time-out for anything to move, and none goes past the
// deadline counted from Start. After a failed step the exchange is over:
// result() says why. Redirects are not followed.
class Exchange {
public:
    // The request's method, URL, headers, agent, limits and proxy are used;
    // its body and form are not. answerLimit: body bytes of the answer that
    // are kept; the rest is not read (0 = all).
    Exchange(Request request, uint64_t bodyLength, uint64_t answerLimit = 0);
    ~Exchange();
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    bool Start();
    bool Send(const void* data, size_t size);
    bool Finish();

    uint64_t Sent() const;
    const Result& result() const;
    const std::string& Body() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace kalvex::http

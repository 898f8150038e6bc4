#include "platform/http/HttpTransport.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>

namespace kalvex::http {

namespace {

using Clock = std::chrono::steady_clock;

// libcurl's global state is set up once, before the first handle.
CURLcode GlobalInit() {
    static std::once_flag once;
    static CURLcode rc = CURLE_OK;
    std::call_once(once, [] { rc = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return rc;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

uint64_t Positive(curl_off_t v) { return v > 0 ? uint64_t(v) : 0; }

// What one transfer collects through libcurl's callbacks.
struct Context {
    BodySink* sink = nullptr;
    uint64_t maxBody = 0;
    uint64_t answerLimit = 0;  // Exchange: body bytes kept; the rest is not read
    uint64_t bodyBytes = 0;
    bool tooLarge = false;
    bool sinkFailed = false;
    bool answerFull = false;
    bool cancelled = false;
    long idleMs = 0;        // Perform: nothing moving for this long ends the transfer
    bool idleExpired = false;
    CURL* curl = nullptr;   // Perform: to learn when the connection stands
    bool connected = false;
    bool headEnded = false;  // the blank line after the headers came; what follows are trailers
    const std::function<bool(const Progress&)>* progress = nullptr;
    Result result;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Clock::time_point lastActivity = Clock::now();
    Progress lastCounts;

    // Exchange: the piece handed over by Send and not yet taken.
    const char* pending = nullptr;
    size_t pendingSize = 0;
    bool readCalled = false;
    bool paused = false;
    uint64_t bodyLength = 0;
    uint64_t taken = 0;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Context*>(user);
    size_t bytes = size * count;
    c->lastActivity = Clock::now();
    size_t take = bytes;
    if (c->answerLimit) {
        uint64_t room = c->answerLimit - c->bodyBytes;
        if (take > room) take = size_t(room);
    }
    if (c->maxBody && c->bodyBytes + take > c->maxBody) {
        c->tooLarge = true;
        return 0;  // ends the transfer with a write error
    }
    if (take && !c->sink->Write(data, take)) {
        c->sinkFailed = true;
        return 0;
    }
    c->bodyBytes += take;
    if (take < bytes) {
        c->answerFull = true;  // enough of the answer is kept: stop reading
        return 0;
    }
    return bytes;
}

// Keeps the status line and headers of the last answer (an interim
// "100 Continue" or a redirect starts a new one).
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* c = static_cast<Context*>(user);
    size_t bytes = size * count;
    c->lastActivity = Clock::now();
    std::string line(data, bytes);
    Result& r = c->result;
    if (line.compare(0, 5, "HTTP/") == 0) {
        r.rawHeaders.clear();
        r.headers.clear();
        r.statusText.clear();
        c->headEnded = false;
        size_t sp1 = line.find(' ');
        size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
        if (sp2 != std::string::npos) r.statusText = Trim(line.substr(sp2 + 1));
    } else if (c->headEnded) {
        return bytes;  // trailers of a chunked body are not headers of the answer
    } else if (line == "\r\n" || line == "\n") {
        c->headEnded = true;
    } else {
        size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0)
            r.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    r.rawHeaders += line;
    return bytes;
}

int OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto* c = static_cast<Context*>(user);
    Progress p{Positive(dlnow), Positive(dltotal), Positive(ulnow), Positive(ultotal)};
    auto now = Clock::now();
    if (c->curl && !c->connected) {
        // The idle time counts from the connection on; before it the
        // connect time-out rules.
        curl_off_t connectTime = 0;
        if (curl_easy_getinfo(c->curl, CURLINFO_CONNECT_TIME_T, &connectTime) == CURLE_OK && connectTime > 0) {
            c->connected = true;
            c->lastActivity = now;
        }
    }
    if (p.received != c->lastCounts.received || p.sent != c->lastCounts.sent) c->lastActivity = now;
    c->lastCounts = p;
    if (c->progress && *c->progress && !(*c->progress)(p)) {
        c->cancelled = true;
        return 1;
    }
    // libcurl calls this about once a second while nothing arrives, so a
    // stalled transfer ends within a second of its idle time-out.
    if (c->idleMs > 0 && (c->connected || !c->curl) && now - c->lastActivity >= std::chrono::milliseconds(c->idleMs)) {
        c->idleExpired = true;
        return 1;
    }
    return 0;
}

// Exchange: hands libcurl the piece Send was given; pauses when there is none.
size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
    auto* c = static_cast<Context*>(user);
    c->readCalled = true;
    if (c->taken >= c->bodyLength) return 0;
    if (c->pendingSize == 0) {
        c->paused = true;
        return CURL_READFUNC_PAUSE;
    }
    size_t n = std::min(size * count, c->pendingSize);
    std::memcpy(buffer, c->pending, n);
    c->pending += n;
    c->pendingSize -= n;
    c->taken += n;
    c->lastActivity = Clock::now();
    return n;
}

ErrorKind KindOf(CURLcode rc, const Context& c) {
    switch (rc) {
        case CURLE_OK: return ErrorKind::None;
        case CURLE_ABORTED_BY_CALLBACK:
            if (c.idleExpired) return ErrorKind::Timeout;
            return c.cancelled ? ErrorKind::Cancelled : ErrorKind::Transfer;
        case CURLE_WRITE_ERROR:
            if (c.tooLarge) return ErrorKind::TooLarge;
            if (c.sinkFailed) return ErrorKind::LocalFile;
            if (c.answerFull) return ErrorKind::None;
            return ErrorKind::Transfer;
        case CURLE_FILESIZE_EXCEEDED: return ErrorKind::TooLarge;
        case CURLE_READ_ERROR: return ErrorKind::LocalFile;
        case CURLE_HTTP_RETURNED_ERROR: return ErrorKind::HttpStatus;
        case CURLE_OPERATION_TIMEDOUT: return ErrorKind::Timeout;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return ErrorKind::CannotConnect;
        case CURLE_TOO_MANY_REDIRECTS: return ErrorKind::TooManyRedirects;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL: return ErrorKind::InvalidUrl;
        default: return ErrorKind::Transfer;
    }
}

// Fills the result's kind and error text from libcurl's answer.
void Conclude(CURL* curl, CURLcode rc, Context& c, const Limits& limits) {
    Result& r = c.result;
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) r.status = status;
    curl_off_t length = -1;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) r.contentLength = length;
    curl_off_t sent = 0;
    if (curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK) r.sentBytes = Positive(sent);
    r.bodyBytes = c.bodyBytes;
    r.kind = KindOf(rc, c);
    if (r.kind == ErrorKind::None) {
        r.error.clear();
        return;
    }
    switch (r.kind) {
        case ErrorKind::TooLarge:
            r.error = "the answer is larger than " + std::to_string(limits.maxBodyBytes) + " bytes";
            break;
        case ErrorKind::LocalFile:
            r.error = c.sinkFailed ? c.sink->Error() : std::string(curl_easy_strerror(rc));
            if (!c.sinkFailed && c.errorBuffer[0]) r.error += std::string(": ") + c.errorBuffer;
            break;
        case ErrorKind::Cancelled: r.error = "stopped by the progress callback"; break;
        case ErrorKind::Timeout:
            if (c.idleExpired) {
                r.error = "nothing arrived for " + std::to_string(c.idleMs) + " ms";
                break;
            }
            [[fallthrough]];
        default:
            r.error = curl_easy_strerror(rc);
            if (c.errorBuffer[0]) r.error += std::string(": ") + c.errorBuffer;
            if (r.kind == ErrorKind::HttpStatus) r.error = "HTTP status " + std::to_string(r.status) + " (" + r.error + ")";
    }
}

// Options every transfer shares; the first failing setopt is returned.
struct Options {
    CURL* curl;
    CURLcode rc = CURLE_OK;
    const char* failed = nullptr;
    template <typename T>
    void Set(CURLoption option, T value, const char* name) {
        if (rc != CURLE_OK) return;
        rc = curl_easy_setopt(curl, option, value);
        if (rc != CURLE_OK) failed = name;
    }
};

#define KX_SET(o, option, value) (o).Set(option, value, #option)

void Common(Options& o, const Request& q, Context& c, curl_slist* headers) {
    KX_SET(o, CURLOPT_ERRORBUFFER, c.errorBuffer);
    KX_SET(o, CURLOPT_URL, q.url.c_str());
    KX_SET(o, CURLOPT_PROTOCOLS_STR, "http,https");
    KX_SET(o, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    KX_SET(o, CURLOPT_NOSIGNAL, 1L);
    KX_SET(o, CURLOPT_CONNECTTIMEOUT_MS, std::max(1L, q.limits.connectTimeoutMs));
    if (q.limits.deadlineMs > 0) KX_SET(o, CURLOPT_TIMEOUT_MS, q.limits.deadlineMs);
    KX_SET(o, CURLOPT_WRITEFUNCTION, &OnBody);
    KX_SET(o, CURLOPT_WRITEDATA, &c);
    KX_SET(o, CURLOPT_HEADERFUNCTION, &OnHeader);
    KX_SET(o, CURLOPT_HEADERDATA, &c);
    KX_SET(o, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    KX_SET(o, CURLOPT_XFERINFODATA, &c);
    KX_SET(o, CURLOPT_NOPROGRESS, 0L);
    if (!q.userAgent.empty()) KX_SET(o, CURLOPT_USERAGENT, q.userAgent.c_str());
    if (headers) KX_SET(o, CURLOPT_HTTPHEADER, headers);
    switch (q.proxyMode) {
        case ProxyMode::System: break;
        case ProxyMode::Direct: KX_SET(o, CURLOPT_PROXY, ""); break;
        case ProxyMode::Explicit:
            KX_SET(o, CURLOPT_PROXY, q.proxy.c_str());
            if (!q.noProxy.empty()) KX_SET(o, CURLOPT_NOPROXY, q.noProxy.c_str());
            break;
    }
}

// The request's extra headers as libcurl's list; false when out of memory.
bool HeaderList(const std::vector<std::string>& lines, curl_slist** list) {
    for (const auto& line : lines) {
        curl_slist* next = curl_slist_append(*list, line.c_str());
        if (!next) return false;
        *list = next;
    }
    return true;
}

struct HandleDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    void operator()(curl_mime* m) const { curl_mime_free(m); }
};
// CURLM and CURL are both void: a deleter of its own.
struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};

Result Failed(ErrorKind kind, std::string text) {
    Result r;
    r.kind = kind;
    r.error = std::move(text);
    return r;
}

// Header lines may not carry a line end: it would start a line of its own.
bool SafeHeaders(const std::vector<std::string>& lines) {
    return std::none_of(lines.begin(), lines.end(),
                        [](const std::string& l) { return l.find_first_of("\r\n") != std::string::npos; });
}

}  // namespace

const char* KindName(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::None: return "none";
        case ErrorKind::InvalidUrl: return "invalid URL";
        case ErrorKind::CannotConnect: return "cannot connect";
        case ErrorKind::Timeout: return "time-out";
        case ErrorKind::TooLarge: return "answer too large";
        case ErrorKind::TooManyRedirects: return "too many redirects";
        case ErrorKind::HttpStatus: return "HTTP error status";
        case ErrorKind::Cancelled: return "cancelled";
        case ErrorKind::LocalFile: return "local file";
        case ErrorKind::Transfer: return "transfer failed";
    }
    return "unknown";
}

std::optional<std::string> Result::Header(const std::string& name, size_t index) const {
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() && strcasecmp(n.c_str(), name.c_str()) == 0) {
            if (index == 0) return v;
            --index;
        }
    }
    return std::nullopt;
}

// ------------------------------------------------------------------ FileSink

FileSink::FileSink(std::string target) : target_(std::move(target)) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = target_ + ".";
        {
            std::lock_guard lock(mutex);
            for (int i = 0; i < 6; ++i) name += kChars[random() % (sizeof kChars - 1)];
        }
        // Mode 0666 with the process's umask applied by the kernel: the
        // permissions of any new file; the umask itself is never changed.
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            partPath_ = name;
            return;
        }
        if (errno != EEXIST) break;
    }
    error_ = "Could not create " + target_ + ".XXXXXX: " + std::strerror(errno);
}

FileSink::~FileSink() { Discard(); }

bool FileSink::Write(const char* data, size_t size) {
    if (fd_ < 0) return false;
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = "Could not write " + partPath_ + ": " + std::strerror(errno);
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool FileSink::Commit() {
    if (fd_ < 0) return false;
    bool synced = ::fsync(fd_) == 0;
    int syncErrno = errno;
    bool closed = ::close(fd_) == 0;
    int closeErrno = errno;
    fd_ = -1;
    if (!synced || !closed) {
        error_ = "Could not write " + partPath_ + ": " + std::strerror(synced ? closeErrno : syncErrno);
        ::unlink(partPath_.c_str());
        partPath_.clear();
        return false;
    }
    if (std::rename(partPath_.c_str(), target_.c_str()) != 0) {
        error_ = "Could not rename " + partPath_ + " to " + target_ + ": " + std::strerror(errno);
        ::unlink(partPath_.c_str());
        partPath_.clear();
        return false;
    }
    partPath_.clear();
    return true;
}

void FileSink::Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!partPath_.empty()) ::unlink(partPath_.c_str());
    partPath_.clear();
}

// ------------------------------------------------------------------- Perform

Result Perform(const Request& q, BodySink& sink) {
    if (CURLcode g = GlobalInit(); g != CURLE_OK)
        return Failed(ErrorKind::Transfer, std::string("curl_global_init: ") + curl_easy_strerror(g));
    if (!SafeHeaders(q.headers)) return Failed(ErrorKind::InvalidUrl, "a request header holds a line end");
    std::unique_ptr<CURL, HandleDeleter> curl(curl_easy_init());
    if (!curl) return Failed(ErrorKind::Transfer, "curl_easy_init failed");
    curl_slist* rawList = nullptr;
    bool listOk = HeaderList(q.headers, &rawList);
    std::unique_ptr<curl_slist, HandleDeleter> headers(rawList);
    if (!listOk) return Failed(ErrorKind::Transfer, "curl_slist_append failed");

    Context c;
    c.sink = &sink;
    c.maxBody = q.limits.maxBodyBytes;
    c.progress = &q.progress;
    Options o{curl.get()};
    Common(o, q, c, headers.get());
    KX_SET(o, CURLOPT_FAILONERROR, q.failOnHttpError ? 1L : 0L);
    KX_SET(o, CURLOPT_FOLLOWLOCATION, q.followRedirects ? 1L : 0L);
    KX_SET(o, CURLOPT_MAXREDIRS, q.limits.maxRedirects);
    c.idleMs = q.limits.idleTimeoutMs;
    c.curl = curl.get();
    // An answer that announces more than the cap is refused before any byte.
    if (q.limits.maxBodyBytes > 0) KX_SET(o, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(q.limits.maxBodyBytes));

    std::unique_ptr<curl_mime, HandleDeleter> mime;
    if (!q.form.empty()) {
        mime.reset(curl_mime_init(curl.get()));
        if (!mime) return Failed(ErrorKind::Transfer, "curl_mime_init failed");
        for (const FormField& f : q.form) {
            curl_mimepart* part = curl_mime_addpart(mime.get());
            if (!part) return Failed(ErrorKind::Transfer, "curl_mime_addpart failed");
            CURLcode rc = curl_mime_name(part, f.name.c_str());
            const char* step = "curl_mime_name";
            if (rc == CURLE_OK && !f.filePath.empty()) {
                rc = curl_mime_filedata(part, f.filePath.c_str());
                step = "curl_mime_filedata";
                if (rc == CURLE_OK && !f.fileName.empty()) {
                    rc = curl_mime_filename(part, f.fileName.c_str());
                    step = "curl_mime_filename";
                }
            } else if (rc == CURLE_OK) {
                rc = curl_mime_data(part, f.value.data(), f.value.size());
                step = "curl_mime_data";
            }
            if (rc == CURLE_OK && !f.contentType.empty()) {
                rc = curl_mime_type(part, f.contentType.c_str());
                step = "curl_mime_type";
            }
            if (rc != CURLE_OK)
                return Failed(rc == CURLE_READ_ERROR ? ErrorKind::LocalFile : ErrorKind::Transfer,
                              std::string(step) + " (" + f.name + "): " + curl_easy_strerror(rc));
        }
        KX_SET(o, CURLOPT_MIMEPOST, mime.get());
    } else if (q.method == "POST") {
        KX_SET(o, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(q.body.size()));
        KX_SET(o, CURLOPT_POSTFIELDS, q.body.data());
    } else if (q.method != "GET") {
        KX_SET(o, CURLOPT_CUSTOMREQUEST, q.method.c_str());
    }
    if (o.rc != CURLE_OK)
        return Failed(ErrorKind::Transfer, std::string("curl_easy_setopt(") + o.failed + "): " + curl_easy_strerror(o.rc));

    CURLcode rc = curl_easy_perform(curl.get());
    Conclude(curl.get(), rc, c, q.limits);
    return c.result;
}

// ------------------------------------------------------------------ Exchange

struct Exchange::State {
    Request request;
    std::unique_ptr<CURLM, MultiDeleter> multi;
    std::unique_ptr<CURL, HandleDeleter> curl;
    std::unique_ptr<curl_slist, HandleDeleter> headers;
    MemorySink answer;
    Context c;
    bool added = false;
    bool started = false;
    bool done = false;     // libcurl ended the transfer
    bool over = false;     // the exchange failed or finished; nothing more moves
    CURLcode code = CURLE_OK;
    Clock::time_point deadline{};

    ~State() {
        if (added) curl_multi_remove_handle(multi.get(), curl.get());
    }

    bool Fail(ErrorKind kind, std::string text) {
        c.result.kind = kind;
        c.result.error = std::move(text);
        c.result.bodyBytes = c.bodyBytes;
        over = true;
        return false;
    }

    // Runs the transfer until reached() holds, it ends, or a time-out
    // passes. True when reached() holds.
    template <typename Reached>
    bool Drive(Reached reached, const char* waitingFor) {
        c.lastActivity = Clock::now();
        const long idle = request.limits.idleTimeoutMs;
        for (;;) {
            int running = 0;
            CURLMcode mc = curl_multi_perform(multi.get(), &running);
            if (mc != CURLM_OK)
                return Fail(ErrorKind::Transfer, std::string("curl_multi_perform: ") + curl_multi_strerror(mc));
            int left = 0;
            while (CURLMsg* m = curl_multi_info_read(multi.get(), &left)) {
                if (m->msg == CURLMSG_DONE && m->easy_handle == curl.get()) {
                    done = true;
                    code = m->data.result;
                }
            }
            if (reached()) return true;
            if (done) {
                Conclude(curl.get(), code, c, request.limits);
                if (c.result.kind == ErrorKind::None) {
                    c.result.kind = ErrorKind::Transfer;
                    c.result.error = std::string("the server ended the exchange while ") + waitingFor;
                }
                over = true;
                return false;
            }
            auto now = Clock::now();
            if (request.limits.deadlineMs > 0 && now >= deadline)
                return Fail(ErrorKind::Timeout, "the exchange took longer than " +
                                                    std::to_string(request.limits.deadlineMs) + " ms, while " + waitingFor);
            if (idle > 0 && now - c.lastActivity >= std::chrono::milliseconds(idle))
                return Fail(ErrorKind::Timeout,
                            "nothing moved for " + std::to_string(idle) + " ms, while " + waitingFor);
            int ready = 0;
            mc = curl_multi_poll(multi.get(), nullptr, 0, 50, &ready);
            if (mc != CURLM_OK)
                return Fail(ErrorKind::Transfer, std::string("curl_multi_poll: ") + curl_multi_strerror(mc));
        }
    }
};

Exchange::Exchange(Request request, uint64_t bodyLength, uint64_t answerLimit) : s_(std::make_unique<State>()) {
    s_->request = std::move(request);
    s_->c.bodyLength = bodyLength;
    s_->c.answerLimit = answerLimit;
}

Exchange::~Exchange() = default;

bool Exchange::Start() {
    State& s = *s_;
    if (s.started || s.over) return s.Fail(ErrorKind::Transfer, "the exchange was started already");
    s.started = true;
    if (CURLcode g = GlobalInit(); g != CURLE_OK)
        return s.Fail(ErrorKind::Transfer, std::string("curl_global_init: ") + curl_easy_strerror(g));
    if (!SafeHeaders(s.request.headers)) return s.Fail(ErrorKind::InvalidUrl, "a request header holds a line end");
    s.multi.reset(curl_multi_init());
    s.curl.reset(curl_easy_init());
    if (!s.multi || !s.curl) return s.Fail(ErrorKind::Transfer, "curl_multi_init / curl_easy_init failed");
    std::vector<std::string> lines = s.request.headers;
    // The body follows the head at once: no "Expect: 100-continue" wait.
    lines.push_back("Expect:");
    curl_slist* rawList = nullptr;
    bool listOk = HeaderList(lines, &rawList);
    s.headers.reset(rawList);
    if (!listOk) return s.Fail(ErrorKind::Transfer, "curl_slist_append failed");

    Context& c = s.c;
    c.sink = &s.answer;
    c.progress = &s.request.progress;
    Options o{s.curl.get()};
    Common(o, s.request, c, s.headers.get());
    KX_SET(o, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    KX_SET(o, CURLOPT_FOLLOWLOCATION, 0L);
    KX_SET(o, CURLOPT_POST, 1L);
    if (s.request.method != "POST") KX_SET(o, CURLOPT_CUSTOMREQUEST, s.request.method.c_str());
    KX_SET(o, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(c.bodyLength));
    KX_SET(o, CURLOPT_READFUNCTION, &OnRead);
    KX_SET(o, CURLOPT_READDATA, &c);
    if (o.rc != CURLE_OK)
        return s.Fail(ErrorKind::Transfer, std::string("curl_easy_setopt(") + o.failed + "): " + curl_easy_strerror(o.rc));
    if (CURLMcode mc = curl_multi_add_handle(s.multi.get(), s.curl.get()); mc != CURLM_OK)
        return s.Fail(ErrorKind::Transfer, std::string("curl_multi_add_handle: ") + curl_multi_strerror(mc));
    s.added = true;
    s.deadline = Clock::now() + std::chrono::milliseconds(std::max(0L, s.request.limits.deadlineMs));
    // Connected and the head on its way once libcurl asks for the body.
    return s.Drive([&] { return c.readCalled || (c.bodyLength == 0 && s.done); }, "connecting");
}

bool Exchange::Send(const void* data, size_t size) {
    State& s = *s_;
    Context& c = s.c;
    if (!s.started || s.over) return s.Fail(ErrorKind::Transfer, "the exchange is not sending");
    if (size == 0) return true;
    if (c.taken + size > c.bodyLength)
        return s.Fail(ErrorKind::Transfer, "more body bytes than the " + std::to_string(c.bodyLength) + " announced");
    c.pending = static_cast<const char*>(data);
    c.pendingSize = size;
    if (c.paused) {
        c.paused = false;
        if (CURLcode rc = curl_easy_pause(s.curl.get(), CURLPAUSE_CONT); rc != CURLE_OK)
            return s.Fail(ErrorKind::Transfer, std::string("curl_easy_pause: ") + curl_easy_strerror(rc));
    }
    bool ok = s.Drive([&] { return c.pendingSize == 0; }, "sending the request body");
    c.pending = nullptr;
    c.pendingSize = 0;
    return ok;
}

bool Exchange::Finish() {
    State& s = *s_;
    Context& c = s.c;
    if (!s.started || s.over) return s.Fail(ErrorKind::Transfer, "the exchange is not sending");
    if (c.taken != c.bodyLength)
        return s.Fail(ErrorKind::Transfer, "the request body is not complete (" + std::to_string(c.taken) + " of " +
                                               std::to_string(c.bodyLength) + " bytes)");
    bool ok = s.Drive([&] { return s.done; }, "waiting for the answer");
    if (!ok) return false;
    s.over = true;
    Conclude(s.curl.get(), s.code, c, s.request.limits);
    return c.result.kind == ErrorKind::None;
}

uint64_t Exchange::Sent() const { return s_->c.taken; }
const Result& Exchange::result() const { return s_->c.result; }
const std::string& Exchange::Body() const { return s_->answer.Data(); }

}  // namespace kalvex::http

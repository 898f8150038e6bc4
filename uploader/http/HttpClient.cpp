#include "uploader/http/HttpClient.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QUuid>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/http/HttpTransport.h"
#include "platform/mime/MimeSniff.h"
#include "platform/system/SystemError.h"

namespace Brask {

namespace http = kalvex::http;

const char* const kFallbackBoundary = "----BRASK-FB3B405B7EAE495aB0C0295C54D4E096-";
const char* const kFallbackContentType =
    "multipart/form-data; boundary=----BRASK-FB3B405B7EAE495aB0C0295C54D4E096-";

namespace {

const char kOctetStream[] = "application/octet-stream";

// Length arithmetic in the request's 32-bit range: overflow is an error,
// never a wrapped Content-Length.
DWORD Add(DWORD a, uint64_t b) {
    uint64_t r = uint64_t(a) + b;
    if (r > 0xFFFFFFFFull) CHttpToolA::ThrowException(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    return static_cast<DWORD>(r);
}

std::string FilePartHeader(const std::string& boundary, const std::string& name, const std::string& path,
                           const std::string& mime) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"; filename=\"" + path +
           "\"\r\nContent-Type: " + mime + "\r\n\r\n";
}

std::string ValuePartHeader(const std::string& boundary, const std::string& name) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
}

}  // namespace

// ---------------------------------------------------------------- CHttpToolA

const char* CHttpToolA::GetConstMessage(DWORD code) {
    static const char* const k100[] = {
        "Unexpected error occurred.",
        "The index is out of range.",
        "Out of memory.",
        "The requested URL is not a valid URL.",
        "The post context is not started yet.",
        "Couldn't read expected bytes from a file.",
        "The post context has not been finished yet.",
        "The port number is not valid.",
        "std::exception occurred.",
        "The encoded URL is not valid.",
        "The UTF8 string contains an invalid character.",
        "An unexpected arithmetic error has been occurred.",
        "An arithmetic overflow error has been occurred.",
        "An interger divide by zero exception has been occurred.",
        "The file (%s) aleady exists.",
    };
    static const char* const k400[] = {
        "::HttpQueryInfo failed.",       "::InternetReadFile failed.",       "::InternetOpen failed.",
        "::InternetConnect failed.",     "::HttpOpenRequest failed.",        "::HttpAddRequestHeaders failed.",
        "::HttpSendRequest failed.",     "::HttpSendRequestEx failed.",      "::InternetWriteFile failed.",
        "::HttpEndRequest failed.",      "::InternetSetOption failed.",
    };
    static const char* const k600[] = {
        "::WideCharToMultiByte failed.",
        "::MultiByteToWideChar failed.",
        "::ReadFile failed.",
        "OpenFile (::CreateFile) failed (\"%s\").",
        "::SetFilePointer failed.",
        "::GetFileSize failed (\"%s\").",
        "::WriteFile failed (\"%s\").",
    };
    if (code >= 100 && code <= 114) return k100[code - 100];
    if (code >= 400 && code <= 410) return k400[code - 400];
    if (code >= 600 && code <= 606) return k600[code - 600];
    if (code > 999) return "user-defined error message";
    return k100[0];
}

void CHttpToolA::ThrowException(DWORD code, DWORD win32Error, const char* arg) {
    std::string message = GetConstMessage(code);
    size_t pos = message.find("%s");
    if (pos != std::string::npos) message.replace(pos, 2, arg ? arg : "");
    throw httpclientexceptionA(message, code, win32Error);
}

void CHttpToolA::ThrowException(const std::string& message, DWORD code, DWORD win32Error) {
    throw httpclientexceptionA(message, code, win32Error);
}

DWORD CHttpToolA::LastSystemError() { return static_cast<DWORD>(kalvex::GetLastError()); }

std::string CHttpToolA::MakeBoundary(const Guid* g) {
    if (!g) return kFallbackBoundary;
    char buf[64];
    snprintf(buf, sizeof buf, "----TORMA-%.08x%.04x%.04x%.02x%.02x%.02x%.02x%.02x%.02x%.02x%.02x-", g->data1,
             g->data2, g->data3, g->data4[0], g->data4[1], g->data4[2], g->data4[3], g->data4[4], g->data4[5],
             g->data4[6], g->data4[7]);
    return buf;
}

bool CHttpToolA::CreateGuid(Guid& guid) {
    QUuid u = QUuid::createUuid();
    if (u.isNull()) return false;
    guid.data1 = u.data1;
    guid.data2 = u.data2;
    guid.data3 = u.data3;
    memcpy(guid.data4, u.data4, 8);
    return true;
}

UrlParts CHttpToolA::CrackUrl(const std::string& url) {
    UrlParts parts;
    // Nothing that could break out of the request line or a header.
    for (unsigned char c : url)
        if (c <= 0x20 || c == 0x7F) ThrowException(HTTPCLIENT_ERR_INVALID_URL);
    size_t sep = url.find("://");
    if (sep == std::string::npos) ThrowException(HTTPCLIENT_ERR_INVALID_URL);
    std::string scheme = url.substr(0, sep);
    if (strcasecmp(scheme.c_str(), "https") == 0)
        parts.https = true;
    else if (strcasecmp(scheme.c_str(), "http") != 0)
        ThrowException(HTTPCLIENT_ERR_INVALID_URL);
    size_t start = sep + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string rest = end == std::string::npos ? std::string() : url.substr(end);
    size_t hash = rest.find('#');
    if (hash != std::string::npos) rest.erase(hash);

    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        std::string info = authority.substr(0, at);
        authority.erase(0, at + 1);
        size_t colon = info.find(':');
        parts.user = info.substr(0, colon);
        if (colon != std::string::npos) parts.password = info.substr(colon + 1);
    }
    std::string portText;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) ThrowException(HTTPCLIENT_ERR_INVALID_URL);
        parts.host = authority.substr(1, close - 1);
        std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') ThrowException(HTTPCLIENT_ERR_INVALID_URL);
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = authority.substr(colon + 1);
        }
    }
    if (parts.host.empty()) ThrowException(HTTPCLIENT_ERR_INVALID_URL);
    parts.port = parts.https ? 443 : 80;
    if (hasPort && !portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ::isdigit))
            ThrowException(HTTPCLIENT_ERR_INVALID_PORT);
        unsigned long port = std::stoul(portText);
        if (port == 0 || port > 65535) ThrowException(HTTPCLIENT_ERR_INVALID_PORT);
        parts.port = static_cast<uint16_t>(port);
    }
    if (rest.empty() || rest.front() != '/') rest.insert(0, "/");
    parts.object = rest;
    return parts;
}

namespace {

// The reason of a failed transport step as the system error code an
// Internet call leaves.
DWORD InternetError(http::ErrorKind kind) {
    switch (kind) {
        case http::ErrorKind::InvalidUrl: return ERROR_INTERNET_INVALID_URL;
        case http::ErrorKind::CannotConnect: return ERROR_INTERNET_CANNOT_CONNECT;
        case http::ErrorKind::Timeout: return ERROR_INTERNET_TIMEOUT;
        case http::ErrorKind::Transfer: return ERROR_INTERNET_CONNECTION_ABORTED;
        default: return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

}  // namespace

void CHttpToolA::ThrowInternet(DWORD code, const http::Exchange& exchange) {
    const http::Result& r = exchange.result();
    std::string message = GetConstMessage(code);
    throw httpclientexceptionA(message, code, InternetError(r.kind),
                               std::string(http::KindName(r.kind)) + ": " + r.error);
}

int CHttpToolA::OpenFileForRead(const std::string& path) {
    // Non-blocking open: a FIFO or device path must not stall the upload.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) ThrowException(HTTPCLIENT_ERR_OPENFILE_FAILED, LastSystemError(), path.c_str());
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = S_ISREG(st.st_mode) ? errno : EINVAL;
        ::close(fd);
        ThrowException(HTTPCLIENT_ERR_OPENFILE_FAILED, static_cast<DWORD>(err), path.c_str());
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

uint64_t CHttpToolA::GetFileSize(int fd, const std::string& path) {
    struct stat st {};
    if (fstat(fd, &st) != 0) ThrowException(HTTPCLIENT_ERR_GETFILESIZE_FAILED, LastSystemError(), path.c_str());
    return static_cast<uint64_t>(st.st_size);
}

void CHttpToolA::ReadExactly(int fd, void* buffer, DWORD size) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowException(HTTPCLIENT_ERR_READFILE_FAILED, LastSystemError());
        }
        if (n == 0) ThrowException(HTTPCLIENT_ERR_READ_UNEXPECTED_SIZE);
        p += n;
        size -= static_cast<DWORD>(n);
    }
}

std::string CHttpToolA::GetMimeType(int fd) {
    char head[256];
    ssize_t n = ::read(fd, head, sizeof head);
    if (lseek(fd, 0, SEEK_SET) != 0) ThrowException(HTTPCLIENT_ERR_SETFILEPOINTER_FAILED, LastSystemError());
    std::string type;
    if (n <= 0 || !kalvex::FindMimeFromData(head, static_cast<size_t>(n), &type) || type.empty())
        return kOctetStream;
    return type;
}

// ------------------------------------------------------------ CHttpClientMapT

void CHttpClientMapT::Add(const std::string& name, const std::string& value, bool isFile) {
    entries_.push_back({name, value, isFile});
}

const CHttpClientMapT::Entry& CHttpClientMapT::Get(DWORD index) const {
    if (index >= entries_.size()) CHttpToolA::ThrowException(HTTPCLIENT_ERR_OUT_OF_RANGE);
    return entries_[index];
}

// ------------------------------------------------------------- CHttpPostStatT

void CHttpPostStatT::Check(const char* what) const {
    if (!active_)
        CHttpToolA::ThrowException(std::string("CHttpPostStatT::") + what + ": The post context is not active.",
                                   HTTPCLIENT_ERR_POST_NOT_STARTED);
}

#define BRASK_STAT_GETTER(type, name, field) \
    type CHttpPostStatT::name() const {      \
        Check(#name);                        \
        return field;                        \
    }
BRASK_STAT_GETTER(DWORD, TotalByte, total_)
BRASK_STAT_GETTER(DWORD, PostedByte, posted_)
BRASK_STAT_GETTER(DWORD, ActualTotalByte, actualTotal_)
BRASK_STAT_GETTER(DWORD, ActualPostedByte, actualPosted_)
BRASK_STAT_GETTER(DWORD, TotalCount, paramCount_)
BRASK_STAT_GETTER(DWORD, PostedCount, paramsDone_)
BRASK_STAT_GETTER(DWORD, FileCount, fileCount_)
BRASK_STAT_GETTER(DWORD, PostedFileCount, filesDone_)
BRASK_STAT_GETTER(std::string, CurrParam, currName_)
BRASK_STAT_GETTER(DWORD, CurrParamTotalByte, currTotal_)
BRASK_STAT_GETTER(DWORD, CurrParamPostedByte, currPosted_)
BRASK_STAT_GETTER(DWORD, CurrParamRemainByte, currTotal_ - currPosted_)
BRASK_STAT_GETTER(bool, CurrParamIsFile, currIsFile_)
BRASK_STAT_GETTER(bool, CurrParamIsComplete, currComplete_)
#undef BRASK_STAT_GETTER

// ------------------------------------------------------------- CHttpResponseT

CHttpResponseT::CHttpResponseT(std::unique_ptr<http::Exchange> exchange) : exchange_(std::move(exchange)) {
    const http::Result& r = exchange_->result();
    status_ = static_cast<DWORD>(r.status);
    statusText_ = r.statusText;
}

CHttpResponseT::~CHttpResponseT() = default;

std::optional<std::string> CHttpResponseT::GetHeader(const std::string& name, DWORD index) const {
    if (name.empty())
        CHttpToolA::ThrowException("CHttpToolA::GetHeader: szName can not be an empty string.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    return exchange_->result().Header(name, index);
}

std::string CHttpResponseT::GetHeaders() const { return exchange_->result().rawHeaders; }

bool CHttpResponseT::GetContentLength(DWORD& length) const {
    std::optional<std::string> text = exchange_->result().Header("Content-Length");
    if (!text) return false;
    const std::string& t = *text;
    if (t.empty() || t.size() > 10 || !std::all_of(t.begin(), t.end(), ::isdigit) || std::stoull(t) > 0xFFFFFFFFull)
        CHttpToolA::ThrowException(HTTPCLIENT_ERR_HTTPQUERYINFO_FAILED, ERROR_INTERNET_INTERNAL_ERROR);
    length = static_cast<DWORD>(std::stoull(t));
    return true;
}

DWORD CHttpResponseT::ReadContent(char* buffer, DWORD cbBuff) {
    if (cbBuff == 0)
        CHttpToolA::ThrowException("CHttpResponseT::ReadContent: cbBuff can not be zero.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    if (!buffer)
        CHttpToolA::ThrowException("CHttpResponseT::ReadContent: pbyBuff can not be NULL.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    const std::string& body = exchange_->Body();
    size_t n = std::min<size_t>(cbBuff, body.size() - readOffset_);
    std::memcpy(buffer, body.data() + readOffset_, n);
    readOffset_ += n;
    return static_cast<DWORD>(n);
}

// --------------------------------------------------------------- CHttpClientT

struct CHttpClientT::Context {
    std::unique_ptr<http::Exchange> exchange;
    struct Part {
        std::string name;
        std::string value;
        bool isFile = false;
        int fd = -1;
        DWORD size = 0;  // data bytes
        std::string mime;
    };
    std::vector<Part> parts;
    std::vector<char> buffer;
    CHttpPostStatT stat;
    int current = -1;  // index of the current parameter

    ~Context() { CloseFiles(); }
    void CloseFiles() {
        for (auto& p : parts) {
            if (p.fd >= 0) ::close(p.fd);
            p.fd = -1;
        }
    }
};

CHttpClientT::CHttpClientT() {
    Guid g;
    boundary_ = CHttpToolA::MakeBoundary(CHttpToolA::CreateGuid(g) ? &g : nullptr);
    contentType_ = boundary_ == kFallbackBoundary ? std::string(kFallbackContentType)
                                                  : "multipart/form-data; boundary=" + boundary_;
}

CHttpClientT::~CHttpClientT() { CancelUpload(); }

void CHttpClientT::SetTimeouts(DWORD connectMs, DWORD idleMs) {
    connectTimeoutMs_ = connectMs;
    idleTimeoutMs_ = idleMs;
}

void CHttpClientT::AddHeader(const std::string& name, const std::string& value) {
    if (ctx_)
        CHttpToolA::ThrowException(
            "CHttpClientT::AddHeader: It is not allowed to call this method if the POST context is active.",
            HTTPCLIENT_ERR_POST_NOT_FINISHED);
    if (name.empty())
        CHttpToolA::ThrowException("CHttpClientT::AddHeader: szName can not be an empty string.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    headers_.emplace_back(name, value);
}

void CHttpClientT::AddParam(const std::string& name, const std::string& value, bool isFile) {
    if (ctx_)
        CHttpToolA::ThrowException(
            "CHttpClientT::AddParam: It is not allowed to call this method if the POST context is active.",
            HTTPCLIENT_ERR_POST_NOT_FINISHED);
    if (name.empty())
        CHttpToolA::ThrowException("CHttpClientT::AddParam: szName can not be an empty string.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    // A quote or a line end would break the part header it is written into.
    auto unsafe = [](const std::string& s) { return s.find_first_of("\"\r\n") != std::string::npos; };
    if (unsafe(name) || (isFile && unsafe(value)))
        CHttpToolA::ThrowException("CHttpClientT::AddParam: a name or file path can not hold '\"' or a line end.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    params_.Add(name, value, isFile);
}

void CHttpClientT::ClearParam() {
    if (ctx_)
        CHttpToolA::ThrowException(
            "CHttpClientT::ClearParam: It is not allowed to call this method if the POST context is active.",
            HTTPCLIENT_ERR_POST_NOT_FINISHED);
    params_.Clear();
}

DWORD CHttpClientT::RequestFlags(bool useCache) {
    DWORD flags = INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_RESYNCHRONIZE | INTERNET_FLAG_HYPERLINK |
                  INTERNET_FLAG_NO_UI;
    if (!useCache) flags |= INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
    return flags;
}

void CHttpClientT::StartUpload(const std::string& url, bool useCache) {
    if (ctx_) CHttpToolA::ThrowException(HTTPCLIENT_ERR_POST_NOT_FINISHED);
    if (url.empty())
        CHttpToolA::ThrowException("CHttpClientT::StartUpload: szUrl can not be an empty string.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    auto ctx = std::make_unique<Context>();
    try {
        // 1. The files, their sizes and types; the body length.
        DWORD total = 0, actual = 0, files = 0;
        const DWORD b = static_cast<DWORD>(boundary_.size());
        for (const auto& e : params_.Entries()) {
            Context::Part part;
            part.name = e.name;
            part.value = e.value;
            part.isFile = e.isFile;
            uint64_t dataSize = e.value.size();
            if (e.isFile) {
                ++files;
                part.mime = kOctetStream;
                dataSize = 0;
                try {
                    part.fd = CHttpToolA::OpenFileForRead(e.value);
                    dataSize = CHttpToolA::GetFileSize(part.fd, e.value);
                    part.mime = CHttpToolA::GetMimeType(part.fd);
                } catch (const httpclientexceptionA&) {
                    if (strictFileCheck_ || part.fd >= 0) {
                        if (part.fd >= 0) ::close(part.fd);
                        throw;
                    }
                }
                total = Add(total, (b + 4) + 72 + uint64_t(e.name.size()) + e.value.size() + part.mime.size());
            } else {
                total = Add(total, (b + 4) + 43 + uint64_t(e.name.size()));
            }
            part.size = Add(0, dataSize);
            total = Add(total, uint64_t(part.size) + 2);
            actual = Add(actual, part.size);
            ctx->parts.push_back(std::move(part));
        }
        total = Add(total, params_.Empty() ? b + 8 : b + 6);

        // 2.-6. Connection, request, headers, request head.
        UrlParts url_ = CHttpToolA::CrackUrl(url);
        http::Request request;
        std::string host = url_.host.find(':') != std::string::npos ? "[" + url_.host + "]" : url_.host;
        std::string userInfo = url_.user.empty() ? std::string()
                                                 : url_.user + (url_.password.empty() ? "" : ":" + url_.password) + "@";
        request.url = std::string(url_.https ? "https://" : "http://") + userInfo + host + ":" +
                      std::to_string(url_.port) + url_.object;
        request.method = "POST";
        request.userAgent = agent_;
        switch (accessType_) {
            case INTERNET_OPEN_TYPE_DIRECT: request.proxyMode = http::ProxyMode::Direct; break;
            case INTERNET_OPEN_TYPE_PROXY:
                request.proxyMode = http::ProxyMode::Explicit;
                request.proxy = proxy_;
                request.noProxy = proxyBypass_;
                std::replace(request.noProxy.begin(), request.noProxy.end(), ';', ',');
                break;
            default: request.proxyMode = http::ProxyMode::System; break;
        }
        request.limits.connectTimeoutMs = static_cast<long>(connectTimeoutMs_);
        if (exchangeTimeoutMs_ != 0 && (connectTimeoutMs_ == 0 || connectTimeoutMs_ > exchangeTimeoutMs_))
            request.limits.connectTimeoutMs = static_cast<long>(exchangeTimeoutMs_);
        request.limits.idleTimeoutMs = static_cast<long>(idleTimeoutMs_);
        request.limits.deadlineMs = static_cast<long>(exchangeTimeoutMs_);
        DWORD flags = RequestFlags(useCache) | (url_.https ? INTERNET_FLAG_SECURE : 0);
        auto header = [&](const std::string& name, const std::string& value) {
            if (name.empty())
                CHttpToolA::ThrowException("CHttpToolA::AddHeader: szName can not be an empty string.",
                                           HTTPCLIENT_ERR_UNEXPECTED_ERROR);
            if ((name + value).find_first_of("\r\n") != std::string::npos)
                CHttpToolA::ThrowException(HTTPCLIENT_ERR_HTTPADDREQUESTHEADERS_FAILED, ERROR_INTERNET_INTERNAL_ERROR);
            request.headers.push_back(name + ": " + value);
        };
        if (flags & INTERNET_FLAG_PRAGMA_NOCACHE) header("Cache-Control", "no-cache");
        for (const auto& [name, value] : headers_) header(name, value);
        header("Content-Type", contentType_);
        if (flags & INTERNET_FLAG_KEEP_CONNECTION) header("Connection", "Keep-Alive");
        if (flags & INTERNET_FLAG_PRAGMA_NOCACHE) header("Pragma", "no-cache");
        ctx->exchange = std::make_unique<http::Exchange>(std::move(request), total, CHttpResponseT::kMaxAnswerBytes);
        if (!ctx->exchange->Start()) CHttpToolA::ThrowInternet(HTTPCLIENT_ERR_HTTPSENDREQUESTEX_FAILED, *ctx->exchange);

        // 7. Counters.
        CHttpPostStatT& s = ctx->stat;
        s.active_ = true;
        s.total_ = total;
        s.actualTotal_ = actual;
        s.paramCount_ = params_.Count();
        s.fileCount_ = files;
        ctx->buffer.resize(kReadBufferSize);
    } catch (const httpclientexceptionA&) {
        throw;  // ctx closes what this call opened
    } catch (const std::bad_alloc&) {
        CHttpToolA::ThrowException(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    } catch (const std::exception&) {
        CHttpToolA::ThrowException(HTTPCLIENT_ERR_STD_EXCEPTION);
    }
    ctx_ = std::move(ctx);
}

void CHttpClientT::GetUploadStat(CHttpPostStatT& stat) const {
    if (!ctx_) CHttpToolA::ThrowException(HTTPCLIENT_ERR_POST_NOT_STARTED);
    stat = ctx_->stat;
}

std::unique_ptr<CHttpResponseT> CHttpClientT::ContinueUpload(DWORD nDesired) {
    if (!ctx_) CHttpToolA::ThrowException(HTTPCLIENT_ERR_POST_NOT_STARTED);
    std::unique_ptr<CHttpResponseT> response;
    try {
        ProceedUploadContext(nDesired, &response);
    } catch (const httpclientexceptionA&) {
        throw;
    } catch (const std::bad_alloc&) {
        CHttpToolA::ThrowException(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    } catch (const std::exception&) {
        CHttpToolA::ThrowException(HTTPCLIENT_ERR_STD_EXCEPTION);
    }
    return response;
}

void CHttpClientT::CancelUpload() noexcept { ctx_.reset(); }

void CHttpClientT::Write(const void* data, DWORD size, bool isData) {
    if (size == 0) return;
    if (!ctx_->exchange->Send(data, size))
        CHttpToolA::ThrowInternet(HTTPCLIENT_ERR_INTERNETWRITEFILE_FAILED, *ctx_->exchange);
    CHttpPostStatT& s = ctx_->stat;
    s.posted_ += size;
    if (isData) {
        s.actualPosted_ += size;
        s.currPosted_ += size;
    }
}

// The current parameter's data is all written: its closing line ends it.
void CHttpClientT::FinishCurrent() {
    WriteText("\r\n");
    CHttpPostStatT& s = ctx_->stat;
    s.currComplete_ = true;
    ++s.paramsDone_;
    if (s.currIsFile_) ++s.filesDone_;
}

void CHttpClientT::ProceedUploadContext(DWORD nDesired, std::unique_ptr<CHttpResponseT>* response) {
    if (nDesired == 0)
        CHttpToolA::ThrowException("CHttpClientT::_ProceedUploadContext: nDesired can not be zero.",
                                   HTTPCLIENT_ERR_UNEXPECTED_ERROR);
    Context& c = *ctx_;
    CHttpPostStatT& s = c.stat;

    // 1. Body complete: end the request and hand the connection to the answer.
    if (s.posted_ == s.total_) {
        if (!c.exchange->Finish()) CHttpToolA::ThrowInternet(HTTPCLIENT_ERR_HTTPENDREQUEST_FAILED, *c.exchange);
        c.CloseFiles();
        std::unique_ptr<CHttpResponseT> r(new CHttpResponseT(std::move(c.exchange)));
        ctx_.reset();
        *response = std::move(r);
        return;
    }

    // 2. The current parameter's next piece of data.
    if (!s.currComplete_) {
        Context::Part& p = c.parts[c.current];
        DWORD n = std::min(nDesired, s.currTotal_ - s.currPosted_);
        if (p.isFile) {
            while (n > 0) {
                DWORD piece = std::min<DWORD>(n, kReadBufferSize);
                CHttpToolA::ReadExactly(p.fd, c.buffer.data(), piece);
                Write(c.buffer.data(), piece, true);
                n -= piece;
            }
        } else {
            Write(p.value.data() + s.currPosted_, n, true);
        }
        if (s.currPosted_ == s.currTotal_) FinishCurrent();
        return;
    }

    // 3. Every parameter done: the closing boundary.
    if (s.paramsDone_ == s.paramCount_) {
        WriteText((s.paramCount_ == 0 ? "\r\n--" : "--") + boundary_ + "--\r\n");
        return;
    }

    // 4. The next parameter's part header.
    ++c.current;
    Context::Part& p = c.parts[c.current];
    s.currName_ = p.name;
    s.currIsFile_ = p.isFile;
    s.currTotal_ = p.size;
    s.currPosted_ = 0;
    s.currComplete_ = false;
    WriteText(p.isFile ? FilePartHeader(boundary_, p.name, p.value, p.mime) : ValuePartHeader(boundary_, p.name));
    if (p.size == 0) FinishCurrent();
}

}  // namespace Brask

#include "platform/wininet/WinInet.h"

#include <curl/curl.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/system/SystemError.h"

namespace kalvex::wininet {

struct InternetHandle {
    enum class Kind { Session, Connect, Request } kind = Kind::Session;

    // Session settings; connections and requests take copies when made.
    std::string agent;
    DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
    std::string proxy;
    std::string proxyBypass;
    DWORD connectTimeout = kDefaultConnectTimeoutMs;
    DWORD sendTimeout = kDefaultIdleTimeoutMs;
    DWORD receiveTimeout = kDefaultIdleTimeoutMs;
    DWORD exchangeTimeout = 0;
    // Set when a request starts with an exchange time-out.
    std::optional<std::chrono::steady_clock::time_point> deadline;

    // Connection.
    std::string host;
    INTERNET_PORT port = 0;
    std::string user;
    std::string password;

    // Request.
    std::string verb;
    std::string object;
    std::string version;
    std::string referrer;
    std::vector<std::string> accept;
    DWORD flags = 0;
    std::vector<std::pair<std::string, std::string>> headers;

    enum class State { Opened, Sending, Ended, Broken } state = State::Opened;
    CURL* curl = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;
    uint64_t announced = 0;
    uint64_t written = 0;

    // Answer.
    DWORD status = 0;
    std::string statusText;
    std::string rawHeaders;  // status line, header lines, blank line; CRLF each
    std::vector<std::pair<std::string, std::string>> answerHeaders;
    enum class Framing { None, Length, Chunked, UntilClose } framing = Framing::None;
    uint64_t remaining = 0;  // Length: body bytes left; Chunked: bytes left in this chunk
    enum class ChunkState { Size, Data, DataEnd, Trailer, Done } chunk = ChunkState::Size;
    std::string inbuf;
    bool peerClosed = false;

    ~InternetHandle() {
        if (curl) curl_easy_cleanup(curl);
    }
};

namespace {

std::mutex g_liveMutex;
std::unordered_set<InternetHandle*>& Live() {
    static std::unordered_set<InternetHandle*> live;
    return live;
}

bool Fail(DWORD code) {
    kalvex::SetLastError(static_cast<int>(code));
    return false;
}

InternetHandle* Check(HINTERNET h, InternetHandle::Kind kind) {
    std::lock_guard lock(g_liveMutex);
    if (!h || !Live().count(h) || h->kind != kind) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return h;
}

HINTERNET Register(InternetHandle* h) {
    std::lock_guard lock(g_liveMutex);
    Live().insert(h);
    return h;
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string Str(const char* s) { return s ? std::string(s) : std::string(); }

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string Base64(const std::string& in) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += (i + 1 < in.size()) ? abc[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string HostPart(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

DWORD CurlConnectError(CURLcode rc) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
        case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE: return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
        case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_INTERNET_CANNOT_CONNECT;
    }
}

// Milliseconds left of the request's exchange time-out (at least 0), or -1
// when it has none.
int64_t RemainingMs(const InternetHandle* h) {
    if (!h->deadline) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*h->deadline -
                                                                            std::chrono::steady_clock::now());
    return std::max<int64_t>(left.count(), 0);
}

bool PastDeadline(const InternetHandle* h) { return RemainingMs(h) == 0; }

// Waits until the socket can be written (or read); false after the time-out
// or the end of the exchange time-out, whichever comes first.
bool WaitSocket(InternetHandle* h, bool forWrite) {
    pollfd pfd{};
    pfd.fd = static_cast<int>(h->socket);
    pfd.events = forWrite ? POLLOUT : POLLIN;
    for (;;) {
        int64_t timeout = forWrite ? h->sendTimeout : h->receiveTimeout;
        if (timeout == 0) timeout = -1;
        if (const int64_t left = RemainingMs(h); left >= 0) {
            if (left == 0) return Fail(ERROR_INTERNET_TIMEOUT);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        int n = poll(&pfd, 1, static_cast<int>(std::min<int64_t>(timeout, 0x7FFFFFFF)));
        if (n > 0) return true;
        if (n == 0) return Fail(ERROR_INTERNET_TIMEOUT);
        if (errno != EINTR) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
    }
}

bool SendAll(InternetHandle* h, const char* data, size_t n) {
    while (n > 0) {
        if (PastDeadline(h)) return Fail(ERROR_INTERNET_TIMEOUT);
        size_t sent = 0;
        CURLcode rc = curl_easy_send(h->curl, data, n, &sent);
        if (rc == CURLE_AGAIN) {
            if (!WaitSocket(h, true)) return false;
            continue;
        }
        if (rc != CURLE_OK) return Fail(ERROR_INTERNET_CONNECTION_RESET);
        data += sent;
        n -= sent;
    }
    return true;
}

// Reads what the socket has into inbuf. False on failure or time-out; at
// the end of the connection true with peerClosed set.
bool Fill(InternetHandle* h) {
    if (h->peerClosed) return true;
    char buf[16384];
    for (;;) {
        // A server that always has a little more to say is still held to it.
        if (PastDeadline(h)) return Fail(ERROR_INTERNET_TIMEOUT);
        size_t got = 0;
        CURLcode rc = curl_easy_recv(h->curl, buf, sizeof buf, &got);
        if (rc == CURLE_AGAIN) {
            if (!WaitSocket(h, false)) return false;
            continue;
        }
        if (rc != CURLE_OK) return Fail(ERROR_INTERNET_CONNECTION_RESET);
        if (got == 0) h->peerClosed = true;
        h->inbuf.append(buf, got);
        return true;
    }
}

// Takes one CRLF-ended line out of inbuf (without the CRLF); reads more as
// needed. False on failure, on a closed connection or on an overlong line.
bool TakeLine(InternetHandle* h, std::string* line) {
    for (;;) {
        size_t pos = h->inbuf.find("\r\n");
        if (pos != std::string::npos) {
            line->assign(h->inbuf, 0, pos);
            h->inbuf.erase(0, pos + 2);
            return true;
        }
        if (h->inbuf.size() > 65536) return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        if (h->peerClosed) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
        if (!Fill(h)) return false;
    }
}

bool ReadAnswerHead(InternetHandle* h) {
    for (;;) {
        if (PastDeadline(h)) return Fail(ERROR_INTERNET_TIMEOUT);  // interim answers without end
        std::string statusLine;
        if (!TakeLine(h, &statusLine)) return false;
        // "HTTP/1.1 200 OK"
        if (statusLine.compare(0, 5, "HTTP/") != 0) return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        size_t sp = statusLine.find(' ');
        if (sp == std::string::npos) return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        size_t sp2 = statusLine.find(' ', sp + 1);
        std::string code = statusLine.substr(sp + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp - 1);
        if (code.size() != 3 || !std::all_of(code.begin(), code.end(), ::isdigit))
            return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
        h->status = static_cast<DWORD>(std::stoul(code));
        h->statusText = sp2 == std::string::npos ? std::string() : statusLine.substr(sp2 + 1);
        h->rawHeaders = statusLine + "\r\n";
        h->answerHeaders.clear();
        for (;;) {
            std::string line;
            if (!TakeLine(h, &line)) return false;
            if (line.empty()) break;
            h->rawHeaders += line + "\r\n";
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            h->answerHeaders.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        }
        h->rawHeaders += "\r\n";
        if (h->status >= 100 && h->status < 200) continue;  // interim answer: the real one follows
        break;
    }

    h->framing = InternetHandle::Framing::UntilClose;
    if (h->status == 204 || h->status == 304 || SameName(h->verb, "HEAD")) {
        h->framing = InternetHandle::Framing::None;
        return true;
    }
    for (const auto& [name, value] : h->answerHeaders) {
        if (SameName(name, "Transfer-Encoding") && strcasestr(value.c_str(), "chunked")) {
            h->framing = InternetHandle::Framing::Chunked;
            h->chunk = InternetHandle::ChunkState::Size;
            return true;
        }
    }
    for (const auto& [name, value] : h->answerHeaders) {
        if (SameName(name, "Content-Length")) {
            if (value.empty() || !std::all_of(value.begin(), value.end(), ::isdigit) || value.size() > 18)
                return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
            h->framing = InternetHandle::Framing::Length;
            h->remaining = std::stoull(value);
            if (h->remaining == 0) h->framing = InternetHandle::Framing::None;
            return true;
        }
    }
    return true;
}

// Moves up to max bytes of inbuf (reading the socket when it is empty) into
// out. Sets *got to 0 only when the connection has ended.
bool TakeBytes(InternetHandle* h, char* out, size_t max, size_t* got) {
    if (h->inbuf.empty() && !h->peerClosed && !Fill(h)) return false;
    size_t n = std::min(max, h->inbuf.size());
    memcpy(out, h->inbuf.data(), n);
    h->inbuf.erase(0, n);
    *got = n;
    return true;
}

bool ReadBody(InternetHandle* h, char* out, DWORD max, DWORD* read) {
    using F = InternetHandle::Framing;
    using C = InternetHandle::ChunkState;
    *read = 0;
    switch (h->framing) {
        case F::None: return true;
        case F::UntilClose: {
            size_t got = 0;
            if (!TakeBytes(h, out, max, &got)) return false;
            *read = static_cast<DWORD>(got);
            return true;
        }
        case F::Length: {
            size_t got = 0;
            if (!TakeBytes(h, out, std::min<uint64_t>(max, h->remaining), &got)) return false;
            if (got == 0) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);  // body cut short
            h->remaining -= got;
            if (h->remaining == 0) h->framing = F::None;
            *read = static_cast<DWORD>(got);
            return true;
        }
        case F::Chunked:
            for (;;) {
                std::string line;
                switch (h->chunk) {
                    case C::Size: {
                        if (!TakeLine(h, &line)) return false;
                        size_t semi = line.find(';');
                        std::string hex = Trim(line.substr(0, semi));
                        if (hex.empty() || hex.size() > 15 || !std::all_of(hex.begin(), hex.end(), ::isxdigit))
                            return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
                        h->remaining = std::stoull(hex, nullptr, 16);
                        h->chunk = h->remaining == 0 ? C::Trailer : C::Data;
                        break;
                    }
                    case C::Data: {
                        size_t got = 0;
                        if (!TakeBytes(h, out, std::min<uint64_t>(max, h->remaining), &got)) return false;
                        if (got == 0) return Fail(ERROR_INTERNET_CONNECTION_ABORTED);
                        h->remaining -= got;
                        if (h->remaining == 0) h->chunk = C::DataEnd;
                        *read = static_cast<DWORD>(got);
                        return true;
                    }
                    case C::DataEnd:
                        if (!TakeLine(h, &line)) return false;
                        if (!line.empty()) return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
                        h->chunk = C::Size;
                        break;
                    case C::Trailer:
                        if (!TakeLine(h, &line)) return false;
                        if (line.empty()) h->chunk = C::Done;
                        break;
                    case C::Done: h->framing = F::None; return true;
                }
            }
    }
    return true;
}

bool CopyOut(const std::string& text, void* buffer, DWORD* length) {
    if (!length) return Fail(ERROR_INVALID_PARAMETER);
    if (!buffer || *length < text.size() + 1) {
        *length = static_cast<DWORD>(text.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    *length = static_cast<DWORD>(text.size());
    return true;
}

bool CopyNumber(const std::string& text, void* buffer, DWORD* length) {
    if (!length || !buffer || *length < sizeof(DWORD)) {
        if (length) *length = sizeof(DWORD);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::string t = Trim(text);
    if (t.empty() || t.size() > 10 || !std::all_of(t.begin(), t.end(), ::isdigit) ||
        std::stoull(t) > 0xFFFFFFFFull)
        return Fail(ERROR_HTTP_INVALID_SERVER_RESPONSE);
    DWORD v = static_cast<DWORD>(std::stoul(t));
    memcpy(buffer, &v, sizeof v);
    *length = sizeof(DWORD);
    return true;
}

}  // namespace

HINTERNET InternetOpenA(const char* agent, DWORD accessType, const char* proxy,
                        const char* proxyBypass, DWORD flags) {
    if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
        accessType != INTERNET_OPEN_TYPE_PROXY) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (accessType == INTERNET_OPEN_TYPE_PROXY && Str(proxy).empty()) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    GlobalInit();
    auto* h = new InternetHandle;
    h->kind = InternetHandle::Kind::Session;
    h->agent = Str(agent);
    h->accessType = accessType;
    h->proxy = Str(proxy);
    h->proxyBypass = Str(proxyBypass);
    return Register(h);
}

HINTERNET InternetConnectA(HINTERNET internet, const char* serverName, INTERNET_PORT port,
                           const char* userName, const char* password, DWORD service,
                           DWORD flags, DWORD_PTR context) {
    InternetHandle* s = Check(internet, InternetHandle::Kind::Session);
    if (!s) return nullptr;
    if (service != INTERNET_SERVICE_HTTP || Str(serverName).empty()) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* h = new InternetHandle(*s);
    h->kind = InternetHandle::Kind::Connect;
    h->host = serverName;
    h->port = port;
    h->user = Str(userName);
    h->password = Str(password);
    return Register(h);
}

HINTERNET HttpOpenRequestA(HINTERNET connect, const char* verb, const char* objectName,
                           const char* version, const char* referrer,
                           const char* const* acceptTypes, DWORD flags, DWORD_PTR context) {
    InternetHandle* c = Check(connect, InternetHandle::Kind::Connect);
    if (!c) return nullptr;
    auto* h = new InternetHandle(*c);
    h->kind = InternetHandle::Kind::Request;
    h->verb = Str(verb).empty() ? "GET" : Str(verb);
    h->object = Str(objectName).empty() ? "/" : Str(objectName);
    if (h->object.front() != '/') h->object.insert(0, "/");
    h->version = Str(version).empty() ? "HTTP/1.1" : Str(version);
    h->referrer = Str(referrer);
    for (const char* const* a = acceptTypes; a && *a; ++a) h->accept.emplace_back(*a);
    h->flags = flags;
    return Register(h);
}

BOOL HttpAddRequestHeadersA(HINTERNET request, const char* headers, DWORD headersLength,
                            DWORD modifiers) {
    InternetHandle* h = Check(request, InternetHandle::Kind::Request);
    if (!h) return FALSE;
    if (!headers) return Fail(ERROR_INVALID_PARAMETER);
    if (h->state != InternetHandle::State::Opened) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    std::string text = headersLength == DWORD(-1) ? std::string(headers) : std::string(headers, headersLength);
    size_t pos = 0;
    bool any = false;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 2;
        if (line.empty()) continue;
        // A header line may not smuggle another line into the request head.
        if (line.find_first_of("\r\n") != std::string::npos) return Fail(ERROR_INVALID_PARAMETER);
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return Fail(ERROR_INVALID_PARAMETER);
        std::string name = Trim(line.substr(0, colon));
        std::string value = Trim(line.substr(colon + 1));
        if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
            auto& hs = h->headers;
            hs.erase(std::remove_if(hs.begin(), hs.end(), [&](const auto& p) { return SameName(p.first, name); }),
                     hs.end());
        }
        h->headers.emplace_back(name, value);
        any = true;
    }
    return any ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL HttpSendRequestExA(HINTERNET request, const INTERNET_BUFFERSA* buffersIn,
                        INTERNET_BUFFERSA* buffersOut, DWORD flags, DWORD_PTR context) {
    InternetHandle* h = Check(request, InternetHandle::Kind::Request);
    if (!h) return FALSE;
    if (h->state != InternetHandle::State::Opened) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    bool secure = (h->flags & INTERNET_FLAG_SECURE) != 0;
    INTERNET_PORT port = h->port != INTERNET_INVALID_PORT_NUMBER
                             ? h->port
                             : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);

    CURL* curl = curl_easy_init();
    if (!curl) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    h->curl = curl;
    if (h->exchangeTimeout != 0)
        h->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(h->exchangeTimeout);
    DWORD connectTimeout = h->connectTimeout;
    if (h->exchangeTimeout != 0 && (connectTimeout == 0 || connectTimeout > h->exchangeTimeout))
        connectTimeout = h->exchangeTimeout;
    std::string url = std::string(secure ? "https://" : "http://") + HostPart(h->host) + ":" +
                      std::to_string(port) + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout));
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    if (h->accessType == INTERNET_OPEN_TYPE_DIRECT) {
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
    } else if (h->accessType == INTERNET_OPEN_TYPE_PROXY) {
        std::string bypass = h->proxyBypass;
        std::replace(bypass.begin(), bypass.end(), ';', ',');
        curl_easy_setopt(curl, CURLOPT_PROXY, h->proxy.c_str());
        curl_easy_setopt(curl, CURLOPT_NOPROXY, bypass.c_str());
    }
    // Through a proxy the request is written raw, so the proxy must tunnel.
    curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);

    CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
        h->state = InternetHandle::State::Broken;
        return Fail(CurlConnectError(rc));
    }
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &h->socket) != CURLE_OK ||
        h->socket == CURL_SOCKET_BAD) {
        h->state = InternetHandle::State::Broken;
        return Fail(ERROR_INTERNET_CANNOT_CONNECT);
    }

    h->announced = buffersIn ? buffersIn->dwBufferTotal : 0;
    std::string head = h->verb + " " + h->object + " " + h->version + "\r\n";
    if (!h->accept.empty()) {
        head += "Accept: ";
        for (size_t i = 0; i < h->accept.size(); ++i) head += (i ? ", " : "") + h->accept[i];
        head += "\r\n";
    }
    if (!h->referrer.empty()) head += "Referer: " + h->referrer + "\r\n";
    for (const auto& [name, value] : h->headers) head += name + ": " + value + "\r\n";
    if (!h->agent.empty()) head += "User-Agent: " + h->agent + "\r\n";
    INTERNET_PORT defaultPort = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    head += "Host: " + HostPart(h->host) + (port == defaultPort ? "" : ":" + std::to_string(port)) + "\r\n";
    head += "Content-Length: " + std::to_string(h->announced) + "\r\n";
    if (!h->user.empty()) head += "Authorization: Basic " + Base64(h->user + ":" + h->password) + "\r\n";
    if (h->flags & INTERNET_FLAG_KEEP_CONNECTION) head += "Connection: Keep-Alive\r\n";
    if (h->flags & INTERNET_FLAG_PRAGMA_NOCACHE) head += "Pragma: no-cache\r\n";
    head += "\r\n";
    if (!SendAll(h, head.data(), head.size())) {
        h->state = InternetHandle::State::Broken;
        return FALSE;
    }
    h->state = InternetHandle::State::Sending;
    return TRUE;
}

BOOL InternetWriteFile(HINTERNET request, const void* buffer, DWORD toWrite, DWORD* written) {
    InternetHandle* h = Check(request, InternetHandle::Kind::Request);
    if (!h) return FALSE;
    if (!written || (!buffer && toWrite)) return Fail(ERROR_INVALID_PARAMETER);
    *written = 0;
    if (h->state != InternetHandle::State::Sending) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    // More than announced would be read by the server as the start of the
    // next request.
    if (h->written + toWrite > h->announced) return Fail(ERROR_INVALID_PARAMETER);
    if (!SendAll(h, static_cast<const char*>(buffer), toWrite)) {
        h->state = InternetHandle::State::Broken;
        return FALSE;
    }
    h->written += toWrite;
    *written = toWrite;
    return TRUE;
}

BOOL HttpEndRequestA(HINTERNET request, INTERNET_BUFFERSA* buffersOut, DWORD flags,
                     DWORD_PTR context) {
    InternetHandle* h = Check(request, InternetHandle::Kind::Request);
    if (!h) return FALSE;
    if (h->state != InternetHandle::State::Sending) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (h->written != h->announced) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (!ReadAnswerHead(h)) {
        h->state = InternetHandle::State::Broken;
        return FALSE;
    }
    h->state = InternetHandle::State::Ended;
    return TRUE;
}

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength,
                    DWORD* index) {
    InternetHandle* h = Check(request, InternetHandle::Kind::Request);
    if (!h) return FALSE;
    if (h->state != InternetHandle::State::Ended) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    bool number = (infoLevel & HTTP_QUERY_FLAG_NUMBER) != 0;
    DWORD level = infoLevel & 0xFFFF;
    auto answer = [&](const std::string& text) {
        return number ? CopyNumber(text, buffer, bufferLength) : CopyOut(text, buffer, bufferLength);
    };
    auto header = [&](const std::string& name) -> BOOL {
        DWORD wanted = index ? *index : 0;
        DWORD seen = 0;
        for (const auto& [n, v] : h->answerHeaders) {
            if (!SameName(n, name)) continue;
            if (seen++ != wanted) continue;
            if (!answer(v)) return FALSE;
            if (index) ++*index;
            return TRUE;
        }
        return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    };
    switch (level) {
        case HTTP_QUERY_STATUS_CODE: return answer(std::to_string(h->status));
        case HTTP_QUERY_STATUS_TEXT: return answer(h->statusText);
        case HTTP_QUERY_RAW_HEADERS_CRLF: return answer(h->rawHeaders);
        case HTTP_QUERY_CONTENT_LENGTH: return header("Content-Length");
        case HTTP_QUERY_CUSTOM:
            if (!buffer || !bufferLength || *bufferLength == 0) return Fail(ERROR_INVALID_PARAMETER);
            return header(std::string(static_cast<const char*>(buffer),
                                      strnlen(static_cast<const char*>(buffer), *bufferLength)));
        default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL InternetReadFile(HINTERNET request, void* buffer, DWORD toRead, DWORD* read) {
    InternetHandle* h = Check(request, InternetHandle::Kind::Request);
    if (!h) return FALSE;
    if (!read || (!buffer && toRead)) return Fail(ERROR_INVALID_PARAMETER);
    *read = 0;
    if (h->state != InternetHandle::State::Ended) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (toRead == 0) return TRUE;
    return ReadBody(h, static_cast<char*>(buffer), toRead, read) ? TRUE : FALSE;
}

BOOL InternetSetOptionA(HINTERNET internet, DWORD option, const void* buffer, DWORD length) {
    InternetHandle* h = nullptr;
    {
        std::lock_guard lock(g_liveMutex);
        if (internet && Live().count(internet)) h = internet;
    }
    if (!h) return Fail(ERROR_INVALID_HANDLE);
    if (!buffer || length < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
    DWORD v;
    memcpy(&v, buffer, sizeof v);
    switch (option) {
        case INTERNET_OPTION_CONNECT_TIMEOUT: h->connectTimeout = v; return TRUE;
        case INTERNET_OPTION_SEND_TIMEOUT: h->sendTimeout = v; return TRUE;
        case INTERNET_OPTION_RECEIVE_TIMEOUT: h->receiveTimeout = v; return TRUE;
        case INTERNET_OPTION_EXCHANGE_TIMEOUT: h->exchangeTimeout = v; return TRUE;
        default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

BOOL InternetCloseHandle(HINTERNET internet) {
    {
        std::lock_guard lock(g_liveMutex);
        if (!internet || !Live().erase(internet)) return Fail(ERROR_INVALID_HANDLE);
    }
    delete internet;
    return TRUE;
}

}  // namespace kalvex::wininet

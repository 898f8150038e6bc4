#pragma once
// The Internet calls the form-post client is written against, with their
// Windows names, constants and calling shapes, over libcurl's connect-only
// mode: libcurl resolves the name, goes through a proxy when one is set
// (always as a CONNECT tunnel) and speaks TLS for "https"; this layer writes
// the HTTP/1.1 request head itself, streams the body through
// InternetWriteFile and parses the answer (status line, headers, body framed
// by Content-Length, chunked encoding or the end of the connection).
//
// Every call returns FALSE / nullptr on failure and leaves the reason in the
// thread's last error (kalvex::GetLastError), as an ERROR_INTERNET_* code.
// Waiting is bounded: the connect time-out covers name look-up, connect and
// TLS; the send and receive time-outs bound every single wait for the
// socket (an idle time-out, not a limit on the whole transfer).
#include <cstddef>
#include <cstdint>

namespace kalvex::wininet {

using DWORD = uint32_t;
using BOOL = int;
using INTERNET_PORT = uint16_t;
using DWORD_PTR = uintptr_t;
struct InternetHandle;
using HINTERNET = InternetHandle*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// InternetOpen access types.
constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;  // the system's proxy settings (environment)
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;

constexpr DWORD INTERNET_SERVICE_HTTP = 3;
constexpr INTERNET_PORT INTERNET_INVALID_PORT_NUMBER = 0;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// Request flags.
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000;
constexpr DWORD INTERNET_FLAG_RESYNCHRONIZE = 0x00000800;
constexpr DWORD INTERNET_FLAG_HYPERLINK = 0x00000400;
constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200;
constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;

constexpr DWORD HTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr DWORD HTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

// HttpQueryInfo levels and modifiers.
constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD HTTP_QUERY_CUSTOM = 65535;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;

// InternetSetOption options (values in milliseconds, a DWORD).
constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
constexpr DWORD INTERNET_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
// Not a WinINet option: the time one request may take in all, counted from
// HttpSendRequestEx (connecting included) to the end of its answer; 0 (the
// default) sets no limit. The time-outs above bound each wait; this one
// bounds their sum, so a server that keeps answering a little at a time
// (interim "100 Continue" answers, one byte now and then) cannot hold a
// request open for ever. Past it every call fails with ERROR_INTERNET_TIMEOUT.
constexpr DWORD INTERNET_OPTION_EXCHANGE_TIMEOUT = 0x10001;

// Default time-outs of a new session (milliseconds).
constexpr DWORD kDefaultConnectTimeoutMs = 30000;
constexpr DWORD kDefaultIdleTimeoutMs = 30000;

// Last-error codes.
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;

struct INTERNET_BUFFERSA {
    DWORD dwStructSize = sizeof(INTERNET_BUFFERSA);
    INTERNET_BUFFERSA* Next = nullptr;
    const char* lpcszHeader = nullptr;  // extra headers (unused here)
    DWORD dwHeadersLength = 0;
    DWORD dwHeadersTotal = 0;
    void* lpvBuffer = nullptr;          // initial data (unused here)
    DWORD dwBufferLength = 0;
    DWORD dwBufferTotal = 0;            // the body length announced as Content-Length
    DWORD dwOffsetLow = 0;
    DWORD dwOffsetHigh = 0;
};

HINTERNET InternetOpenA(const char* agent, DWORD accessType, const char* proxy,
                        const char* proxyBypass, DWORD flags);
HINTERNET InternetConnectA(HINTERNET internet, const char* serverName, INTERNET_PORT port,
                           const char* userName, const char* password, DWORD service,
                           DWORD flags, DWORD_PTR context);
HINTERNET HttpOpenRequestA(HINTERNET connect, const char* verb, const char* objectName,
                           const char* version, const char* referrer,
                           const char* const* acceptTypes, DWORD flags, DWORD_PTR context);
// headersLength (DWORD)-1 means a zero-terminated text. The text is one or
// more "Name: value\r\n" lines.
BOOL HttpAddRequestHeadersA(HINTERNET request, const char* headers, DWORD headersLength,
                            DWORD modifiers);
// Connects and sends the request head announcing buffersIn->dwBufferTotal
// body bytes.
BOOL HttpSendRequestExA(HINTERNET request, const INTERNET_BUFFERSA* buffersIn,
                        INTERNET_BUFFERSA* buffersOut, DWORD flags, DWORD_PTR context);
BOOL InternetWriteFile(HINTERNET request, const void* buffer, DWORD toWrite, DWORD* written);
// Reads the answer's status line and headers.
BOOL HttpEndRequestA(HINTERNET request, INTERNET_BUFFERSA* buffersOut, DWORD flags,
                     DWORD_PTR context);
// For HTTP_QUERY_CUSTOM the buffer holds the header name on entry. index
// (may be null) picks among repeated headers and is advanced on success.
BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* bufferLength,
                    DWORD* index);
// Reads body bytes; *read == 0 with TRUE at the end of the body.
BOOL InternetReadFile(HINTERNET request, void* buffer, DWORD toRead, DWORD* read);
BOOL InternetSetOptionA(HINTERNET internet, DWORD option, const void* buffer, DWORD length);
BOOL InternetCloseHandle(HINTERNET internet);

}  // namespace kalvex::wininet

#include <gtest/gtest.h>

#include <cstring>

#include "platform/system/SystemError.h"
#include "platform/wininet/WinInet.h"
#include "tests/uploader/http/HttpTestServer.h"

using namespace kalvex::wininet;
using kalvex::test::HttpTestServer;

namespace {
struct Handles {
    HINTERNET s = nullptr, c = nullptr, r = nullptr;
    ~Handles() {
        if (r) InternetCloseHandle(r);
        if (c) InternetCloseHandle(c);
        if (s) InternetCloseHandle(s);
    }
};
}  // namespace

TEST(WinInet, RequestHeadAnnouncedLengthAndQueries) {
    HttpTestServer server;
    server.SetAnswer(200, "hello");
    Handles h;
    h.s = InternetOpenA("agent/1", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_TRUE(h.s);
    h.c = InternetConnectA(h.s, "127.0.0.1", static_cast<INTERNET_PORT>(server.port()), nullptr, nullptr,
                           INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_TRUE(h.c);
    const char* accept[] = {"*/*", nullptr};
    h.r = HttpOpenRequestA(h.c, "POST", "x/y?z=1", "HTTP/1.1", nullptr, accept,
                           INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_KEEP_CONNECTION, 0);
    ASSERT_TRUE(h.r);
    ASSERT_TRUE(HttpAddRequestHeadersA(h.r, "X-One: 1\r\n", DWORD(-1), HTTP_ADDREQ_FLAG_ADD));
    // A header text cannot smuggle a second line.
    EXPECT_FALSE(HttpAddRequestHeadersA(h.r, "X-Bad: 1\rX-Evil: 2\r\n", DWORD(-1), HTTP_ADDREQ_FLAG_ADD));
    INTERNET_BUFFERSA in;
    in.dwBufferTotal = 6;
    ASSERT_TRUE(HttpSendRequestExA(h.r, &in, nullptr, 0, 0));
    DWORD w = 0;
    ASSERT_TRUE(InternetWriteFile(h.r, "abc", 3, &w));
    EXPECT_EQ(3u, w);
    // Writing past the announced length is refused, so the server never
    // reads body bytes as a next request.
    EXPECT_FALSE(InternetWriteFile(h.r, "defg", 4, &w));
    EXPECT_EQ(int(ERROR_INVALID_PARAMETER), kalvex::GetLastError());
    // Ending before the body is complete is refused too.
    EXPECT_FALSE(HttpEndRequestA(h.r, nullptr, 0, 0));
    ASSERT_TRUE(InternetWriteFile(h.r, "def", 3, &w));
    ASSERT_TRUE(HttpEndRequestA(h.r, nullptr, 0, 0));

    auto q = server.Requests().back();
    EXPECT_EQ("/x/y?z=1", q.path);
    EXPECT_EQ("abcdef", q.body);
    EXPECT_EQ("1", q.Header("X-One"));
    EXPECT_EQ("agent/1", q.Header("User-Agent"));
    EXPECT_EQ("no-cache", q.Header("Pragma"));
    EXPECT_EQ("", q.Header("X-Evil"));

    DWORD code = 0, len = sizeof code;
    ASSERT_TRUE(HttpQueryInfoA(h.r, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &len, nullptr));
    EXPECT_EQ(200u, code);
    char small[2];
    len = sizeof small;
    EXPECT_FALSE(HttpQueryInfoA(h.r, HTTP_QUERY_STATUS_TEXT, small, &len, nullptr));
    EXPECT_EQ(int(ERROR_INSUFFICIENT_BUFFER), kalvex::GetLastError());
    EXPECT_EQ(3u, len);  // "OK" and its terminator
    char name[64] = "Content-Length";
    len = sizeof name;
    DWORD index = 0;
    ASSERT_TRUE(HttpQueryInfoA(h.r, HTTP_QUERY_CUSTOM, name, &len, &index));
    EXPECT_STREQ("5", name);
    EXPECT_EQ(1u, index);
    std::strcpy(name, "Content-Length");
    len = sizeof name;
    EXPECT_FALSE(HttpQueryInfoA(h.r, HTTP_QUERY_CUSTOM, name, &len, &index));  // no second one
    EXPECT_EQ(int(ERROR_HTTP_HEADER_NOT_FOUND), kalvex::GetLastError());

    char body[16];
    DWORD got = 0;
    ASSERT_TRUE(InternetReadFile(h.r, body, sizeof body, &got));
    EXPECT_EQ("hello", std::string(body, got));
    ASSERT_TRUE(InternetReadFile(h.r, body, sizeof body, &got));
    EXPECT_EQ(0u, got);
}

TEST(WinInet, BadHandlesAndWrongOrder) {
    EXPECT_FALSE(InternetCloseHandle(nullptr));
    EXPECT_EQ(int(ERROR_INVALID_HANDLE), kalvex::GetLastError());
    Handles h;
    h.s = InternetOpenA("a", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    ASSERT_TRUE(h.s);
    // A session is not a connection.
    EXPECT_EQ(nullptr, HttpOpenRequestA(h.s, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    EXPECT_EQ(int(ERROR_INVALID_HANDLE), kalvex::GetLastError());
    h.c = InternetConnectA(h.s, "127.0.0.1", 1, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    h.r = HttpOpenRequestA(h.c, "POST", "/", nullptr, nullptr, nullptr, 0, 0);
    ASSERT_TRUE(h.r);
    DWORD w = 0;
    EXPECT_FALSE(InternetWriteFile(h.r, "x", 1, &w));  // not sent yet
    EXPECT_EQ(int(ERROR_INTERNET_INCORRECT_HANDLE_STATE), kalvex::GetLastError());
    EXPECT_FALSE(HttpEndRequestA(h.r, nullptr, 0, 0));
}

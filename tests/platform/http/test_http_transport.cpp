// The HTTP transport against real servers on 127.0.0.1: limits (size cap,
// idle time-out, deadline, redirects), cancel, sinks, multipart forms and
// the streamed request of the uploader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/http/HttpTransport.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/TestEnv.h"
#include "tests/uploader/http/HttpTestServer.h"

using namespace kalvex::http;
using kalvex::test::DownloadTestServer;
using kalvex::test::HttpTestServer;
using kalvex::test::RawTcpServer;
using Kind = DownloadTestServer::Kind;

namespace {

std::string Bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

Request Get(const std::string& url) {
    Request q;
    q.url = url;
    q.limits.connectTimeoutMs = 5000;
    q.limits.idleTimeoutMs = 5000;
    q.limits.deadlineMs = 20000;
    return q;
}

// The files in a folder, by name.
std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A server whose /r/N redirects to /r/N-1, and /r/0 answers "arrived".
struct RedirectChain {
    httplib::Server server;
    int port = -1;
    std::thread thread;
    RedirectChain() {
        server.Get(R"(/r/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            int n = std::stoi(req.matches[1]);
            if (n == 0)
                res.set_content("arrived", "text/plain");
            else
                res.set_redirect("/r/" + std::to_string(n - 1), 302);
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
    }
    ~RedirectChain() {
        server.stop();
        thread.join();
    }
    std::string Url(int n) const { return "http://127.0.0.1:" + std::to_string(port) + "/r/" + std::to_string(n); }
};

}  // namespace

TEST(HttpTransport, AnswerToMemoryWithStatusHeadersAndLength) {
    DownloadTestServer server;
    server.Set("/a", {200, "hello there"});
    MemorySink sink;
    Result r = Perform(Get(server.Base() + "/a?x=1"), sink);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("OK", r.statusText);
    EXPECT_EQ("hello there", sink.Data());
    EXPECT_EQ(11u, r.bodyBytes);
    EXPECT_EQ(11, r.contentLength);
    EXPECT_EQ("application/octet-stream", r.Header("content-TYPE").value_or(""));
    EXPECT_FALSE(r.Header("Content-Type", 1).has_value());
    EXPECT_EQ(0u, r.rawHeaders.rfind("HTTP/1.1 200 OK\r\n", 0));
    EXPECT_EQ("\r\n\r\n", r.rawHeaders.substr(r.rawHeaders.size() - 4));
    EXPECT_EQ("", r.error);
    EXPECT_EQ(std::vector<std::string>{"/a?x=1"}, server.Targets());
}

// Exactly at the cap passes; one byte more fails, whether the server
// announces the length (refused before the body) or not (counted).
TEST(HttpTransport, BodyExactlyAtTheCapPassesOneMoreFailsAndLeavesNoFile) {
    DownloadTestServer server;
    const size_t cap = 20000;
    for (Kind kind : {Kind::Plain, Kind::Chunked}) {
        SCOPED_TRACE(kind == Kind::Plain ? "announced" : "chunked");
        server.Set("/at", {200, Bytes(cap, 1), kind});
        server.Set("/over", {200, Bytes(cap + 1, 2), kind});
        const std::string folder = kalvex::test::TestPath(kind == Kind::Plain ? "plain" : "chunked").toStdString();
        std::filesystem::create_directories(folder);
        const std::string target = folder + "/file.bin";

        Request q = Get(server.Base() + "/at");
        q.limits.maxBodyBytes = cap;
        {
            FileSink sink(target);
            Result r = Perform(q, sink);
            ASSERT_TRUE(r.ok()) << r.error;
            EXPECT_EQ(cap, r.bodyBytes);
            ASSERT_TRUE(sink.Commit()) << sink.Error();
        }
        EXPECT_EQ(Bytes(cap, 1), ReadFile(target));

        q.url = server.Base() + "/over";
        {
            FileSink sink(target);
            Result r = Perform(q, sink);
            EXPECT_EQ(ErrorKind::TooLarge, r.kind);
            EXPECT_EQ("the answer is larger than 20000 bytes", r.error);
            EXPECT_LE(r.bodyBytes, cap);
        }
        // No partial file beside it, and the earlier file is untouched.
        EXPECT_EQ(std::vector<std::string>{"file.bin"}, Entries(folder));
        EXPECT_EQ(Bytes(cap, 1), ReadFile(target));
    }
}

TEST(HttpTransport, TricklingServerHitsTheDeadline) {
    // One byte every 100 ms: never idle long, so only the deadline ends it.
    RawTcpServer server(RawTcpServer::Mode::Trickle, 0, 100);
    Request q = Get("http://127.0.0.1:" + std::to_string(server.port()) + "/slow");
    q.limits.idleTimeoutMs = 30000;
    q.limits.deadlineMs = 1200;
    MemorySink sink;
    QElapsedTimer timer;
    timer.start();
    Result r = Perform(q, sink);
    qint64 took = timer.elapsed();
    EXPECT_EQ(ErrorKind::Timeout, r.kind);
    EXPECT_NE(std::string::npos, r.error.find("Timeout")) << r.error;  // libcurl's own text
    EXPECT_GE(took, 1100);
    EXPECT_LT(took, 8000);
}

TEST(HttpTransport, StalledServerHitsTheIdleTimeout) {
    DownloadTestServer server;
    server.Set("/gated", {200, Bytes(100000, 3), Kind::Gated});
    Request q = Get(server.Base() + "/gated");
    q.limits.idleTimeoutMs = 1000;
    q.limits.deadlineMs = 0;
    MemorySink sink;
    QElapsedTimer timer;
    timer.start();
    Result r = Perform(q, sink);
    EXPECT_EQ(ErrorKind::Timeout, r.kind);
    EXPECT_EQ("nothing arrived for 1000 ms", r.error);
    EXPECT_EQ(50000u, r.bodyBytes);
    EXPECT_GE(timer.elapsed(), 950);
    EXPECT_LT(timer.elapsed(), 4000);  // within about a second of the time-out
}

TEST(HttpTransport, CancelFromTheProgressCallbackStopsAndLeavesNoFile) {
    DownloadTestServer server;
    server.Set("/gated", {200, Bytes(100000, 4), Kind::Gated});
    const std::string folder = kalvex::test::TestPath("cancel").toStdString();
    std::filesystem::create_directories(folder);
    Request q = Get(server.Base() + "/gated");
    int calls = 0;
    uint64_t seenTotal = 0;
    q.progress = [&](const Progress& p) {
        ++calls;
        seenTotal = p.receiveTotal;
        return p.received == 0;  // stop once the first half is in
    };
    {
        FileSink sink(folder + "/x.bin");
        ASSERT_TRUE(sink.IsOpen());
        Result r = Perform(q, sink);
        EXPECT_EQ(ErrorKind::Cancelled, r.kind);
        EXPECT_EQ("stopped by the progress callback", r.error);
    }
    EXPECT_GT(calls, 0);
    EXPECT_EQ(100000u, seenTotal);
    EXPECT_TRUE(Entries(folder).empty());
    server.Release();
}

TEST(HttpTransport, RedirectsUpToTheLimitAreFollowedALoopEnds) {
    RedirectChain chain;
    Request q = Get(chain.Url(3));
    q.limits.maxRedirects = 3;
    MemorySink sink;
    Result r = Perform(q, sink);
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ("arrived", sink.Data());
    EXPECT_EQ(200, r.status);
    EXPECT_FALSE(r.Header("Location").has_value());  // the headers of the last answer only

    q.url = chain.Url(4);
    MemorySink sink2;
    r = Perform(q, sink2);
    EXPECT_EQ(ErrorKind::TooManyRedirects, r.kind);
    EXPECT_EQ("", sink2.Data());

    DownloadTestServer server;
    server.Set("/loop", {302, "", Kind::RedirectLoop});
    q.url = server.Base() + "/loop";
    q.limits.maxRedirects = 5;
    r = Perform(q, sink2);
    EXPECT_EQ(ErrorKind::TooManyRedirects, r.kind);
    EXPECT_NE(std::string::npos, r.error.find("redirect")) << r.error;
    EXPECT_EQ(6u, server.Targets().size());  // the first request and five redirects
}

TEST(HttpTransport, NotFoundIsAnHttpStatusErrorWithTheStatus) {
    DownloadTestServer server;
    const std::string folder = kalvex::test::TestPath("nf").toStdString();
    std::filesystem::create_directories(folder);
    {
        FileSink sink(folder + "/missing.bin");
        Result r = Perform(Get(server.Base() + "/missing"), sink);
        EXPECT_EQ(ErrorKind::HttpStatus, r.kind);
        EXPECT_EQ(404, r.status);
        EXPECT_EQ(0u, r.bodyBytes);
        EXPECT_NE(std::string::npos, r.error.find("404")) << r.error;
    }
    EXPECT_TRUE(Entries(folder).empty());

    // Asked to, the transport hands over the error page as an answer.
    Request q = Get(server.Base() + "/missing");
    q.failOnHttpError = false;
    MemorySink sink;
    Result r = Perform(q, sink);
    EXPECT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(404, r.status);
    EXPECT_EQ("not found", sink.Data());
}

TEST(HttpTransport, ConnectFailuresAndBadUrlsHaveTheirKinds) {
    MemorySink sink;
    Result r = Perform(Get("http://127.0.0.1:" + std::to_string(kalvex::test::UnusedPort()) + "/"), sink);
    EXPECT_EQ(ErrorKind::CannotConnect, r.kind);
    EXPECT_FALSE(r.error.empty());
    r = Perform(Get("ftp://127.0.0.1/x"), sink);
    EXPECT_EQ(ErrorKind::InvalidUrl, r.kind);
    r = Perform(Get("file:///etc/passwd"), sink);
    EXPECT_EQ(ErrorKind::InvalidUrl, r.kind);
    EXPECT_EQ("", sink.Data());
    Request q = Get("http://127.0.0.1:1/");
    q.headers = {"X-A: 1\r\nX-Evil: 2"};
    r = Perform(q, sink);
    EXPECT_EQ(ErrorKind::InvalidUrl, r.kind);
}

TEST(HttpTransport, SinkThatCannotWriteIsALocalFileError) {
    struct Full : BodySink {
        bool Write(const char*, size_t) override { return false; }
        std::string Error() const override { return "disk full"; }
    } full;
    DownloadTestServer server;
    server.Set("/a", {200, "abc"});
    Result r = Perform(Get(server.Base() + "/a"), full);
    EXPECT_EQ(ErrorKind::LocalFile, r.kind);
    EXPECT_EQ("disk full", r.error);

    FileSink nowhere(kalvex::test::TestPath("no/such/folder/x").toStdString());
    EXPECT_FALSE(nowhere.IsOpen());
    EXPECT_NE(std::string::npos, nowhere.Error().find("Could not create")) << nowhere.Error();
}

// An independent multipart parser (cpp-httplib's) reads the fields back.
TEST(HttpTransport, MultipartFormArrivesWithExactFieldsAndFileBytes) {
    httplib::Server server;
    std::mutex m;
    httplib::MultipartFormDataItems items;
    std::string contentType;
    server.Post("/form", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(m);
        for (const auto& [k, v] : req.files) items.push_back(v);
        contentType = req.get_header_value("Content-Type");
        res.set_content("thanks", "text/plain");
    });
    int port = server.bind_to_any_port("127.0.0.1");
    std::thread t([&] { server.listen_after_bind(); });

    const std::string data = Bytes(70001, 9);
    const std::string path = kalvex::test::TestPath("upload.bin").toStdString();
    kalvex::test::WriteFile(path, data);
    Request q = Get("http://127.0.0.1:" + std::to_string(port) + "/form");
    q.form = {{"email", "a@b.c", "", "", ""},
              {"userfile", "", path, "Kalvex_1_A.txt", "application/octet-stream"},
              {"empty", "", "", "", ""}};
    MemorySink sink;
    Result r = Perform(q, sink);
    server.stop();
    t.join();
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ("thanks", sink.Data());
    EXPECT_EQ(0u, contentType.rfind("multipart/form-data; boundary=", 0)) << contentType;
    ASSERT_EQ(3u, items.size());
    auto find = [&](const std::string& name) {
        return *std::find_if(items.begin(), items.end(), [&](const auto& i) { return i.name == name; });
    };
    EXPECT_EQ("a@b.c", find("email").content);
    EXPECT_EQ("", find("email").filename);
    EXPECT_TRUE(data == find("userfile").content);
    EXPECT_EQ("Kalvex_1_A.txt", find("userfile").filename);
    EXPECT_EQ("application/octet-stream", find("userfile").content_type);
    EXPECT_EQ("", find("empty").content);
    EXPECT_GT(r.sentBytes, 70001u);

    // A file that cannot be read fails the request as a local file error.
    q.form = {{"userfile", "", kalvex::test::TestPath("gone.bin").toStdString(), "", ""}};
    MemorySink sink2;
    r = Perform(q, sink2);
    EXPECT_EQ(ErrorKind::LocalFile, r.kind) << r.error;
}

// ------------------------------------------------------------------ Exchange

namespace {
Request Post(int port, const std::string& path = "/up") {
    Request q;
    q.url = "http://127.0.0.1:" + std::to_string(port) + path;
    q.method = "POST";
    q.headers = {"Content-Type: text/plain"};
    q.userAgent = "tester";
    q.limits.connectTimeoutMs = 5000;
    q.limits.idleTimeoutMs = 5000;
    return q;
}
}  // namespace

TEST(HttpTransportExchange, PiecesArriveExactlyWithTheAnnouncedLength) {
    HttpTestServer server;
    server.SetAnswer(201, "made");
    const std::string body = Bytes(200000, 5);
    Exchange x(Post(server.port()), body.size());
    ASSERT_TRUE(x.Start()) << x.result().error;
    size_t off = 0;
    for (size_t piece : {size_t(1), size_t(1023), size_t(65536), size_t(65537)}) {
        ASSERT_TRUE(x.Send(body.data() + off, piece)) << x.result().error;
        off += piece;
        EXPECT_EQ(off, x.Sent());
    }
    {
        // Ending before the body is complete is refused.
        Exchange early(Post(server.port()), 10);
        ASSERT_TRUE(early.Start());
        EXPECT_FALSE(early.Finish());
        EXPECT_NE(std::string::npos, early.result().error.find("not complete")) << early.result().error;
        EXPECT_FALSE(early.Send("x", 1));  // the failed exchange is over
    }

    ASSERT_TRUE(x.Send(body.data() + off, body.size() - off));
    // Not one byte past the announced length.
    EXPECT_FALSE(x.Send("!", 1));
    EXPECT_NE(std::string::npos, x.result().error.find("announced")) << x.result().error;

    Exchange y(Post(server.port(), "/second?q=1"), 3);
    ASSERT_TRUE(y.Start());
    ASSERT_TRUE(y.Send("abc", 3));
    ASSERT_TRUE(y.Finish()) << y.result().error;
    EXPECT_EQ(201, y.result().status);
    EXPECT_EQ("Created", y.result().statusText);
    EXPECT_EQ("made", y.Body());
    auto reqs = server.Requests();
    ASSERT_EQ(3u, reqs.size());
    EXPECT_TRUE(body == reqs[0].body);
    auto q = reqs.back();
    EXPECT_EQ("POST", q.method);
    EXPECT_EQ("/second?q=1", q.path);
    EXPECT_EQ("abc", q.body);
    EXPECT_EQ("3", q.Header("Content-Length"));
    EXPECT_EQ("text/plain", q.Header("Content-Type"));
    EXPECT_EQ("tester", q.Header("User-Agent"));
    EXPECT_EQ("", q.Header("Expect"));
    EXPECT_EQ("", q.Header("Transfer-Encoding"));
}

TEST(HttpTransportExchange, StepsOutOfOrderAndUnsafeHeadersAreRefused) {
    HttpTestServer server;
    Exchange idle(Post(server.port()), 1);
    EXPECT_FALSE(idle.Send("x", 1));
    Exchange idle2(Post(server.port()), 1);
    EXPECT_FALSE(idle2.Finish());

    Request q = Post(server.port());
    q.headers.push_back("X-Bad: 1\rX-Evil: 2");
    Exchange bad(q, 1);
    EXPECT_FALSE(bad.Start());
    EXPECT_EQ(ErrorKind::InvalidUrl, bad.result().kind);
    EXPECT_TRUE(server.Requests().empty());

    Exchange refused(Post(kalvex::test::UnusedPort()), 1);
    EXPECT_FALSE(refused.Start());
    EXPECT_EQ(ErrorKind::CannotConnect, refused.result().kind);
}

TEST(HttpTransportExchange, SilentServerIsAnIdleTimeoutAFloodHitsTheDeadline) {
    {
        RawTcpServer server(RawTcpServer::Mode::NeverAnswer);
        Request q = Post(server.port());
        q.limits.idleTimeoutMs = 300;
        Exchange x(q, 2);
        ASSERT_TRUE(x.Start());
        ASSERT_TRUE(x.Send("ab", 2));
        QElapsedTimer timer;
        timer.start();
        EXPECT_FALSE(x.Finish());
        EXPECT_EQ(ErrorKind::Timeout, x.result().kind);
        EXPECT_GE(timer.elapsed(), 290);
        EXPECT_LT(timer.elapsed(), 5000);
    }
    {
        // Interim answers every 100 ms keep it from ever being idle.
        RawTcpServer server(RawTcpServer::Mode::Flood100, 0, 100);
        Request q = Post(server.port());
        q.limits.idleTimeoutMs = 30000;
        q.limits.deadlineMs = 1000;
        QElapsedTimer timer;
        timer.start();
        Exchange x(q, 2);
        ASSERT_TRUE(x.Start());
        ASSERT_TRUE(x.Send("ab", 2));
        EXPECT_FALSE(x.Finish());
        EXPECT_EQ(ErrorKind::Timeout, x.result().kind);
        EXPECT_GE(timer.elapsed(), 950);
        EXPECT_LT(timer.elapsed(), 8000);
    }
}

TEST(HttpTransportExchange, AnswerIsKeptUpToItsLimitChunkedTrailersAreNoHeaders) {
    HttpTestServer server;
    std::string reply(70000, 'z');
    reply[69999] = 'E';
    server.SetAnswer(200, reply, true);
    Exchange whole(Post(server.port()), 1);
    ASSERT_TRUE(whole.Start());
    ASSERT_TRUE(whole.Send("1", 1));
    ASSERT_TRUE(whole.Finish()) << whole.result().error;
    EXPECT_TRUE(reply == whole.Body());
    EXPECT_FALSE(whole.result().Header("X-Trailer").has_value());
    EXPECT_EQ(std::string::npos, whole.result().rawHeaders.find("X-Trailer"));

    Exchange cut(Post(server.port()), 1, 1000);
    ASSERT_TRUE(cut.Start());
    ASSERT_TRUE(cut.Send("1", 1));
    ASSERT_TRUE(cut.Finish()) << cut.result().error;
    EXPECT_EQ(reply.substr(0, 1000), cut.Body());
}

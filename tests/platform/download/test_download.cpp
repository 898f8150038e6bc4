#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/download/DownloadCallback.h"
#include "platform/download/UrlDownload.h"
#include "platform/download/WorkerThreads.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSigningKey.h"
#include "tests/uploader/http/HttpTestServer.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using namespace kalvex::urlmon;
using kalvex::test::DownloadTestServer;
using Kind = DownloadTestServer::Kind;

// Every umask() call of this program comes here first: the downloads must
// never set the process's mask (another thread's new file would get it).
static std::atomic<int> g_umaskCalls{0};
extern "C" mode_t umask(mode_t mask) {
    g_umaskCalls.fetch_add(1);
    return mode_t(::syscall(SYS_umask, mask));
}

namespace {

std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 251) & 0xFF);
    return s;
}

// Records every progress report; answers with `answer` (may stop it).
struct Recorder : IBindStatusCallback {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    std::function<HRESULT(uint32_t, uint32_t)> answer;
    HRESULT OnProgress(uint32_t now, uint32_t total) override {
        calls.emplace_back(now, total);
        return answer ? answer(now, total) : S_OK;
    }
};

// Files in the test's data folder, so leftovers of a failed download show.
std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
}

// Collects the messages posted to it.
class Inbox : public QObject, public IMessageTarget {
public:
    std::vector<std::tuple<unsigned, WPARAM, LPARAM>> messages;
    bool event(QEvent* e) override { return DispatchMessageEvent(e, this) || QObject::event(e); }
    LRESULT HandleMessage(unsigned m, WPARAM w, LPARAM l) override {
        messages.emplace_back(m, w, l);
        return 0;
    }
    bool Has(unsigned m) const {
        for (auto& t : messages)
            if (std::get<0>(t) == m) return true;
        return false;
    }
};

class Download : public testing::Test {
protected:
    std::string dir = kalvex::test::TestRoot() + "/dl/";
    std::string target = dir + "file.bin";
    DownloadTestServer server;
    DownloadLimits quick{2000, 1000, 0, 0, 5};
    void SetUp() override {
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(server.ok());
    }
};

}  // namespace

TEST_F(Download, WholeAnswerArrivesWithItsProgress) {
    const std::string body = Bytes(300000);
    server.Set("/download/x.bin", {200, body});
    Recorder rec;
    std::string error;
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/download/x.bin", target, &rec, quick, &error), S_OK) << error;
    EXPECT_EQ(kalvex::test::ReadFile(target), body);
    ASSERT_FALSE(rec.calls.empty());
    EXPECT_EQ(rec.calls.back(), std::make_pair(uint32_t(300000), uint32_t(300000)));
    for (size_t i = 1; i < rec.calls.size(); ++i) EXPECT_GE(rec.calls[i].first, rec.calls[i - 1].first);
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"file.bin"});
}

TEST_F(Download, AnswerWithoutLengthReportsATotalOfZero) {
    const std::string body = Bytes(50000);
    server.Set("/c", {200, body, Kind::Chunked});
    Recorder rec;
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/c", target, &rec, quick), S_OK);
    EXPECT_EQ(kalvex::test::ReadFile(target), body);
    ASSERT_FALSE(rec.calls.empty());
    for (auto& c : rec.calls) EXPECT_EQ(c.second, 0u);
    EXPECT_EQ(rec.calls.back().first, 50000u);
}

TEST_F(Download, FailuresLeaveThePreviousFileAsItWas) {
    kalvex::test::WriteFile(target, "previous");
    server.Set("/err", {500, "server broke"});
    server.Set("/half", {200, Bytes(200000), Kind::HalfWay});
    server.Set("/loop", {200, "", Kind::RedirectLoop});
    std::string error;
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/err", target, nullptr, quick, &error), INET_E_DOWNLOAD_FAILURE);
    EXPECT_NE(error.find("500"), std::string::npos) << error;
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/missing", target, nullptr, quick), INET_E_RESOURCE_NOT_FOUND);
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/half", target, nullptr, quick, &error), INET_E_DOWNLOAD_FAILURE);
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/loop", target, nullptr, quick), INET_E_REDIRECT_FAILED);
    EXPECT_EQ(URLDownloadToFile("http://127.0.0.1:" + std::to_string(kalvex::test::UnusedPort()) + "/x", target, nullptr,
                                quick),
              INET_E_CANNOT_CONNECT);
    EXPECT_EQ(URLDownloadToFile("file:///etc/passwd", target, nullptr, quick), INET_E_INVALID_URL);
    // Nothing half-written: the old file is untouched and no partial file remains.
    EXPECT_EQ(kalvex::test::ReadFile(target), "previous");
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"file.bin"});
}

TEST_F(Download, SizeLimitHoldsAtTheBoundary) {
    server.Set("/exact", {200, Bytes(1000)});
    server.Set("/over", {200, Bytes(1001)});
    server.Set("/over-chunked", {200, Bytes(1001), Kind::Chunked});
    server.Set("/big", {200, std::string(10 * 1024 * 1024, 'x')});
    DownloadLimits limits = quick;
    limits.maxBytes = 1000;
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/exact", target, nullptr, limits), S_OK);
    EXPECT_EQ(kalvex::test::ReadFile(target).size(), 1000u);
    std::filesystem::remove(target);
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/over", target, nullptr, limits), INET_E_DATA_TOO_LARGE);
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/over-chunked", target, nullptr, limits), INET_E_DATA_TOO_LARGE);
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/big", target, nullptr, limits), INET_E_DATA_TOO_LARGE);
    EXPECT_TRUE(FilesIn(dir).empty());
}

TEST_F(Download, CallbackStopsTheTransferBeforeAndDuring) {
    server.Set("/g", {200, Bytes(400000), Kind::Gated});
    Recorder before;
    before.answer = [](uint32_t, uint32_t) { return E_ABORT; };
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/g", target, &before, quick), E_ABORT);
    EXPECT_EQ(before.calls.size(), 1u);

    // The server holds back the second half; the stop is seen while waiting.
    Recorder during;
    during.answer = [](uint32_t now, uint32_t) { return now >= 200000 ? E_ABORT : S_OK; };
    DownloadLimits patient = quick;
    patient.stallTimeoutMs = 20000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/g", target, &during, patient), E_ABORT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(during.calls.back().first, 200000u);
    EXPECT_TRUE(FilesIn(dir).empty());
    server.Release();
}

TEST_F(Download, ServerThatNeverAnswersIsGivenUp) {
    kalvex::test::RawTcpServer silent(kalvex::test::RawTcpServer::Mode::NeverAnswer);
    Recorder rec;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(URLDownloadToFile("http://127.0.0.1:" + std::to_string(silent.port()) + "/ver", target, &rec, quick),
              INET_E_CONNECTION_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    // It was asked while waiting, so a cancel would have been seen.
    EXPECT_GE(rec.calls.size(), 2u);
    EXPECT_TRUE(FilesIn(dir).empty());
}

TEST_F(Download, TotalTimeLimitEndsASlowTransfer) {
    server.Set("/g", {200, Bytes(10000), Kind::Gated});
    DownloadLimits limits{2000, 20000, 700, 0, 5};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(URLDownloadToFile(server.Base() + "/g", target, nullptr, limits), INET_E_CONNECTION_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    server.Release();
}

TEST_F(Download, CallbackPostsProgressAndDoneToItsWindow) {
    server.Set("/f", {200, Bytes(70000)});
    server.Set("/f.sig", {200, kalvex::test::SignWithSeed(Bytes(70000))});
    Inbox inbox;
    auto cb = std::make_shared<CDownloadCallback>(&inbox);
    StartDownloadThread(cb, server.Base() + "/f", target, quick, DownloadPublicKey());
    QTRY_VERIFY(inbox.Has(WM_DOWNLOAD_DONE));
    auto last = inbox.messages.back();
    EXPECT_EQ(std::get<0>(last), WM_DOWNLOAD_DONE);
    EXPECT_EQ(std::get<1>(last), 1u);
    auto progress = inbox.messages[inbox.messages.size() - 2];
    EXPECT_EQ(std::get<0>(progress), WM_DOWNLOAD_PROGRESS);
    EXPECT_EQ(std::get<1>(progress), 70000u);
    EXPECT_EQ(std::get<2>(progress), 70000);

    // A failed download reports 0; a cancelled one answers E_ABORT.
    Inbox failed;
    StartDownloadThread(std::make_shared<CDownloadCallback>(&failed), server.Base() + "/nothing", target, quick,
                        DownloadPublicKey());
    QTRY_VERIFY(failed.Has(WM_DOWNLOAD_DONE));
    EXPECT_EQ(std::get<1>(failed.messages.back()), 0u);
    EXPECT_EQ(std::get<2>(failed.messages.back()), 0);
    // One whose signature does not verify says so in lParam.
    Inbox unverified;
    server.Set("/u", {200, Bytes(100)});
    server.Set("/u.sig", {200, kalvex::test::SignWithSeed(Bytes(101))});
    StartDownloadThread(std::make_shared<CDownloadCallback>(&unverified), server.Base() + "/u", dir + "u.bin", quick,
                        DownloadPublicKey());
    QTRY_VERIFY(unverified.Has(WM_DOWNLOAD_DONE));
    EXPECT_EQ(std::get<1>(unverified.messages.back()), 0u);
    EXPECT_EQ(std::get<2>(unverified.messages.back()), kDownloadNotVerified);
    EXPECT_FALSE(std::filesystem::exists(dir + "u.bin"));
    CDownloadCallback cancelled(&failed);
    EXPECT_EQ(cancelled.OnProgress(1, 2), S_OK);
    cancelled.Cancel();
    EXPECT_EQ(cancelled.OnProgress(1, 2), E_ABORT);

    // Once detached, nothing reaches the window.
    Inbox gone;
    CDownloadCallback detached(&gone);
    detached.Detach();
    EXPECT_FALSE(detached.Post(WM_DOWNLOAD_DONE, 1, 0));
    QCoreApplication::processEvents();
    EXPECT_TRUE(gone.messages.empty());
}

TEST(ProductServerAddress, ComesFromTheEnvironmentWithoutATrailingSlash) {
    setenv("KALVEX_SERVER", "http://127.0.0.1:1234//", 1);
    EXPECT_EQ(ProductServer(), "http://127.0.0.1:1234");
    unsetenv("KALVEX_SERVER");
    EXPECT_EQ(ProductServer(), kDefaultProductServer);
}

TEST_F(Download, NewFileTakesTheMaskWithoutTheMaskBeingSet) {
    server.Set("/p", {200, Bytes(5000)});
    const mode_t before = ::syscall(SYS_umask, 027);
    for (mode_t mask : {mode_t(027), mode_t(002), mode_t(077)}) {
        ::syscall(SYS_umask, mask);
        const int calls = g_umaskCalls.load();
        std::filesystem::remove(target);
        ASSERT_EQ(URLDownloadToFile(server.Base() + "/p", target, nullptr, quick), S_OK);
        EXPECT_EQ(g_umaskCalls.load(), calls) << "the download called umask()";
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << std::oct << mask;
        // The process's mask is what it was.
        const mode_t now = ::syscall(SYS_umask, mask);
        EXPECT_EQ(now, mask);
    }
    ::syscall(SYS_umask, before);
}

TEST_F(Download, ExitStopsADownloadThatWaitsForTheServer) {
    server.Set("/slow", {200, Bytes(100000), Kind::Gated});
    // What the download's thread reaches lives on the heap, and the window
    // is deleted only once the thread is known to have ended: a stop that
    // does not wait fails this test by its checks, not by a crash.
    auto* inbox = new Inbox;
    auto stopped = std::make_shared<std::atomic<int>>(0);
    DownloadLimits patient = quick;
    patient.stallTimeoutMs = 60000;
    StartDownloadThread(std::make_shared<CDownloadCallback>(inbox), server.Base() + "/slow", target, patient,
                        DownloadPublicKey(), [stopped](const SignedDownloadResult& r) {
                            if (r.end == DownloadEnd::Stopped) stopped->fetch_add(1);
                        });
    ASSERT_TRUE(server.WaitForRequests(1));
    const auto start = std::chrono::steady_clock::now();
    StopWorkerThreads();  // as the program's exit does
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    const bool ended = stopped->load() == 1;
    EXPECT_TRUE(ended) << "the exit did not wait for the download to end";
    if (ended) delete inbox;
    EXPECT_EQ(WorkerThreadCount(), 0u);
    EXPECT_TRUE(FilesIn(dir).empty());
    // Once the exit has begun no download starts; the window hears at once.
    Inbox late;
    StartDownloadThread(std::make_shared<CDownloadCallback>(&late), server.Base() + "/slow", target, quick,
                        DownloadPublicKey());
    QTRY_VERIFY(late.Has(WM_DOWNLOAD_DONE));
    EXPECT_EQ(std::get<1>(late.messages.back()), 0u);
    ResetWorkerThreads();
    server.Release();
}

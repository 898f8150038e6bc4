// The download service, the signature check, the worker threads and the
// update check compiled with ThreadSanitizer: several downloads at once,
// cancels and the program's exit stop arriving while they run, and the
// update check handing its answer to a window that goes away. Any data race
// ThreadSanitizer sees fails the program.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "app/core/UpdateCheck.h"
#include "platform/download/DownloadCallback.h"
#include "platform/download/SignedDownload.h"
#include "platform/download/WorkerThreads.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSigningKey.h"

extern "C" const char* __tsan_default_options() { return "second_deadlock_stack=1"; }
// The test's HTTP server is the packaged cpp-httplib library, built without
// ThreadSanitizer: what it does between its own threads is not ours to see.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }

using namespace kalvex;
using kalvex::test::DownloadTestServer;
using Kind = DownloadTestServer::Kind;

namespace {

std::string Bytes(size_t n, int salt) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 13 + salt) & 0xFF);
    return s;
}

struct Reports {
    std::mutex mutex;
    std::vector<DownloadEnd> ends;
    void Add(const SignedDownloadResult& r) {
        std::lock_guard lock(mutex);
        ends.push_back(r.end);
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return ends.size();
    }
    size_t CountOf(DownloadEnd e) {
        std::lock_guard lock(mutex);
        return size_t(std::count(ends.begin(), ends.end(), e));
    }
};

bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

class DownloadThreads : public testing::Test {
protected:
    DownloadTestServer server;
    std::string dir = kalvex::test::TestRoot() + "/dl/";
    DownloadLimits quick{2000, 2000, 0, 0, 5};
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        server.Release();
        ResetWorkerThreads();
    }
    void Offer(const std::string& path, const std::string& body, Kind kind = Kind::Plain) {
        server.Set(path, {200, body, kind});
        server.Set(path + ".sig", {200, kalvex::test::SignWithSeed(body)});
    }
};

}  // namespace

TEST_F(DownloadThreads, SeveralAtOnceWithCancelsFromAnotherThread) {
    Reports reports;
    std::vector<std::shared_ptr<CDownloadCallback>> callbacks;
    for (int i = 0; i < 6; ++i) {
        const std::string path = "/f" + std::to_string(i);
        // Odd ones wait half-way for a release that comes only after the cancel.
        Offer(path, Bytes(60000 + i, i), i % 2 ? Kind::Gated : Kind::Plain);
        auto cb = std::make_shared<CDownloadCallback>(nullptr);
        callbacks.push_back(cb);
        StartDownloadThread(cb, server.Base() + path, dir + "f" + std::to_string(i), quick, DownloadPublicKey(),
                            [&reports](const SignedDownloadResult& r) { reports.Add(r); });
    }
    ASSERT_TRUE(server.WaitForRequests(6));
    for (int i = 1; i < 6; i += 2) callbacks[size_t(i)]->Cancel();
    ASSERT_TRUE(WaitFor([&] { return reports.Count() == 6; }));
    EXPECT_EQ(reports.CountOf(DownloadEnd::Verified), 3u);
    EXPECT_EQ(reports.CountOf(DownloadEnd::Stopped), 3u);
    StopWorkerThreads();
    EXPECT_EQ(WorkerThreadCount(), 0u);
}

TEST_F(DownloadThreads, ExitStopsDownloadsAndTheCheckWhileTheyRun) {
    Reports reports;
    for (int i = 0; i < 3; ++i) {
        const std::string path = "/g" + std::to_string(i);
        Offer(path, Bytes(80000, i), Kind::Gated);
        StartDownloadThread(std::make_shared<CDownloadCallback>(nullptr), server.Base() + path,
                            dir + "g" + std::to_string(i), DownloadLimits{2000, 60000, 0, 0, 5}, DownloadPublicKey(),
                            [&reports](const SignedDownloadResult& r) { reports.Add(r); });
    }
    setenv("KALVEX_SERVER", server.Base().c_str(), 1);
    server.Set("/ver_for_psp", {200, "1.0.1.0\n" + std::string(3000, ' '), Kind::Gated});
    VersionCheckLimits().stallTimeoutMs = 60000;
    VersionCheckLimits().totalTimeoutMs = 60000;
    auto channel = std::make_shared<UpdateCheckChannel>(nullptr, 0);
    StartUpdateCheckThread(channel);
    ASSERT_TRUE(server.WaitForRequests(4));
    StopWorkerThreads();
    EXPECT_EQ(reports.Count(), 3u);
    EXPECT_EQ(reports.CountOf(DownloadEnd::Stopped), 3u);
    EXPECT_EQ(channel.use_count(), 1);
    for (const auto& e : std::filesystem::directory_iterator(dir)) ADD_FAILURE() << "left behind: " << e.path();
}

TEST_F(DownloadThreads, CheckDeliversWhileTheWindowReadsAndDetaches) {
    setenv("KALVEX_SERVER", server.Base().c_str(), 1);
    server.Set("/ver_for_psp", {200, "1.0.1.0\nabc\n"});
    for (int round = 0; round < 5; ++round) {
        auto channel = std::make_shared<UpdateCheckChannel>(nullptr, 0);
        StartUpdateCheckThread(channel);
        std::atomic<bool> seen{false};
        std::thread reader([&] {
            for (int i = 0; i < 2000 && !seen; ++i) {
                if (channel->Data().newestVersion == "1.0.1.0") seen = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        if (round % 2) channel->Detach();
        reader.join();
        EXPECT_TRUE(seen.load()) << round;
        StopWorkerThreads();
        ResetWorkerThreads();
    }
}

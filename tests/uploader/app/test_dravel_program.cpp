// The built Dravel program, run as the converter runs it.
#include <gtest/gtest.h>

#include <QFile>
#include <QTest>
#include <filesystem>

#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"
#include "tests/uploader/app/DravelTestUtil.h"
#include "tests/uploader/http/HttpTestServer.h"
#include "uploader/app/DravelCore.h"

using namespace kalvex;
using namespace kalvex::dravel;

namespace {
QString DravelProgram() { return QString::fromStdString(test::BinDir() + "/Dravel"); }

struct ServerEnv {
    explicit ServerEnv(const std::string& base) { setenv("KALVEX_SERVER", base.c_str(), 1); }
    ~ServerEnv() { unsetenv("KALVEX_SERVER"); }
};
}  // namespace

// With the address and key stored nothing is asked: the upload runs, the
// window ends by itself and the server holds the joined logs byte for byte.
TEST(DravelProgram, UserUploadPostsTheJoinedLogsAndEnds) {
    test::HttpTestServer server;
    std::string log = test::MakeConverterLog();
    std::string burn = test::MakeStarBurnLog();
    ASSERT_TRUE(StoreEmail("someone@example.org"));
    std::string key = UploadKey();
    ServerEnv env(server.Base());

    QString out;
    EXPECT_EQ(0, test::RunProgram(DravelProgram(), {"USERUPLOAD"}, &out)) << out.toStdString();
    auto reqs = server.Requests();
    ASSERT_EQ(1u, reqs.size());
    std::string content =
        log + "--- starburn.log ---\n" + burn + "--- starburn.log ---\nEmail:someone@example.org\n";
    EXPECT_FALSE(
        test::CheckUploadedForm(reqs[0], content, AppDataFolder() + "log/", "Kalvex" + key + "_-?[0-9]+_USERUPLOAD\\.txt")
            .empty());
    // The upload file is gone; the logs themselves stay.
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(AppDataFolder() + "log"))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, left);
    EXPECT_EQ(burn, test::ReadFile(AppDataFolder() + "StarBurn.log"));
}

TEST(DravelProgram, FailedUploadStillEndsWithExitCodeZero) {
    test::MakeConverterLog();
    ASSERT_TRUE(StoreEmail("someone@example.org"));
    ServerEnv env("http://127.0.0.1:" + std::to_string(test::UnusedPort()));
    EXPECT_EQ(0, test::RunProgram(DravelProgram(), {"BurnDVDFail"}));
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(AppDataFolder() + "log"))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, left);
}

// Without an argument Dravel starts Kalvex from its own folder, with no
// argument, and ends at once.
TEST(DravelProgram, NoArgumentStartsTheConverterBesideIt) {
    test::HttpTestServer server;
    ServerEnv env(server.Base());
    std::string folder = test::TestRoot() + "/app/";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(DravelProgram().toStdString(), folder + "Dravel");
    std::string marker = test::TestRoot() + "/kalvex-started";
    test::WriteFile(folder + "Kalvex", "#!/bin/sh\necho \"$#\" > '" + marker + ".tmp' && mv '" + marker + ".tmp' '" +
                                           marker + "'\n");
    std::filesystem::permissions(folder + "Kalvex", std::filesystem::perms::owner_all);

    EXPECT_EQ(0, test::RunProgram(QString::fromStdString(folder + "Dravel"), {}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(QString::fromStdString(marker)); }, 20000));
    EXPECT_EQ("0\n", test::ReadFile(marker));
    EXPECT_TRUE(server.Requests().empty());
}

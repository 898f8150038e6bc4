// Damaged answers of the product web server, under AddressSanitizer and
// UndefinedBehaviorSanitizer: the version check's "ver" answer and a ".wse"
// list of subtitle addresses. Each answer is checked against a reading of
// its bytes made here, independently of the program's readers.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <algorithm>

#include "app/core/UpdateCheck.h"
#include "media/SubtitleLinker.h"
#include "tests/fuzz/Mutator.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {

// 10,000 damaged answers of each kind, in two rounds of 5,000 (each its own
// seed and test entry).
constexpr int kRounds = 2;
constexpr int kPerRound = 5000;
// Answers that go the whole way through the download as well.
constexpr int kOverHttp = 400;

// Line n (0-based) of the bytes as the version file is read: up to "\n",
// with any "\r" and "\n" at its end removed.
std::string LineOf(const std::string& bytes, int n) {
    size_t start = 0;
    for (int i = 0; i < n; ++i) {
        const size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) return {};
        start = lf + 1;
    }
    std::string line = bytes.substr(start, bytes.find('\n', start) - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return line;
}

bool IsVersionText(const std::string& s) {
    return !s.empty() && s.size() <= 32 &&
           std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

std::string Md5(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Md5).toHex().toStdString();
}

std::vector<std::string> AnswerTokens() {
    std::vector<std::string> t = fuzz::TextTokens();
    for (const char* s : {"1.0.0.15", "1.0.0.16", "1.0.0.9", "1.0.1", "..", "<html>", "0123456789abcdefABCDEF", "g"})
        t.emplace_back(s);
    return t;
}

}  // namespace

class UpdateAnswerRounds : public testing::TestWithParam<int> {};

TEST_P(UpdateAnswerRounds, ANewerVersionIsOfferedOnlyForAVersionLineAndTheChecksumGuardsTheInstaller) {
    const std::string dir = test::TestRoot() + "/";
    const std::string installer = "the installer's bytes";
    test::WriteFile(dir + "inst", installer);
    const std::string md5 = Md5(installer);
    fuzz::Mutator mutator(0x5eed0001ull + 0x100ull * uint64_t(GetParam()),
                          {"1.0.1.0\r\n" + md5 + "\r\n", "1.0.0.16\n" + md5 + "\n", "1.0.0.15\r\n\r\n", "1.0.0.9",
                           "2.0\n0123456789abcdef0123456789abcdef\n"},
                          AnswerTokens());
    int offers = 0, checked = 0, refused = 0;
    for (int i = 0; i < kPerRound; ++i) {
        const std::string answer = mutator.Next(6, 4096);
        test::WriteFile(dir + "ver", answer);
        UpdateInfo info;
        ASSERT_TRUE(ReadVersionFile(dir + "ver", &info));
        const std::string line1 = LineOf(answer, 0), line2 = LineOf(answer, 1);
        ASSERT_EQ(info.newestVersion, line1) << i;
        ASSERT_EQ(info.secondLine, line2) << i;
        const bool newer = IsVersionText(line1) && line1 > std::string("1.0.0.15");
        EXPECT_EQ(IsNewerVersion(info.newestVersion), newer) << i << " " << line1;
        offers += newer;
        // The checksum: a published one (32 hexadecimal digits between
        // blanks) must be the installer's; anything else is no checksum.
        std::string digest = line2;
        digest.erase(0, std::min(digest.find_first_not_of(" \t"), digest.size()));
        while (!digest.empty() && (digest.back() == ' ' || digest.back() == '\t')) digest.pop_back();
        const bool published = digest.size() == 32 && std::all_of(digest.begin(), digest.end(), [](char c) {
                                    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
                                });
        std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        const bool expected = !published || digest == md5;
        EXPECT_EQ(VerifyInstallerChecksum(dir + "inst", info.secondLine), expected) << i << " " << line2;
        checked += published;
        refused += !expected;
    }
    EXPECT_GT(offers, kPerRound / 10);
    EXPECT_LT(offers, kPerRound - kPerRound / 10);
    EXPECT_GT(checked, kPerRound / 50);
    EXPECT_GT(refused, kPerRound / 100);
}

INSTANTIATE_TEST_SUITE_P(Rounds, UpdateAnswerRounds, testing::Range(0, kRounds));

TEST(UpdateAnswerFuzz, TheWholeCheckOverHttpGivesTheSameVerdict) {
    test::DownloadTestServer server;
    ASSERT_TRUE(server.ok());
    setenv("KALVEX_SERVER", server.Base().c_str(), 1);
    DownloadLimits limits = VersionCheckLimits();
    limits.connectTimeoutMs = limits.stallTimeoutMs = limits.totalTimeoutMs = 5000;
    fuzz::Mutator mutator(0x5eed0002, {"1.0.1.0\r\nabc\r\n", "1.0.0.16\n", "1.0.0.15\r\n"}, AnswerTokens());
    int newer = 0;
    for (int i = 0; i < kOverHttp; ++i) {
        const std::string answer = mutator.Next(6, 2048);
        server.Set("/ver_for_psp", {200, answer});
        const UpdateCheckResult r = CheckForUpdate(limits);
        const std::string line1 = LineOf(answer, 0);
        const bool expected = IsVersionText(line1) && line1 > std::string("1.0.0.15");
        ASSERT_NE(r.outcome, UpdateCheckOutcome::DownloadFailed) << i;
        EXPECT_EQ(r.outcome == UpdateCheckOutcome::NewerAvailable, expected) << i << " " << line1;
        EXPECT_EQ(r.info.newestVersion, line1) << i;
        newer += expected;
    }
    EXPECT_GT(newer, 40);
    EXPECT_LT(newer, kOverHttp - 40);
}

namespace {

// What FindSubtitleFiles must take from a list of single-byte text: the
// lines (split at "\n", "\r" dropped, blanks at both ends trimmed) that
// hold "://".
std::vector<std::string> ListLines(const std::string& bytes) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t lf = bytes.find('\n', start);
        if (lf == std::string::npos) lf = bytes.size();
        std::string line = bytes.substr(start, lf - start);
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        while (!line.empty() && blank(line.back())) line.pop_back();
        size_t b = 0;
        while (b < line.size() && blank(line[b])) ++b;
        line.erase(0, b);
        if (line.find("://") != std::string::npos) out.push_back(line);
        start = lf + 1;
    }
    return out;
}

bool Ascii(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (unsigned char)c < 0x80; });
}

}  // namespace

class WebListRounds : public testing::TestWithParam<int> {};

TEST_P(WebListRounds, DamagedListsGiveOnlyTheirAddressLines) {
    test::DownloadTestServer server;
    ASSERT_TRUE(server.ok());
    const std::string base = server.Base();
    const std::string video = test::TestRoot() + "/" + base + "/films/Movie.avi";
    const std::string list = base + "/films/a.srt\r\n  " + base + "/films/b.ssa  \r\nftp://elsewhere/c.sub\r\njunk\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("http://x/a.srt\r\nhttp://y/b.srt\r\n")) utf16 += std::string{c, '\0'};
    fuzz::Mutator mutator(0x5eed0003ull + 0x100ull * uint64_t(GetParam()), {list, "\xEF\xBB\xBFhttp://h\xC3\xA9/\xE2\x82\xAC.srt\n", utf16, "://\n \t:// \n"},
                          [] {
                              std::vector<std::string> t = fuzz::TextTokens();
                              for (const char* s : {"://", "http://", ":/", "\v", "\f"}) t.emplace_back(s);
                              return t;
                          }());
    int ascii = 0, found = 0;
    for (int i = 0; i < kPerRound; ++i) {
        const std::string bytes = mutator.Next(8, 8192);
        server.Set("/films/Movie.wse", {200, bytes});
        const std::vector<std::string> got = FindSubtitleFiles(video, {test::TestRoot()});
        for (const std::string& c : got) {
            EXPECT_NE(c.find("://"), std::string::npos) << i;
            EXPECT_EQ(c.find('\n'), std::string::npos) << i;
            EXPECT_EQ(c.find('\r'), std::string::npos) << i;
            EXPECT_TRUE(c.front() != ' ' && c.back() != ' ') << i;
        }
        found += int(got.size());
        if (Ascii(bytes)) {
            // The candidates come sorted; the same lines, in any order.
            ++ascii;
            std::vector<std::string> want = ListLines(bytes), have = got;
            std::sort(want.begin(), want.end());
            std::sort(have.begin(), have.end());
            EXPECT_EQ(have, want) << i;
        }
    }
    EXPECT_GT(ascii, kPerRound / 5);
    EXPECT_GT(found, kPerRound);
}

INSTANTIATE_TEST_SUITE_P(Rounds, WebListRounds, testing::Range(0, kRounds));

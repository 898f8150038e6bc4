// Mutation test of what the update check reads from the server: the "ver"
// answer (line 1 the newest version, line 2 the installer's MD5) and the
// detached signature of a download. Thousands of damaged copies of good
// inputs (fixed seeds) go through the readers, built with AddressSanitizer
// and UndefinedBehaviorSanitizer; the promises of each are asserted too.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <algorithm>
#include <random>
#include <string>

#include "app/core/UpdateCheck.h"
#include "platform/download/SignedDownload.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSigningKey.h"

using namespace kalvex;

namespace {

constexpr int kAnswerCopies = 10000;
constexpr int kSignatureCopies = 10000;

const char* const kTokens[] = {"\n", "\r\n", "\r", "\x00", ".", "..", "1.0.0.15", "1.0.0.9", " ", "\t",
                               "<html>", "\xEF\xBB\xBF", "\xFF\xFE", "99999999999999999999999999999999",
                               "0123456789abcdef0123456789ABCDEF", "g", "-", "\xE2\x82"};

std::string Mutate(const std::string& in, std::mt19937& rng) {
    std::string s = in;
    const int edits = 1 + int(rng() % 6);
    for (int e = 0; e < edits; ++e) {
        const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 6) {
            case 0:
                if (!s.empty()) s[pos % s.size()] = char(rng());
                break;
            case 1: s.insert(pos, std::string(1 + rng() % 4, char(rng()))); break;
            case 2:
                if (pos < s.size()) s.erase(pos, rng() % 16);
                break;
            case 3: s.resize(pos); break;
            case 4: {
                const char* t = kTokens[rng() % (sizeof kTokens / sizeof *kTokens)];
                s.insert(pos, std::string(t, t[0] ? std::char_traits<char>::length(t) : 1));
                break;
            }
            case 5:
                if (!s.empty()) {
                    const size_t from = rng() % s.size(), n = std::min<size_t>(rng() % 64, s.size() - from);
                    s.insert(pos, s.substr(from, n));
                }
                break;
        }
    }
    return s;
}

std::string Md5(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Md5).toHex().toStdString();
}

}  // namespace

TEST(UpdateAnswerMutation, DamagedAnswersNeverOfferWhatIsNoVersion) {
    const std::string dir = kalvex::test::TestRoot() + "/";
    const std::string installer = "installer bytes";
    kalvex::test::WriteFile(dir + "inst", installer);
    const std::string installerMd5 = Md5(installer);
    const std::string good = "1.0.1.0\r\n" + installerMd5 + "\r\n";
    std::mt19937 rng(20240607);
    int offers = 0, checksums = 0;
    for (int i = 0; i < kAnswerCopies; ++i) {
        const std::string answer = Mutate(good, rng);
        kalvex::test::WriteFile(dir + "ver", answer);
        UpdateInfo info;
        ASSERT_TRUE(ReadVersionFile(dir + "ver", &info));
        // Lines end at "\n"; their ends ("\r\n", "\n", a stray "\r") are gone.
        for (const std::string* line : {&info.newestVersion, &info.secondLine}) {
            EXPECT_EQ(line->find('\n'), std::string::npos);
            EXPECT_TRUE(line->empty() || line->back() != '\r');
        }
        const bool newer = IsNewerVersion(info.newestVersion);
        if (newer) {
            ++offers;
            EXPECT_TRUE(LooksLikeVersion(info.newestVersion)) << info.newestVersion;
            EXPECT_LE(info.newestVersion.size(), 32u);
        }
        // The checksum step refuses exactly a published digest that differs.
        std::string digest = info.secondLine;
        digest.erase(0, std::min(digest.find_first_not_of(" \t"), digest.size()));
        while (!digest.empty() && (digest.back() == ' ' || digest.back() == '\t')) digest.pop_back();
        const bool published = digest.size() == 32 &&
                               std::all_of(digest.begin(), digest.end(), [](unsigned char c) { return std::isxdigit(c); });
        std::transform(digest.begin(), digest.end(), digest.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        const bool ok = VerifyInstallerChecksum(dir + "inst", info.secondLine);
        EXPECT_EQ(ok, !published || digest == installerMd5) << info.secondLine;
        if (published) ++checksums;
    }
    // The seeds reach both sides of each decision.
    EXPECT_GT(offers, 100);
    EXPECT_LT(offers, kAnswerCopies);
    EXPECT_GT(checksums, 100);
}

TEST(SignatureMutation, OnlyTheUndamagedSignatureOfTheUndamagedFileVerifies) {
    const std::string dir = kalvex::test::TestRoot() + "/";
    std::string body(3000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char(i * 7);
    const std::string good = kalvex::test::SignWithSeed(body);
    DownloadKey key;
    ASSERT_TRUE(ParseDownloadKey(kalvex::test::kTestPublicKeyHex, &key));
    kalvex::test::WriteFile(dir + "file", body);
    std::mt19937 rng(7781);
    for (int i = 0; i < kSignatureCopies; ++i) {
        const std::string sig = Mutate(good, rng);
        const std::string why = CheckFileSignature(dir + "file", sig, key);
        EXPECT_EQ(why.empty(), sig == good) << i;
    }
    // Damaged files under the good signature.
    for (int i = 0; i < 300; ++i) {
        const std::string damaged = Mutate(body, rng);
        kalvex::test::WriteFile(dir + "file", damaged);
        EXPECT_EQ(CheckFileSignature(dir + "file", good, key).empty(), damaged == body) << i;
    }
}

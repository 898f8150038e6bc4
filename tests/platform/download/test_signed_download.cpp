// The signature check of downloaded installers: the key the test programs
// carry, detached Ed25519 signatures of files, and a download that is kept
// only when its ".sig" verifies.
#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>

#include "platform/download/SignedDownload.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSigningKey.h"

using namespace kalvex;
using kalvex::test::DownloadTestServer;
using kalvex::test::ReadFile;
using kalvex::test::SignWithSeed;
using kalvex::test::WriteFile;
using Kind = DownloadTestServer::Kind;

namespace {

std::string Bytes(size_t n, int salt = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 29 + salt) & 0xFF);
    return s;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

DownloadKey TestKey() {
    DownloadKey k;
    EXPECT_TRUE(ParseDownloadKey(kalvex::test::kTestPublicKeyHex, &k));
    return k;
}

}  // namespace

TEST(DownloadKeyText, SixtyFourHexDigitsAndNothingElse) {
    DownloadKey k;
    const std::string hex = kalvex::test::kTestPublicKeyHex;
    ASSERT_TRUE(ParseDownloadKey(hex, &k));
    EXPECT_TRUE(k.present);
    EXPECT_EQ(k.bytes[0], 0x16);
    EXPECT_EQ(k.bytes[31], 0xc5);
    std::string upper = hex;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    DownloadKey u;
    ASSERT_TRUE(ParseDownloadKey(upper, &u));
    EXPECT_EQ(u.bytes, k.bytes);
    for (const std::string& bad : {std::string(), hex.substr(1), hex + "0", hex.substr(0, 63) + "g",
                                   " " + hex.substr(1), hex.substr(0, 62)}) {
        DownloadKey b;
        b.present = true;
        EXPECT_FALSE(ParseDownloadKey(bad, &b)) << bad;
        EXPECT_FALSE(b.present) << bad;
    }
    // The test programs carry the test key in place of the release key.
    EXPECT_EQ(DownloadPublicKey().bytes, k.bytes);
    EXPECT_TRUE(DownloadPublicKey().present);
}

TEST(FileSignature, OnlyTheRightSignatureOfTheSameBytesVerifies) {
    const std::string dir = kalvex::test::TestRoot() + "/";
    const std::string file = dir + "pack.exe";
    const std::string body = Bytes(100000);
    WriteFile(file, body);
    const DownloadKey key = TestKey();
    const std::string sig = SignWithSeed(body);
    ASSERT_EQ(sig.size(), 64u);
    EXPECT_EQ(CheckFileSignature(file, sig, key), "");

    EXPECT_EQ(CheckFileSignature(file, "", key), "the signature file is empty");
    EXPECT_EQ(CheckFileSignature(file, sig.substr(0, 63), key),
              "the signature file holds 63 bytes, not the 64 bytes of a signature");
    EXPECT_NE(CheckFileSignature(file, sig + "\n", key).find("65 bytes"), std::string::npos);
    EXPECT_NE(CheckFileSignature(file, "<html><body>404 Not Found</body></html>", key).find("a web page"),
              std::string::npos);
    const std::string wrong = "the signature does not verify: it was not made for this file with the program's key";
    EXPECT_EQ(CheckFileSignature(file, SignWithSeed(body, kalvex::test::kOtherSigningSeedHex), key), wrong);
    // Any changed bit, in the file or in the signature, fails.
    std::string flipped = sig;
    flipped[10] ^= 1;
    EXPECT_EQ(CheckFileSignature(file, flipped, key), wrong);
    WriteFile(file, body.substr(0, body.size() - 1) + char(body.back() ^ 0x80));
    EXPECT_EQ(CheckFileSignature(file, sig, key), wrong);
    WriteFile(file, body + '\0');
    EXPECT_EQ(CheckFileSignature(file, sig, key), wrong);
    // An empty file has a signature of its own.
    WriteFile(file, "");
    EXPECT_EQ(CheckFileSignature(file, SignWithSeed(""), key), "");
    EXPECT_EQ(CheckFileSignature(file, sig, key), wrong);
    // No key built in: nothing verifies; a missing file names itself.
    EXPECT_EQ(CheckFileSignature(file, SignWithSeed(""), DownloadKey{}),
              "no public key is built into this program, so no download can be verified");
    EXPECT_NE(CheckFileSignature(dir + "missing", sig, key).find("No such file or directory"), std::string::npos);
}

// A release signed with the standard tool (OpenSSL's pure Ed25519) verifies:
// the README's signing steps make what the program accepts.
TEST(FileSignature, OpenSslSignatureOfTheTestKeyVerifies) {
    const std::string dir = kalvex::test::TestRoot() + "/";
    // The PKCS#8 form of an Ed25519 seed is a fixed 16-byte prefix and the seed.
    const std::string prefix = "302e020100300506032b657004220420";
    QByteArray der = QByteArray::fromHex(QByteArray(prefix.c_str()) + kalvex::test::kTestSigningSeedHex);
    WriteFile(dir + "key.der", der.toStdString());
    WriteFile(dir + "file.bin", Bytes(3000, 5));
    QString out;
    const int rc = kalvex::test::RunProgram("openssl",
                                            {"pkeyutl", "-sign", "-rawin", "-keyform", "DER", "-inkey",
                                             QString::fromStdString(dir + "key.der"), "-in",
                                             QString::fromStdString(dir + "file.bin"), "-out",
                                             QString::fromStdString(dir + "file.bin.sig")},
                                            &out);
    if (rc == -1) GTEST_SKIP() << "no openssl tool";
    ASSERT_EQ(rc, 0) << out.toStdString();
    const std::string sig = ReadFile(dir + "file.bin.sig");
    EXPECT_EQ(sig, SignWithSeed(Bytes(3000, 5)));
    EXPECT_EQ(CheckFileSignature(dir + "file.bin", sig, TestKey()), "");
}

class SignedDownloadTest : public testing::Test {
protected:
    std::string dir = kalvex::test::TestRoot() + "/dl/";
    std::string target = dir + "Kalvex_inst.deb";
    DownloadTestServer server;
    DownloadLimits quick{2000, 1000, 0, 0, 5};
    void SetUp() override {
        std::filesystem::create_directories(dir);
        ASSERT_TRUE(server.ok());
    }
    std::string Url() { return server.Base() + "/download/Kalvex_inst.deb"; }
    void Offer(const std::string& body, DownloadTestServer::Answer sig) {
        server.Set("/download/Kalvex_inst.deb", {200, body});
        server.Set("/download/Kalvex_inst.deb.sig", std::move(sig));
    }
};

TEST_F(SignedDownloadTest, VerifiedFileIsPutInPlaceAndTheSignatureFetchedAfterIt) {
    const std::string body = Bytes(50000);
    Offer(body, {200, SignWithSeed(body)});
    WriteFile(target, "old");
    const SignedDownloadResult r = DownloadSigned(Url(), target, nullptr, quick, TestKey());
    EXPECT_EQ(r.end, DownloadEnd::Verified) << r.reason;
    EXPECT_EQ(r.hr, urlmon::S_OK);
    EXPECT_EQ(ReadFile(target), body);
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"Kalvex_inst.deb"});
    EXPECT_EQ(server.Targets(),
              (std::vector<std::string>{"/download/Kalvex_inst.deb", "/download/Kalvex_inst.deb.sig"}));
}

TEST_F(SignedDownloadTest, EveryBadSignatureDeletesTheDownloadWithItsReason) {
    const std::string body = Bytes(20000);
    const std::string good = SignWithSeed(body);
    struct Case {
        DownloadTestServer::Answer sig;
        std::string reason;  // a part of the logged reason
    } cases[] = {
        {{404, "not found"}, "could not be downloaded (800c0005)"},
        {{500, "oops"}, "could not be downloaded (800c0008)"},
        {{200, ""}, "the signature file is empty"},
        {{200, good.substr(0, 32)}, "holds 32 bytes"},
        {{200, "<!DOCTYPE html>\n<html><body>Please sign in to the portal</body></html>\n"}, "a web page"},
        // A page of exactly 64 bytes: only the check itself can refuse it.
        {{200, "<!DOCTYPE html>\n<html><body>Sign in to the portal</body></html>\n"}, "does not verify"},
        {{200, SignWithSeed(Bytes(20000, 1))}, "does not verify"},
        {{200, SignWithSeed(body, kalvex::test::kOtherSigningSeedHex)}, "does not verify"},
        {{200, "", Kind::RedirectLoop}, "could not be downloaded (800c0014)"},
        {{200, std::string(4097, 'A')}, "could not be downloaded (800c0100)"},
        {{200, good, Kind::HalfWay}, "could not be downloaded"},
    };
    WriteFile(target, "the verified file from before");
    for (const Case& c : cases) {
        Offer(body, c.sig);
        const SignedDownloadResult r = DownloadSigned(Url(), target, nullptr, quick, TestKey());
        EXPECT_EQ(r.end, DownloadEnd::NotVerified) << c.reason;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.reason << " / " << r.reason;
        EXPECT_EQ(ReadFile(target), "the verified file from before");
        EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"Kalvex_inst.deb"}) << c.reason;
    }
    // The signature cap holds at its edge: 4096 bytes arrive (and are the
    // wrong length), 4097 do not.
    Offer(body, {200, std::string(4096, 'A')});
    EXPECT_NE(DownloadSigned(Url(), target, nullptr, quick, TestKey()).reason.find("holds 4096 bytes"),
              std::string::npos);
}

TEST_F(SignedDownloadTest, FailedOrStoppedDownloadIsNoSignatureFailure) {
    const std::string body = Bytes(20000);
    server.Set("/download/Kalvex_inst.deb", {200, body, Kind::HalfWay});
    SignedDownloadResult r = DownloadSigned(Url(), target, nullptr, quick, TestKey());
    EXPECT_EQ(r.end, DownloadEnd::Failed);
    EXPECT_EQ(server.Targets().size(), 1u);  // no signature is asked for
    // Over the file's cap: refused, nothing stays.
    DownloadLimits capped = quick;
    capped.maxBytes = 19999;
    Offer(body, {200, SignWithSeed(body)});
    r = DownloadSigned(Url(), target, nullptr, capped, TestKey());
    EXPECT_EQ(r.end, DownloadEnd::Failed);
    EXPECT_EQ(r.hr, urlmon::INET_E_DATA_TOO_LARGE);
    EXPECT_NE(r.reason.find("larger than 19999 bytes"), std::string::npos) << r.reason;
    capped.maxBytes = 20000;
    EXPECT_EQ(DownloadSigned(Url(), target, nullptr, capped, TestKey()).end, DownloadEnd::Verified);
    std::filesystem::remove(target);
    // A stop asked for during the signature's download.
    server.Set("/download/Kalvex_inst.deb.sig", {200, std::string(64, 's'), Kind::Gated});
    r = DownloadSigned(Url(), target, nullptr, quick, TestKey(), [] { return true; });
    EXPECT_EQ(r.end, DownloadEnd::Stopped);
    EXPECT_TRUE(FilesIn(dir).empty());
    server.Release();
}

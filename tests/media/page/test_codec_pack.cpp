#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "media/page/CodecPackOffer.h"
#include "media/ExamineSource.h"
#include "media/page/CCodecMissDlg.h"
#include "platform/registry/RegistryStore.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/TestEnv.h"
#include "tests/support/TestSigningKey.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using kalvex::test::DownloadTestServer;
using kalvex::test::ReadFile;
using Kind = DownloadTestServer::Kind;

namespace {

std::string Pack(size_t n = 200000) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 31 + 7) & 0xFF);
    return s;
}

struct Shown {
    std::vector<MessageBoxRequest> boxes;
    int offers = 0;
    Shown() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            return IDOK;
        });
        SetCodecPackOffer([this] { ++offers; });
    }
    ~Shown() { SetCodecPackOffer(nullptr); }
};

void SetKLiteType(const std::string& type) {
    auto key = RegistryKey::Open(RegRoot::LocalMachine, "Software\\KLCodecPack", true, true);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetString("type", type));
}

class CodecPack : public testing::Test {
protected:
    DownloadTestServer server;
    DownloadLimits saved = CodecPackDownloadLimits();
    std::vector<QString> opened;
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        setenv("KALVEX_SERVER", server.Base().c_str(), 1);
        CodecPackDownloadLimits().connectTimeoutMs = 2000;
        CodecPackDownloadLimits().stallTimeoutMs = 1000;
        SetShellOpenHook([this](const QString& target) {
            opened.push_back(target);
            return true;
        });
    }
    void TearDown() override {
        CodecPackDownloadLimits() = saved;
        server.Release();
    }
    // The codec pack with its signature made with the test key.
    void OfferPack(const std::string& body, Kind kind = Kind::Plain) {
        server.Set("/download/klmcodec425.exe", {200, body, kind});
        server.Set("/download/klmcodec425.exe.sig", {200, kalvex::test::SignWithSeed(body)});
    }
    // Files in the data folder whose names begin with the pack's.
    std::vector<std::string> PackFiles() {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(AppDataFolder()))
            if (e.path().filename().string().rfind("klmcodec425", 0) == 0) names.push_back(e.path().filename().string());
        return names;
    }
};

}  // namespace

TEST(CodecPackOffer, OfferedUnlessTheMegaPackIsInstalled) {
    const std::string text = "Open failure:\nno decoder";
    {
        Shown shown;
        ReportSourceOpenFailure(text);  // no K-Lite key at all
        EXPECT_EQ(shown.offers, 1);
        EXPECT_TRUE(shown.boxes.empty());
    }
    SetKLiteType("standard");
    {
        Shown shown;
        ReportSourceOpenFailure(text);
        EXPECT_EQ(shown.offers, 1);
    }
    SetKLiteType("MeGa");
    {
        Shown shown;
        ReportSourceOpenFailure(text);
        EXPECT_EQ(shown.offers, 0);
        ASSERT_EQ(shown.boxes.size(), 1u);
        EXPECT_EQ(shown.boxes[0].text.toStdString(), text);
        EXPECT_EQ(shown.boxes[0].caption, "Error!");
        EXPECT_EQ(shown.boxes[0].flags & 0xF0, unsigned(MB_ICONWARNING));
    }
}

#ifdef KALVEX_HAVE_SCRIPT_ENGINE
TEST(CodecPackOffer, SourceThatCannotBeOpenedOffersThePackAndIsRefused) {
    std::string broken = kalvex::test::TestRoot() + "/broken.avi";
    kalvex::test::WriteFile(broken, std::string(5000, 'x'));
    Shown shown;
    MediaInfo info;
    std::string text;
    EXPECT_FALSE(ExamineSource(broken, info, text));
    EXPECT_EQ(shown.offers, 1);
    EXPECT_TRUE(shown.boxes.empty());
}
#endif

TEST_F(CodecPack, DialogDownloadsAndStartsTheInstaller) {
    const std::string body = Pack();
    OfferPack(body, Kind::Gated);
    CCodecMissDlg dlg;
    EXPECT_EQ(dlg.url, server.Base() + "/download/klmcodec425.exe");
    EXPECT_EQ(dlg.file, AppDataFolder() + "klmcodec425.exe");
    EXPECT_EQ(dlg.windowTitle(), "Add video failed");
    EXPECT_EQ(dlg.textLabel()->text(),
              "Codec missing, would you like Ombrasil download and install a recommended codec pack for you ?");
    EXPECT_EQ(dlg.textLabel()->objectName(), res::ObjectName(res::IDC_CODEC_TEXT));
    EXPECT_EQ(dlg.okButton()->text(), "OK");
    EXPECT_EQ(dlg.cancelButton()->text(), "Cancel");
    dlg.show();
    EXPECT_FALSE(dlg.progressBar()->isVisible());

    dlg.okButton()->click();
    EXPECT_EQ(dlg.state(), CCodecMissDlg::kDownloading);
    EXPECT_EQ(dlg.windowTitle(), "Downloading ...");
    EXPECT_FALSE(dlg.okButton()->isEnabled());
    EXPECT_TRUE(dlg.progressBar()->isVisible());
    QTRY_COMPARE(dlg.textLabel()->text(), QString("downloading ... 100000/200000"));
    EXPECT_EQ(dlg.progressBar()->value(), 50);
    server.Release();
    QTRY_COMPARE(dlg.state(), CCodecMissDlg::kDownloaded);
    EXPECT_EQ(dlg.windowTitle(), "Download complete");
    EXPECT_EQ(dlg.textLabel()->text(), "Download complete, Click OK to install it now...");
    EXPECT_TRUE(dlg.okButton()->isEnabled());
    EXPECT_TRUE(dlg.cancelButton()->isEnabled());
    EXPECT_FALSE(dlg.progressBar()->isVisible());
    EXPECT_EQ(ReadFile(dlg.file), body);

    // After the download only "OK" (install) closes it.
    dlg.cancelButton()->click();
    dlg.close();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(opened.empty());
    dlg.okButton()->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), IDOK);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toStdString(), AppDataFolder() + "klmcodec425.exe");
}

TEST_F(CodecPack, FailedDownloadCanBeRetried) {
    server.Set("/download/klmcodec425.exe", {200, Pack(), Kind::HalfWay});
    CCodecMissDlg dlg;
    dlg.show();
    dlg.okButton()->click();
    QTRY_COMPARE(dlg.state(), CCodecMissDlg::kAsking);
    EXPECT_EQ(dlg.windowTitle(), "Download not complete");
    EXPECT_EQ(dlg.textLabel()->text(), "Download not complete, Click OK to retry...");
    EXPECT_TRUE(dlg.okButton()->isEnabled());
    EXPECT_TRUE(dlg.cancelButton()->isEnabled());
    EXPECT_FALSE(dlg.progressBar()->isVisible());
    EXPECT_FALSE(std::filesystem::exists(dlg.file));  // the partial file is gone

    OfferPack(Pack(1000), Kind::Chunked);
    dlg.okButton()->click();
    QTRY_COMPARE(dlg.state(), CCodecMissDlg::kDownloaded);
    EXPECT_EQ(ReadFile(dlg.file), Pack(1000));
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(CodecPack, CancelBeforeAndDuringTheDownload) {
    {
        CCodecMissDlg dlg;
        dlg.show();
        dlg.cancelButton()->click();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_TRUE(server.Targets().empty());
    }
    {
        CCodecMissDlg dlg;  // the close box acts as "Cancel"
        dlg.show();
        dlg.close();
        EXPECT_FALSE(dlg.isVisible());
    }
    server.Set("/download/klmcodec425.exe", {200, Pack(), Kind::Gated});
    CCodecMissDlg dlg;
    dlg.show();
    dlg.okButton()->click();
    QTRY_COMPARE(dlg.textLabel()->text(), QString("downloading ... 100000/200000"));
    dlg.cancelButton()->click();
    // It closes when the download reports back, not before.
    EXPECT_TRUE(dlg.isVisible());
    QTRY_VERIFY(!dlg.isVisible());
    EXPECT_EQ(dlg.result(), IDCANCEL);
    EXPECT_FALSE(std::filesystem::exists(dlg.file));
    EXPECT_TRUE(opened.empty());
}

TEST_F(CodecPack, ProgressWithoutATotal) {
    CCodecMissDlg dlg;
    dlg.show();
    OfferPack(Pack(), Kind::Gated);
    dlg.okButton()->click();
    dlg.HandleMessage(WM_DOWNLOAD_PROGRESS, 2, 3);
    EXPECT_EQ(dlg.progressBar()->value(), 66);
    dlg.HandleMessage(WM_DOWNLOAD_PROGRESS, 777, 0);
    EXPECT_EQ(dlg.progressBar()->value(), 66);
    EXPECT_EQ(dlg.textLabel()->text(), "downloading ... 777/0");
    server.Release();
    QTRY_COMPARE(dlg.state(), CCodecMissDlg::kDownloaded);
}

// Every way the signature can fail: the pack is deleted, nothing is opened,
// the dialog says why in one line and lets the user retry.
TEST_F(CodecPack, UnverifiedPackIsDeletedAndNeverOpened) {
    using kalvex::test::SignWithSeed;
    const std::string body = Pack(5000);
    const std::string good = SignWithSeed(body);
    struct Case {
        const char* what;
        DownloadTestServer::Answer sig;
    } cases[] = {
        {"no signature (404)", {404, "not found"}},
        {"empty signature", {200, ""}},
        {"one byte short", {200, good.substr(0, 63)}},
        {"one byte over", {200, good + "x"}},
        {"an HTML page", {200, "<!DOCTYPE html><html><body>Moved</body></html>"}},
        {"a signature of another file", {200, SignWithSeed(body + "x")}},
        {"another key's signature", {200, SignWithSeed(body, kalvex::test::kOtherSigningSeedHex)}},
        {"a redirect loop", {200, "", Kind::RedirectLoop}},
        {"a huge signature", {200, std::string(100000, 's')}},
    };
    kalvex::test::WriteFile(AppDataFolder() + "klmcodec425.exe", "the pack from before");
    for (const Case& c : cases) {
        server.Set("/download/klmcodec425.exe", {200, body});
        server.Set("/download/klmcodec425.exe.sig", c.sig);
        CCodecMissDlg dlg;
        dlg.show();
        dlg.okButton()->click();
        QTRY_COMPARE(dlg.state(), CCodecMissDlg::kAsking);
        EXPECT_EQ(dlg.windowTitle(), "Download not complete") << c.what;
        EXPECT_EQ(dlg.textLabel()->text(), "The downloaded file could not be verified and was deleted.") << c.what;
        EXPECT_TRUE(dlg.okButton()->isEnabled()) << c.what;
        EXPECT_TRUE(dlg.isVisible()) << c.what;
        // "OK" now retries the download; it never opens what came.
        EXPECT_TRUE(opened.empty()) << c.what;
        EXPECT_EQ(ReadFile(dlg.file), "the pack from before") << c.what;
        EXPECT_EQ(PackFiles(), std::vector<std::string>{"klmcodec425.exe"}) << c.what;
    }
    // A good signature after all that: the pack is kept and opened.
    OfferPack(body);
    CCodecMissDlg dlg;
    dlg.show();
    dlg.okButton()->click();
    QTRY_COMPARE(dlg.state(), CCodecMissDlg::kDownloaded);
    EXPECT_EQ(ReadFile(dlg.file), body);
    dlg.okButton()->click();
    ASSERT_EQ(opened.size(), 1u);
}

TEST_F(CodecPack, PackLargerThanTheCapIsRefusedAndLeavesNothing) {
    EXPECT_EQ(saved.maxBytes, 100ull * 1024 * 1024);
    EXPECT_GT(saved.totalTimeoutMs, 0);
    CodecPackDownloadLimits().maxBytes = 4000;
    // Exactly at the cap it is taken...
    OfferPack(Pack(4000));
    {
        CCodecMissDlg dlg;
        dlg.show();
        dlg.okButton()->click();
        QTRY_COMPARE(dlg.state(), CCodecMissDlg::kDownloaded);
    }
    std::filesystem::remove(AppDataFolder() + "klmcodec425.exe");
    // ...one byte more is not, with or without an announced length.
    for (Kind kind : {Kind::Plain, Kind::Chunked}) {
        OfferPack(Pack(4001), kind);
        CCodecMissDlg dlg;
        dlg.show();
        dlg.okButton()->click();
        QTRY_COMPARE(dlg.state(), CCodecMissDlg::kAsking);
        EXPECT_EQ(dlg.textLabel()->text(), "Download not complete, Click OK to retry...");
        EXPECT_TRUE(PackFiles().empty());
    }
    EXPECT_TRUE(opened.empty());
}

TEST_F(CodecPack, DeadlineEndsATricklingDownload) {
    // The server sends half and then holds the rest: no stall limit is
    // reached within the test, only the overall deadline.
    CodecPackDownloadLimits().stallTimeoutMs = 60000;
    CodecPackDownloadLimits().totalTimeoutMs = 800;
    OfferPack(Pack(), Kind::Gated);
    CCodecMissDlg dlg;
    dlg.show();
    dlg.okButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(dlg.state(), CCodecMissDlg::kAsking, 20000);
    EXPECT_EQ(dlg.textLabel()->text(), "Download not complete, Click OK to retry...");
    EXPECT_TRUE(PackFiles().empty());
    server.Release();
}

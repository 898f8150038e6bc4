#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCryptographicHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>

#include "app/CUpdateDlg.h"
#include "app/CVideoConverterDlg.h"
#include "app/core/UpdateCheck.h"
#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "platform/download/WorkerThreads.h"
#include "convert/page/CConvertPage.h"
#include "media/EntryFromPath.h"
#include "media/VideoFileEntry.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/platform/download/DownloadTestServer.h"
#include "tests/support/Media.h"
#include "tests/support/TestSigningKey.h"
#include "tests/support/TestEnv.h"
#include "tests/uploader/http/HttpTestServer.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using kalvex::test::DownloadTestServer;
using kalvex::test::SignWithSeed;
using kalvex::test::ReadFile;
using kalvex::test::WriteFile;
using Kind = DownloadTestServer::Kind;

namespace {

std::string Md5(const std::string& bytes) {
    return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Md5).toHex().toStdString();
}

std::string Installer(size_t n = 300000) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 13) & 0xFF);
    return s;
}

// A product server on 127.0.0.1 behind KALVEX_SERVER, with short limits so
// that no test waits long for a server that does not answer.
class Update : public testing::Test {
protected:
    DownloadTestServer server;
    DownloadLimits savedCheck = VersionCheckLimits();
    DownloadLimits savedInstaller = InstallerDownloadLimits();
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        setenv("KALVEX_SERVER", server.Base().c_str(), 1);
        VersionCheckLimits().connectTimeoutMs = 2000;
        VersionCheckLimits().stallTimeoutMs = 1000;
        VersionCheckLimits().totalTimeoutMs = 3000;
        InstallerDownloadLimits().connectTimeoutMs = 2000;
        InstallerDownloadLimits().stallTimeoutMs = 1000;
    }
    void TearDown() override {
        VersionCheckLimits() = savedCheck;
        InstallerDownloadLimits() = savedInstaller;
        server.Release();
    }
    void Answer(const std::string& body, int status = 200, Kind kind = Kind::Plain) {
        server.Set("/ver_for_psp", {status, body, kind});
    }
    // The installer with its signature made with the test key.
    void OfferInstaller(const std::string& body, Kind kind = Kind::Plain) {
        server.Set("/download/Kalvex_inst.deb", {200, body, kind});
        server.Set("/download/Kalvex_inst.deb.sig", {200, SignWithSeed(body)});
    }
};

struct Boxes {
    std::vector<QString> texts;
    Boxes() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            texts.push_back(r.text);
            EXPECT_EQ(r.caption, kAppCaption);
            EXPECT_EQ(r.flags & 0xF0, unsigned(MB_ICONINFORMATION));
            return IDOK;
        });
    }
};

}  // namespace

// A version is digits and dots, 1 to 32 of them: an empty answer and one a
// character too long are none.
TEST(UpdateVersion, WhatLooksLikeAVersion) {
    EXPECT_FALSE(LooksLikeVersion(""));
    EXPECT_TRUE(LooksLikeVersion("1"));
    EXPECT_TRUE(LooksLikeVersion(std::string(32, '1')));
    EXPECT_FALSE(LooksLikeVersion(std::string(33, '1')));
    EXPECT_FALSE(LooksLikeVersion("1.0-rc1"));
}

TEST(UpdateVersion, ComparedAsByteStrings) {
    EXPECT_STREQ(kProgramVersion, "1.0.0.15");
    EXPECT_FALSE(IsNewerVersion("1.0.0.15"));
    EXPECT_FALSE(IsNewerVersion("1.0.0.14"));
    EXPECT_TRUE(IsNewerVersion("1.0.1.0"));
    EXPECT_TRUE(IsNewerVersion("1.0.0.9"));  // by text, 9 sorts after 1
    EXPECT_TRUE(IsNewerVersion("1.0.0.150"));
    EXPECT_FALSE(IsNewerVersion("1.0.0.1"));
    EXPECT_FALSE(IsNewerVersion(""));
    // Answers that are not versions never offer anything, whatever they sort as.
    EXPECT_FALSE(IsNewerVersion("<!DOCTYPE html>"));
    EXPECT_FALSE(IsNewerVersion("9.0 beta"));
    EXPECT_FALSE(IsNewerVersion(std::string("\xff\xfe\x01", 3)));
    EXPECT_TRUE(IsNewerVersion(std::string(32, '9')));
    EXPECT_FALSE(IsNewerVersion(std::string(33, '9')));
}

TEST(UpdateVersion, VersionFileLinesWithoutTheirEnds) {
    std::string path = kalvex::test::TestRoot() + "/ver";
    UpdateInfo info;
    EXPECT_FALSE(ReadVersionFile(path, &info));
    WriteFile(path, "1.0.1.0\r\n0123456789abcdef0123456789ABCDEF\r\nthird\r\n");
    ASSERT_TRUE(ReadVersionFile(path, &info));
    EXPECT_EQ(info.newestVersion, "1.0.1.0");
    EXPECT_EQ(info.secondLine, "0123456789abcdef0123456789ABCDEF");
    WriteFile(path, "1.0.1.0");
    ASSERT_TRUE(ReadVersionFile(path, &info));
    EXPECT_EQ(info.newestVersion, "1.0.1.0");
    EXPECT_EQ(info.secondLine, "");
    WriteFile(path, "");
    ASSERT_TRUE(ReadVersionFile(path, &info));
    EXPECT_EQ(info.newestVersion, "");
    EXPECT_EQ(info.secondLine, "");
}

TEST_F(Update, ServerAnswersDecideTheOffer) {
    struct Case {
        std::string answer;
        int status;
        UpdateCheckOutcome outcome;
    } cases[] = {
        {"1.0.0.15\r\n", 200, UpdateCheckOutcome::UpToDate},
        {"1.0.0.14\n", 200, UpdateCheckOutcome::UpToDate},
        {"1.0.1.0\nabc\n", 200, UpdateCheckOutcome::NewerAvailable},
        {"1.0.0.9", 200, UpdateCheckOutcome::NewerAvailable},
        {"", 200, UpdateCheckOutcome::UpToDate},
        {std::string("\x89PNG\r\n\x1a\n\0\0\xff\xff", 12), 200, UpdateCheckOutcome::UpToDate},
        {std::string(10000, '9') + "\n", 200, UpdateCheckOutcome::UpToDate},
        {"1.0.1.0", 500, UpdateCheckOutcome::DownloadFailed},
        {std::string(10 * 1024 * 1024, '9'), 200, UpdateCheckOutcome::DownloadFailed},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        std::filesystem::remove(VersionFilePath());
        Answer(c.answer, c.status);
        UpdateCheckResult r = CheckForUpdate();
        EXPECT_EQ(r.outcome, c.outcome) << c.answer.substr(0, 20);
        ++n;
        ASSERT_EQ(server.Targets().size(), n);
        EXPECT_EQ(server.Targets().back(), "/ver_for_psp?ver=1.0.0.15");
        if (c.outcome == UpdateCheckOutcome::DownloadFailed) {
            EXPECT_FALSE(std::filesystem::exists(VersionFilePath()));  // nothing half-written
        } else {
            EXPECT_EQ(ReadFile(VersionFilePath()), c.answer);
        }
    }
    UpdateCheckResult r;
    Answer("1.0.1.0\r\nsecond line\r\n");
    r = CheckForUpdate();
    EXPECT_EQ(r.info.newestVersion, "1.0.1.0");
    EXPECT_EQ(r.info.secondLine, "second line");
}

TEST_F(Update, NoServerRedirectLoopAndSilenceEndTheCheckQuietly) {
    setenv("KALVEX_SERVER", ("http://127.0.0.1:" + std::to_string(kalvex::test::UnusedPort())).c_str(), 1);
    EXPECT_EQ(CheckForUpdate().outcome, UpdateCheckOutcome::DownloadFailed);

    setenv("KALVEX_SERVER", server.Base().c_str(), 1);
    Answer("", 200, Kind::RedirectLoop);
    EXPECT_EQ(CheckForUpdate().outcome, UpdateCheckOutcome::DownloadFailed);

    kalvex::test::RawTcpServer silent(kalvex::test::RawTcpServer::Mode::NeverAnswer);
    setenv("KALVEX_SERVER", ("http://127.0.0.1:" + std::to_string(silent.port())).c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CheckForUpdate().outcome, UpdateCheckOutcome::DownloadFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_FALSE(std::filesystem::exists(VersionFilePath()));
}

TEST(UpdateChecksum, SecondLineIsTheInstallersMd5) {
    std::string file = kalvex::test::TestRoot() + "/inst.deb";
    std::string body = Installer(1000);
    WriteFile(file, body);
    std::string md5 = Md5(body);
    EXPECT_EQ(FileMd5(file), md5);
    EXPECT_TRUE(VerifyInstallerChecksum(file, md5));
    EXPECT_TRUE(VerifyInstallerChecksum(file, QString::fromStdString(md5).toUpper().toStdString()));
    EXPECT_TRUE(VerifyInstallerChecksum(file, " " + md5 + "\t"));
    EXPECT_TRUE(VerifyInstallerChecksum(file, ""));  // nothing published
    std::string wrong = md5;
    wrong[31] = wrong[31] == '0' ? '1' : '0';
    EXPECT_FALSE(VerifyInstallerChecksum(file, wrong));
    EXPECT_FALSE(VerifyInstallerChecksum(file, Md5(body.substr(0, 999))));
    EXPECT_FALSE(VerifyInstallerChecksum(file + ".missing", md5));
    // Not a digest (31 digits, or some other text): no checksum to compare.
    EXPECT_TRUE(VerifyInstallerChecksum(file, wrong.substr(0, 31)));
    EXPECT_TRUE(VerifyInstallerChecksum(file, "release notes"));
}

TEST_F(Update, DialogOffersAndLaterClosesWithoutDownloading) {
    CUpdateDlg dlg("1.0.1.0");
    EXPECT_EQ(dlg.windowTitle(), "Auto Update");
    EXPECT_EQ(dlg.textLabel()->text(), "Find a new version available(v1.0.1.0), download and update now ?");
    EXPECT_EQ(dlg.textLabel()->objectName(), res::ObjectName(res::IDC_UPDATE_TEXT));
    EXPECT_EQ(dlg.progressBar()->minimum(), 0);
    EXPECT_EQ(dlg.progressBar()->maximum(), 100);
    EXPECT_EQ(dlg.updateNowButton()->text(), "Update Now");
    EXPECT_EQ(dlg.laterButton()->text(), "Later");
    dlg.show();
    // Enter, Escape and the close box do nothing.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QTest::keyClick(&dlg, Qt::Key_Return);
    dlg.close();
    EXPECT_TRUE(dlg.isVisible());
    dlg.laterButton()->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_TRUE(dlg.Cancelled());
    EXPECT_FALSE(dlg.Downloaded());
    EXPECT_TRUE(server.Targets().empty());
}

TEST_F(Update, DialogDownloadsTheInstallerWithProgress) {
    const std::string body = Installer();
    OfferInstaller(body, Kind::Gated);
    CUpdateDlg dlg("1.0.1.0");
    EXPECT_EQ(dlg.file, AppDataFolder() + "Kalvex_inst.deb");
    EXPECT_EQ(dlg.url, server.Base() + "/download/Kalvex_inst.deb");
    dlg.show();
    dlg.updateNowButton()->click();
    EXPECT_FALSE(dlg.updateNowButton()->isEnabled());
    EXPECT_EQ(dlg.laterButton()->text(), "Cancel");
    // Half of it has come; the server holds back the rest.
    QTRY_COMPARE(dlg.textLabel()->text(), QString("downloading ... 150000/300000"));
    EXPECT_EQ(dlg.progressBar()->value(), 50);
    dlg.close();
    EXPECT_TRUE(dlg.isVisible());
    server.Release();
    QTRY_VERIFY(!dlg.isVisible());
    EXPECT_EQ(dlg.textLabel()->text(), "Download completed.");
    EXPECT_TRUE(dlg.Downloaded());
    EXPECT_FALSE(dlg.Cancelled());
    EXPECT_EQ(ReadFile(InstallerFilePath()), body);
}

TEST_F(Update, DialogProgressArithmetic) {
    CUpdateDlg dlg("1.0.1.0");
    dlg.HandleMessage(WM_DOWNLOAD_PROGRESS, 1, 3);  // 33.3 % shows as 33
    EXPECT_EQ(dlg.progressBar()->value(), 33);
    // A total of 0 leaves the bar as it is, the counts still show.
    dlg.HandleMessage(WM_DOWNLOAD_PROGRESS, 5000, 0);
    EXPECT_EQ(dlg.progressBar()->value(), 33);
    EXPECT_EQ(dlg.textLabel()->text(), "downloading ... 5000/0");
    // Large installers: bytes x 100 must not overflow 32 bits.
    dlg.HandleMessage(WM_DOWNLOAD_PROGRESS, 50000000, 100000000);
    EXPECT_EQ(dlg.progressBar()->value(), 50);
    dlg.HandleMessage(WM_DOWNLOAD_PROGRESS, 4294967295u, 4294967295u);
    EXPECT_EQ(dlg.progressBar()->value(), 100);
    EXPECT_EQ(dlg.textLabel()->text(), "downloading ... 4294967295/4294967295");
}

TEST_F(Update, DialogCancelDuringDownloadAndFailureHalfWay) {
    server.Set("/download/Kalvex_inst.deb", {200, Installer(), Kind::Gated});
    {
        CUpdateDlg dlg("1.0.1.0");
        dlg.show();
        dlg.updateNowButton()->click();
        QTRY_COMPARE(dlg.textLabel()->text(), QString("downloading ... 150000/300000"));
        dlg.laterButton()->click();  // captioned "Cancel" now
        QTRY_VERIFY(!dlg.isVisible());
        EXPECT_TRUE(dlg.Cancelled());
        EXPECT_FALSE(dlg.Downloaded());
        EXPECT_FALSE(std::filesystem::exists(InstallerFilePath()));
    }
    server.Set("/download/Kalvex_inst.deb", {200, Installer(), Kind::HalfWay});
    CUpdateDlg dlg("1.0.1.0");
    dlg.show();
    dlg.updateNowButton()->click();
    QTRY_VERIFY(!dlg.isVisible());
    EXPECT_EQ(dlg.textLabel()->text(), "Download failed.");
    EXPECT_FALSE(dlg.Downloaded());
    EXPECT_FALSE(dlg.Cancelled());
    EXPECT_FALSE(std::filesystem::exists(InstallerFilePath()));
    for (const auto& e : std::filesystem::directory_iterator(AppDataFolder()))
        EXPECT_EQ(e.path().filename().string().rfind("Kalvex_inst", 0), std::string::npos) << "left behind: " << e.path();
}

namespace {
// A main window whose update check runs for real against the test server;
// the update dialog is answered by `answer` (click a button and wait).
struct Window {
    CVideoConverterDlg dlg{nullptr};
    int offers = 0;
    std::string offeredText;
    std::vector<QString> opened;
    explicit Window(std::function<void(CUpdateDlg&)> answer) {
        SetShellOpenHook([this](const QString& target) {
            opened.push_back(target);
            return true;
        });
        dlg.runFirstRunDialog = nullptr;
        dlg.runUpdateDialog = [this, answer](CUpdateDlg& u) {
            ++offers;
            offeredText = u.textLabel()->text().toStdString();
            QTimer::singleShot(0, &u, [&u, answer] { answer(u); });
            u.exec();
        };
        dlg.OnInitDialog();
        dlg.show();
    }
};
void UpdateNow(CUpdateDlg& u) { u.updateNowButton()->click(); }
void Later(CUpdateDlg& u) { u.laterButton()->click(); }
}  // namespace

TEST_F(Update, MainWindowInstallsAVerifiedUpdate) {
    const std::string body = Installer();
    OfferInstaller(body);
    Answer("1.0.1.0\r\n" + Md5(body) + "\r\n");
    Boxes boxes;
    Window w(UpdateNow);
    QTRY_COMPARE(w.offers, 1);
    EXPECT_EQ(w.offeredText, "Find a new version available(v1.0.1.0), download and update now ?");
    QTRY_COMPARE(w.opened.size(), size_t(1));
    EXPECT_EQ(w.opened[0].toStdString(), AppDataFolder() + "Kalvex_inst.deb");
    EXPECT_FALSE(w.dlg.isVisible());  // the main window has ended
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(ReadFile(InstallerFilePath()), body);
    EXPECT_EQ(server.Targets().front(), "/ver_for_psp?ver=1.0.0.15");
}

TEST_F(Update, MainWindowRefusesAWrongChecksum) {
    const std::string body = Installer();
    OfferInstaller(body);  // signed: the MD5 step still decides after it
    Answer("1.0.0.9\n" + Md5(body + "x") + "\n");
    Boxes boxes;
    Window w(UpdateNow);
    QTRY_COMPARE(boxes.texts.size(), size_t(1));
    EXPECT_EQ(boxes.texts[0], "Md5 checksum wrong, update failed.");
    EXPECT_TRUE(w.opened.empty());
    EXPECT_TRUE(w.dlg.isVisible());  // the program goes on
}

TEST_F(Update, MainWindowReportsAFailedDownloadButNotACancel) {
    Answer("1.0.1.0\n");  // no installer on the server: 404
    {
        Boxes boxes;
        Window w(UpdateNow);
        QTRY_COMPARE(boxes.texts.size(), size_t(1));
        EXPECT_EQ(boxes.texts[0], "Download update file failed.");
        EXPECT_TRUE(w.opened.empty());
        EXPECT_TRUE(w.dlg.isVisible());
    }
    Boxes boxes;
    Window w(Later);
    QTRY_COMPARE(w.offers, 1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_TRUE(w.opened.empty());
    EXPECT_TRUE(w.dlg.isVisible());
}

TEST_F(Update, NoOfferWhenUpToDateAndNoRequestWhenSwitchedOff) {
    Answer("1.0.0.15\n");
    {
        Window w(UpdateNow);
        QTRY_VERIFY(w.dlg.UpdateCheckStarted());
        QTRY_COMPARE(server.Targets().size(), size_t(1));
        // The answer is in place; an offer, if one were wrongly posted, follows at once.
        QTRY_VERIFY(std::filesystem::exists(VersionFilePath()));
        QTest::qWait(100);
        EXPECT_EQ(w.offers, 0);
    }
    // AutoUpdate = 0 in set.ini: no request at all.
    // The first-run dialog, the deferred initialisation's last step, shows
    // when the update step is behind.
    WritePrivateProfileString("AutoUpdate", "AutoUpdate", "0", AppDataFolder() + "set.ini");
    WritePrivateProfileString("FirstTimeRun", "FirstTimeRun", "1", AppDataFolder() + "set.ini");
    bool deferredDone = false;
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = [&] { deferredDone = true; };
    dlg.OnInitDialog();
    ASSERT_TRUE(dlg.FirstRun());
    QTRY_VERIFY(deferredDone);
    QCoreApplication::processEvents();
    EXPECT_FALSE(dlg.UpdateCheckStarted());
    EXPECT_EQ(server.Targets().size(), 1u);
}

TEST_F(Update, OfferWaitsUntilTheConversionHasEnded) {
    Answer("1.0.1.0\n");
    QString clip = kalvex::test::MakeClip("a.avi", 2.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    std::vector<QString> boxes;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        boxes.push_back(r.text);
        return IDOK;
    });
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;
    int offers = 0;
    dlg.runUpdateDialog = [&](CUpdateDlg&) { ++offers; };  // ends as "Later"
    auto check = dlg.startUpdateCheck;
    dlg.startUpdateCheck = nullptr;  // started below, once the run is going
    dlg.OnInitDialog();
    dlg.show();

    // A run that stays going: started and paused at once.
    VideoFileEntry e;
    SourceRefusal why;
    ASSERT_TRUE(MakeEntryFromPath(clip.toStdString(), e, why)) << RefusalText(why);
    CConvertPage* page = dlg.convertPage();
    page->destEdit()->setText(kalvex::test::TestPath("out/"));
    page->SetFileList({e});
    page->StartConvert();
    page->pauseButton()->click();
    ASSERT_TRUE(dlg.IsConverting());

    check();
    QTRY_VERIFY(dlg.UpdateOfferPending());
    EXPECT_EQ(offers, 0);
    EXPECT_TRUE(dlg.isVisible());

    page->stopButton()->click();  // answered OK: the run is cancelled
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsConverting(), 60000);
    QTRY_COMPARE(offers, 1);
    EXPECT_FALSE(dlg.UpdateOfferPending());
}

TEST_F(Update, UnverifiedInstallerIsDeletedAndTheWindowSaysWhy) {
    const std::string body = Installer(20000);
    Boxes boxes;
    // Signed with a key the program does not hold.
    server.Set("/download/Kalvex_inst.deb", {200, body});
    server.Set("/download/Kalvex_inst.deb.sig",
               {200, SignWithSeed(body, kalvex::test::kOtherSigningSeedHex)});
    Answer("1.0.1.0\r\n" + Md5(body) + "\r\n");  // the MD5 would match: the signature decides first
    OpenProgramLog();
    Window w(UpdateNow);
    QTRY_COMPARE(boxes.texts.size(), size_t(1));
    EXPECT_EQ(boxes.texts[0], "The downloaded file could not be verified and was deleted.");
    EXPECT_TRUE(w.opened.empty());
    EXPECT_TRUE(w.dlg.isVisible());  // the program goes on
    EXPECT_FALSE(std::filesystem::exists(InstallerFilePath()));
    for (const auto& e : std::filesystem::directory_iterator(AppDataFolder()))
        EXPECT_EQ(e.path().filename().string().rfind("Kalvex_inst", 0), std::string::npos) << "left behind: " << e.path();
    CloseProgramLog();
    const std::string log = ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_NE(log.find("Update: " + server.Base() + "/download/Kalvex_inst.deb is not verified: the signature does not verify"),
              std::string::npos)
        << log;
}

TEST_F(Update, DialogNamesEveryBadSignatureInOneLine) {
    const std::string body = Installer(3000);
    const std::string good = SignWithSeed(body);
    const DownloadTestServer::Answer bad[] = {
        {404, "not found"},
        {200, ""},
        {200, good.substr(1)},
        {200, "<html><head><title>502 Bad Gateway</title></head></html>"},
        {200, SignWithSeed(Installer(2999))},
        {200, "", Kind::RedirectLoop},
    };
    kalvex::test::WriteFile(InstallerFilePath(), "the installer from before");
    for (const auto& sig : bad) {
        server.Set("/download/Kalvex_inst.deb", {200, body});
        server.Set("/download/Kalvex_inst.deb.sig", sig);
        CUpdateDlg dlg("1.0.1.0");
        dlg.show();
        dlg.updateNowButton()->click();
        QTRY_VERIFY(!dlg.isVisible());
        EXPECT_EQ(dlg.textLabel()->text(), "The downloaded file could not be verified and was deleted.") << sig.body;
        EXPECT_TRUE(dlg.NotVerified());
        EXPECT_FALSE(dlg.Downloaded());
        EXPECT_FALSE(dlg.Cancelled());
        EXPECT_EQ(ReadFile(InstallerFilePath()), "the installer from before");
    }
    // A plain download failure is no signature failure.
    server.Set("/download/Kalvex_inst.deb", {404, "gone"});
    CUpdateDlg dlg("1.0.1.0");
    dlg.show();
    dlg.updateNowButton()->click();
    QTRY_VERIFY(!dlg.isVisible());
    EXPECT_EQ(dlg.textLabel()->text(), "Download failed.");
    EXPECT_FALSE(dlg.NotVerified());
}

TEST_F(Update, InstallerCapAndDeadline) {
    EXPECT_EQ(savedInstaller.maxBytes, 200ull * 1024 * 1024);
    EXPECT_GT(savedInstaller.totalTimeoutMs, 0);
    InstallerDownloadLimits().maxBytes = 10000;
    OfferInstaller(Installer(10000));
    {
        CUpdateDlg dlg("1.0.1.0");
        dlg.show();
        dlg.updateNowButton()->click();
        QTRY_VERIFY(!dlg.isVisible());
        EXPECT_TRUE(dlg.Downloaded());
    }
    std::filesystem::remove(InstallerFilePath());
    OfferInstaller(Installer(10001), Kind::Chunked);
    {
        CUpdateDlg dlg("1.0.1.0");
        dlg.show();
        dlg.updateNowButton()->click();
        QTRY_VERIFY(!dlg.isVisible());
        EXPECT_EQ(dlg.textLabel()->text(), "Download failed.");
        EXPECT_FALSE(std::filesystem::exists(InstallerFilePath()));
    }
    // A server that sends half and then holds the rest is given up at the deadline.
    InstallerDownloadLimits().maxBytes = 0;
    InstallerDownloadLimits().stallTimeoutMs = 60000;
    InstallerDownloadLimits().totalTimeoutMs = 800;
    OfferInstaller(Installer(), Kind::Gated);
    CUpdateDlg dlg("1.0.1.0");
    dlg.show();
    dlg.updateNowButton()->click();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 20000);
    EXPECT_EQ(dlg.textLabel()->text(), "Download failed.");
    EXPECT_FALSE(std::filesystem::exists(InstallerFilePath()));
}

TEST_F(Update, ExitStopsTheCheckBeforeTheLogCloses) {
    // A server that sends part of the answer and then holds the rest; the
    // check's own limits would let it wait for a minute.
    VersionCheckLimits().stallTimeoutMs = 60000;
    VersionCheckLimits().totalTimeoutMs = 60000;
    Answer("1.0.1.0\n" + std::string(4000, ' '), 200, Kind::Gated);
    OpenProgramLog();
    auto channel = std::make_shared<UpdateCheckChannel>(nullptr, WM_UPDATE_AVAILABLE);
    StartUpdateCheckThread(channel);
    ASSERT_TRUE(server.WaitForRequests(1));
    EXPECT_EQ(WorkerThreadCount(), 1u);
    // What the program's exit does before the log closes: afterwards the
    // check's thread has ended and holds nothing of the program's any more.
    const auto start = std::chrono::steady_clock::now();
    StopWorkerThreads();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(channel.use_count(), 1);
    EXPECT_EQ(WorkerThreadCount(), 0u);
    // Nothing starts once the exit has begun.
    bool ran = false;
    EXPECT_FALSE(StartWorkerThread([&ran] { ran = true; }));
    EXPECT_FALSE(ran);
    CloseProgramLog();
    ResetWorkerThreads();
    EXPECT_TRUE(StartWorkerThread([] {}));
    ResetWorkerThreads();
}

TEST_F(Update, OfferWaitsUntilTheCopyToThePspIsOver) {
    Answer("1.0.1.0\n");
    QString clip = kalvex::test::MakeClip("a.avi", 1.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    SetMessageBoxHook([](const MessageBoxRequest&) { return IDOK; });
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;
    int offers = 0;
    dlg.runUpdateDialog = [&](CUpdateDlg&) { ++offers; };  // ends as "Later"
    auto check = dlg.startUpdateCheck;
    dlg.startUpdateCheck = nullptr;
    dlg.OnInitDialog();
    dlg.show();

    VideoFileEntry e;
    SourceRefusal why;
    ASSERT_TRUE(MakeEntryFromPath(clip.toStdString(), e, why)) << RefusalText(why);
    CConvertPage* page = dlg.convertPage();
    page->destEdit()->setText(kalvex::test::TestPath("out/"));
    page->copyBox()->setChecked(true);
    // The copy to the PSP runs its dialogs (the event loop) for a while; the
    // offer held back during the run must not come in the middle of it.
    bool copyRunning = false;
    int offersDuringCopy = -1;
    page->copyOutputsToPsp = [&](const std::vector<std::string>&) {
        copyRunning = true;
        QTest::qWait(300);
        offersDuringCopy = offers;
        copyRunning = false;
        return true;
    };
    page->SetFileList({e});
    page->StartConvert();
    page->pauseButton()->click();
    ASSERT_TRUE(dlg.IsConverting());
    check();
    QTRY_VERIFY(dlg.UpdateOfferPending());
    page->pauseButton()->click();  // resumes: the run ends by itself
    QTRY_VERIFY_WITH_TIMEOUT(offersDuringCopy >= 0, 60000);
    EXPECT_EQ(offersDuringCopy, 0);
    QTRY_COMPARE(offers, 1);
    EXPECT_FALSE(copyRunning);
}

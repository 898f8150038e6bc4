#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "platform/registry/RegistryStore.h"
#include "platform/shell/Shell.h"
#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"
#include "tests/uploader/app/DravelTestUtil.h"
#include "tests/uploader/http/HttpTestServer.h"
#include "uploader/app/DravelCore.h"
#include "uploader/app/DravelIds.h"
#include "uploader/app/EmailDlg.h"
#include "uploader/app/MainDlg.h"

using namespace kalvex;
using namespace kalvex::dravel;
using kalvex::test::HttpTestServer;

namespace {

// Receives the upload thread's messages as the main window would.
class Recorder : public QObject, public IMessageTarget {
public:
    struct Msg {
        unsigned msg;
        WPARAM w;
        LPARAM l;
    };
    std::vector<Msg> msgs;
    bool done = false;
    WPARAM doneW = 99;
    bool event(QEvent* e) override { return DispatchMessageEvent(e, this) || QObject::event(e); }
    LRESULT HandleMessage(unsigned msg, WPARAM w, LPARAM l) override {
        msgs.push_back({msg, w, l});
        if (msg == WM_UPLOAD_DONE) {
            done = true;
            doneW = w;
        }
        return 0;
    }
};

void RunAndWait(const UploadJob& job, Recorder& rec) {
    std::thread t([&] { RunUpload(job, &rec); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return rec.done; }, 60000));
    t.join();
    QCoreApplication::processEvents();
}

std::vector<std::string> LogFolderEntries() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(AppDataFolder() + "log"))
        names.push_back(e.path().filename().string());
    return names;
}

}  // namespace

TEST(Dravel, ModesOfTheFirstArgument) {
    EXPECT_EQ(Mode::StartConverter, ModeFor(std::nullopt));
    EXPECT_EQ(Mode::Idle, ModeFor(std::string()));
    EXPECT_EQ(Mode::UserUpload, ModeFor(std::string("USERUPLOAD")));
    EXPECT_EQ(Mode::UserUpload, ModeFor(std::string("userUpload")));
    EXPECT_EQ(Mode::BurnDvdFail, ModeFor(std::string("BURNDVDFAIL")));
    EXPECT_EQ(Mode::Crash, ModeFor(std::string("CRASH_B_0")));
    EXPECT_EQ(Mode::Crash, ModeFor(std::string("USERUPLOAD2")));
}

TEST(Dravel, EmailRule) {
    EXPECT_TRUE(LooksLikeEmail("joe@example.org"));
    EXPECT_TRUE(LooksLikeEmail("joe@mail.example.org"));
    EXPECT_FALSE(LooksLikeEmail(""));
    EXPECT_FALSE(LooksLikeEmail("joe@"));
    EXPECT_FALSE(LooksLikeEmail("joe.smith@example.org"));  // first dot before the at sign
    EXPECT_FALSE(LooksLikeEmail("joe@example."));           // dot is the last character
    EXPECT_FALSE(LooksLikeEmail("joe@example"));
    EXPECT_FALSE(LooksLikeEmail("joe.example.org"));
}

TEST(Dravel, UploadKeyIsMadeOnceAndKept) {
    std::string key = UploadKey();
    EXPECT_TRUE(std::regex_match(key, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"))) << key;
    EXPECT_EQ(key, UploadKey());
    auto reg = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", false, false);
    ASSERT_TRUE(reg);
    EXPECT_EQ(key, reg->GetString("UploadKey").value_or(""));
    // A key written by an earlier run is used as it stands.
    reg = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", true, true);
    reg->SetString("UploadKey", "11111111-2222-3333-4444-555555555555");
    EXPECT_EQ("11111111-2222-3333-4444-555555555555", UploadKey());

    EXPECT_EQ("", ReadEmail());
    EXPECT_TRUE(StoreEmail("a@b.c"));
    EXPECT_EQ("a@b.c", ReadEmail());
}

TEST(Dravel, UploadNameAndServerAddress) {
    EXPECT_EQ("KalvexABC_1234_CRASH_B_0.txt", UploadName("ABC", 1234, "CRASH_B_0"));
    EXPECT_EQ("KalvexABC_-5_USERUPLOAD.txt", UploadName("ABC", -5, "USERUPLOAD"));
    // The argument cannot lead the file out of the log folder.
    EXPECT_EQ("KalvexK_1_.._.._etc_x_y_.txt", UploadName("K", 1, "../../etc/x\"y\n"));
    EXPECT_EQ(6 + 1 + 1 + 1 + 1 + 100 + 4, UploadName("K", 1, std::string(300, 'a')).size());

    unsetenv("KALVEX_SERVER");
    EXPECT_EQ("http://www.tesmora.net", ProductServer());
    EXPECT_EQ("http://www.tesmora.net/upload_logs/a.php", UploadUrl());
    setenv("KALVEX_SERVER", "http://127.0.0.1:1234/", 1);
    EXPECT_EQ("http://127.0.0.1:1234/upload_logs/a.php", UploadUrl());
    unsetenv("KALVEX_SERVER");

    EXPECT_EQ(0, ProgressPercent(0, 0));
    EXPECT_EQ(0, ProgressPercent(500, 0));
    EXPECT_EQ(50, ProgressPercent(50, 100));
    // 100 MB posted of 200 MB: no 32-bit overflow in posted x 100.
    EXPECT_EQ(50, ProgressPercent(100000000, 200000000));
    EXPECT_EQ(100, ProgressPercent(10, 10));
}

TEST(Dravel, UploadFileHoldsBothLogsAndTheAddress) {
    std::string path = AppDataFolder() + "log/out.txt";
    // The converter made the log folder; without it nothing is written.
    EXPECT_FALSE(PrepareUploadFile(path, "a@b.c"));
    EXPECT_FALSE(std::filesystem::exists(path));

    std::filesystem::create_directories(AppDataFolder() + "log");
    EXPECT_TRUE(PrepareUploadFile(path, "a@b.c"));
    EXPECT_EQ("--- starburn.log ---\n--- starburn.log ---\nEmail:a@b.c\n", test::ReadFile(path));

    std::string log = test::MakeConverterLog();
    std::string burn = test::MakeStarBurnLog();
    test::WriteFile(path, "stale content that must not be sent\n");
    EXPECT_TRUE(PrepareUploadFile(path, "joe@example.org"));
    EXPECT_EQ(log + "--- starburn.log ---\n" + burn + "--- starburn.log ---\nEmail:joe@example.org\n",
              test::ReadFile(path));
}

TEST(Dravel, UploadPostsTheFileAndDeletesIt) {
    HttpTestServer server;
    std::string log = test::MakeConverterLog();
    std::string burn = test::MakeStarBurnLog();
    Recorder rec;
    RunAndWait({server.Base() + kUploadPath, "CRASH_B_0", "joe@example.org"}, rec);
    EXPECT_EQ(1u, rec.doneW);

    auto reqs = server.Requests();
    ASSERT_EQ(1u, reqs.size());
    std::string content = log + "--- starburn.log ---\n" + burn + "--- starburn.log ---\nEmail:joe@example.org\n";
    std::string expectedName = "Kalvex" + UploadKey() + "_-?[0-9]+_CRASH_B_0\\.txt";
    std::string uploadPath = test::CheckUploadedForm(reqs[0], content, AppDataFolder() + "log/", expectedName);
    EXPECT_FALSE(uploadPath.empty());
    EXPECT_EQ("no-cache", reqs[0].Header("Cache-Control"));

    // Progress before every step, rising to the whole body, then done.
    ASSERT_GE(rec.msgs.size(), 3u);
    EXPECT_EQ(WM_UPLOAD_DONE, rec.msgs.back().msg);
    uint64_t total = reqs[0].body.size();
    WPARAM last = 0;
    for (size_t i = 0; i + 1 < rec.msgs.size(); ++i) {
        EXPECT_EQ(WM_UPLOAD_PROGRESS, rec.msgs[i].msg);
        EXPECT_EQ(total, static_cast<uint64_t>(rec.msgs[i].l));
        EXPECT_GE(rec.msgs[i].w, last);
        last = rec.msgs[i].w;
    }
    EXPECT_EQ(total, last);
    EXPECT_EQ(0u, rec.msgs.front().w);

    // Only the converter's own log is left in the folder.
    EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, LogFolderEntries());
}

TEST(Dravel, FailedUploadsEndQuietlyAndDeleteTheFile) {
    test::MakeConverterLog();
    {
        SCOPED_TRACE("refused");
        Recorder rec;
        RunAndWait({"http://127.0.0.1:" + std::to_string(test::UnusedPort()) + kUploadPath, "USERUPLOAD", "a@b.c"},
                   rec);
        EXPECT_EQ(0u, rec.doneW);
        EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, LogFolderEntries());
    }
    {
        SCOPED_TRACE("closed in the middle");
        // A big log: the server drops the connection long before its end.
        test::WriteFile(ConverterLogPath(), std::string(3 << 20, 'x'));
        test::RawTcpServer server(test::RawTcpServer::Mode::CloseAfter, 4096);
        Recorder rec;
        RunAndWait({"http://127.0.0.1:" + std::to_string(server.port()) + kUploadPath, "USERUPLOAD", "a@b.c"}, rec);
        EXPECT_EQ(0u, rec.doneW);
        EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, LogFolderEntries());
    }
    {
        SCOPED_TRACE("never answers");
        test::RawTcpServer server(test::RawTcpServer::Mode::NeverAnswer);
        Recorder rec;
        UploadJob job{"http://127.0.0.1:" + std::to_string(server.port()) + kUploadPath, "USERUPLOAD", "a@b.c"};
        job.idleTimeoutMs = 300;
        RunAndWait(job, rec);
        EXPECT_EQ(0u, rec.doneW);
        EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, LogFolderEntries());
    }
    {
        SCOPED_TRACE("500");
        HttpTestServer server;
        server.SetAnswer(500, "broken");
        Recorder rec;
        RunAndWait({server.Base() + kUploadPath, "USERUPLOAD", "a@b.c"}, rec);
        EXPECT_EQ(1u, server.Requests().size());
        EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, LogFolderEntries());
    }
    {
        SCOPED_TRACE("no log folder");
        std::filesystem::remove_all(AppDataFolder() + "log");
        HttpTestServer server;
        Recorder rec;
        RunAndWait({server.Base() + kUploadPath, "USERUPLOAD", "a@b.c"}, rec);
        EXPECT_EQ(0u, rec.doneW);
        EXPECT_TRUE(server.Requests().empty());
    }
}

TEST(Dravel, TheWholeExchangeHasOneDeadline) {
    UploadJob job;
    EXPECT_EQ(UploadDeadlineMs(job, 0), 60000u);
    EXPECT_EQ(UploadDeadlineMs(job, 1), 61000u);
    EXPECT_EQ(UploadDeadlineMs(job, 102400), 61000u);
    EXPECT_EQ(UploadDeadlineMs(job, 102401), 62000u);
    EXPECT_EQ(UploadDeadlineMs(job, 10 * 102400), 70000u);
    EXPECT_LT(UploadDeadlineMs(job, UINT64_MAX / 2), UINT32_MAX);  // no wrap to a short deadline

    test::MakeConverterLog();
    using Mode = test::RawTcpServer::Mode;
    for (Mode mode : {Mode::Flood100, Mode::Trickle}) {
        SCOPED_TRACE(mode == Mode::Flood100 ? "100 Continue every 100 ms" : "one byte every 100 ms");
        // Each wait is short of the idle time-out; only the deadline ends it.
        test::RawTcpServer server(mode, 0, 100);
        Recorder rec;
        UploadJob slow{"http://127.0.0.1:" + std::to_string(server.port()) + kUploadPath, "USERUPLOAD", "a@b.c"};
        slow.idleTimeoutMs = 30000;
        slow.deadlineBaseMs = 1500;
        slow.deadlineMsPer100KiB = 0;
        QElapsedTimer timer;
        timer.start();
        RunAndWait(slow, rec);
        const qint64 took = timer.elapsed();
        EXPECT_EQ(0u, rec.doneW);
        EXPECT_GE(took, 1400);
        EXPECT_LT(took, 10000);  // generous bound against a hang, not a speed figure
        EXPECT_EQ(std::vector<std::string>{"Kalvex.log"}, LogFolderEntries());
    }
}

TEST(Dravel, AStoredKeyCannotLeadOutOfTheLogFolder) {
    EXPECT_EQ(UploadName("X/../../../../home/pwned", 5, "A"), "KalvexX_.._.._.._.._home_pwned_5_A.txt");
    EXPECT_EQ(UploadName("k\\e\"y\n", -1, ""), "Kalvexk_e_y__-1_.txt");
    EXPECT_EQ(UploadName(std::string(150, 'k'), 0, "a"), "Kalvex" + std::string(100, 'k') + "_0_a.txt");

    test::MakeConverterLog();
    ASSERT_TRUE(RegistryKey::Open(RegRoot::CurrentUser, "Software\\Kalvex", true, true)
                    ->SetString("UploadKey", "X/../../../../pwned"));
    std::filesystem::create_directories(AppDataFolder() + "log/KalvexX");
    HttpTestServer server;
    Recorder rec;
    RunAndWait({server.Base() + kUploadPath, "USERUPLOAD", "a@b.c"}, rec);
    EXPECT_EQ(1u, rec.doneW);
    ASSERT_EQ(1u, server.Requests().size());
    EXPECT_NE(server.Requests()[0].body.find("KalvexX_.._.._.._.._pwned_"), std::string::npos);
    // Nothing beside the data folder, and only the log left in log/.
    std::vector<std::string> outside;
    for (const auto& e : std::filesystem::recursive_directory_iterator(test::TestRoot()))
        if (e.path().filename().string().find("pwned") != std::string::npos) outside.push_back(e.path());
    EXPECT_TRUE(outside.empty()) << outside.front();
    std::vector<std::string> left = LogFolderEntries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ((std::vector<std::string>{"Kalvex.log", "KalvexX"}), left);
}

TEST(DravelWindows, EmailDialogEnablesOkOnceAndCannotBeCancelled) {
    CEmailDlg dlg;
    EXPECT_EQ(kAppCaption, dlg.windowTitle());
    auto* text = dlg.findChild<QLabel*>(IDC_EMAIL_TEXT);
    auto* edit = dlg.findChild<QLineEdit*>(IDC_EMAIL);
    auto* ok = dlg.findChild<QPushButton*>(IDOK_BUTTON);
    auto* cancel = dlg.findChild<QPushButton*>(IDCANCEL_BUTTON);
    ASSERT_TRUE(text && edit && ok && cancel);
    EXPECT_EQ("Please leave us an Email, we can contact you after we solved the problem:", text->text());
    dlg.show();
    EXPECT_FALSE(ok->isEnabled());
    QTest::keyClicks(edit, "joe.smith@example.org");
    EXPECT_FALSE(ok->isEnabled());
    edit->clear();
    QTest::keyClicks(edit, "joe@");
    EXPECT_FALSE(ok->isEnabled());
    QTest::keyClicks(edit, "example.org");
    EXPECT_TRUE(ok->isEnabled());
    // Never disabled again.
    edit->setText("nonsense");
    EXPECT_TRUE(ok->isEnabled());
    cancel->click();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    dlg.close();
    EXPECT_TRUE(dlg.isVisible());
    edit->setText("joe@example.org");
    ok->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(QDialog::Accepted, dlg.result());
    EXPECT_EQ("joe@example.org", dlg.Email());
}

TEST(DravelWindows, CrashModeAsksOnceUploadsThenRestartsOnOk) {
    HttpTestServer server;
    std::string log = test::MakeConverterLog();
    int asked = 0;
    CMainDlg::SetEmailAsker([&](QWidget*) {
        ++asked;
        return QString("joe@example.org");
    });
    std::vector<QString> started;
    SetStartProgramHook([&](const QString& program, const QStringList& args) {
        started.push_back(program + "|" + args.join(","));
        return true;
    });

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        CMainDlg dlg("CRASH_B_0", server.Base() + kUploadPath);
        QSignalSpy ended(&dlg, &CMainDlg::Ended);
        dlg.show();
        dlg.OnInitDialog();
        auto* ok = dlg.findChild<QPushButton*>(IDOK_BUTTON);
        auto* restart = dlg.findChild<QCheckBox*>(IDC_RESTART);
        auto* text = dlg.findChild<QLabel*>(IDC_INFO_TEXT);
        auto* bar = dlg.findChild<QProgressBar*>(IDC_PROGRESS);
        ASSERT_TRUE(ok && restart && text && bar);
        if (run == 0) {
            EXPECT_EQ("Ombrasil - Uploading Log Files", dlg.windowTitle());
            EXPECT_EQ("Uploading log file to the developer of Ombrasil, it will not upload any of your personal "
                      "information, thank you very much !",
                      text->text());
        }
        EXPECT_EQ("Restart Tesmora.NET Video Converter For PSP", restart->text());
        EXPECT_TRUE(restart->isChecked());
        EXPECT_TRUE(ok->isVisible());
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.completed(); }, 60000));
        EXPECT_TRUE(ok->isEnabled());
        EXPECT_EQ("Upload completed, Click OK to close.", text->text());
        EXPECT_EQ("Upload completed.", dlg.windowTitle());
        EXPECT_EQ(100, bar->value());
        EXPECT_EQ(0, ended.count());
        if (run == 1) restart->setChecked(false);
        ok->click();
        EXPECT_EQ(1, ended.count());
        EXPECT_FALSE(dlg.isVisible());
    }
    // The address was asked for only once and then kept; both runs used the same key.
    EXPECT_EQ(1, asked);
    EXPECT_EQ("joe@example.org", ReadEmail());
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ(QString::fromStdString(AppFolder() + "Kalvex") + "|", started[0]);
    auto reqs = server.Requests();
    ASSERT_EQ(2u, reqs.size());
    std::string name = "Kalvex" + UploadKey() + "_-?[0-9]+_CRASH_B_0\\.txt";
    std::string content = log + "--- starburn.log ---\n--- starburn.log ---\nEmail:joe@example.org\n";
    for (const auto& r : reqs) EXPECT_FALSE(test::CheckUploadedForm(r, content, AppDataFolder() + "log/", name).empty());
    CMainDlg::SetEmailAsker(nullptr);
}

TEST(DravelWindows, WindowCannotBeClosedWhileUploading) {
    test::MakeConverterLog();
    StoreEmail("a@b.c");
    test::RawTcpServer server(test::RawTcpServer::Mode::NeverAnswer);
    CMainDlg dlg("CRASH_1_2", "http://127.0.0.1:" + std::to_string(server.port()) + kUploadPath);
    dlg.SetTimeouts(2000, 500);
    QSignalSpy ended(&dlg, &CMainDlg::Ended);
    dlg.show();
    dlg.OnInitDialog();
    dlg.close();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(0, ended.count());
    // The idle time-out ends the upload as failed: the same completion.
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.completed(); }, 30000));
    EXPECT_EQ("Upload completed.", dlg.windowTitle());
    EXPECT_TRUE(dlg.findChild<QPushButton*>(IDOK_BUTTON)->isEnabled());
}

TEST(DravelWindows, UserUploadEndsByItselfAndBurnFailHidesOkAndRestart) {
    HttpTestServer server;
    test::MakeConverterLog();
    StoreEmail("a@b.c");
    bool started = false;
    SetStartProgramHook([&](const QString&, const QStringList&) { return started = true; });
    for (const char* arg : {"userupload", "BurnDVDFail"}) {
        SCOPED_TRACE(arg);
        CMainDlg dlg(arg, server.Base() + kUploadPath);
        QSignalSpy ended(&dlg, &CMainDlg::Ended);
        dlg.show();
        dlg.OnInitDialog();
        bool burn = std::string(arg) == "BurnDVDFail";
        EXPECT_EQ(!burn, dlg.findChild<QPushButton*>(IDOK_BUTTON)->isVisible());
        EXPECT_EQ(!burn, dlg.findChild<QCheckBox*>(IDC_RESTART)->isVisible());
        ASSERT_TRUE(QTest::qWaitFor([&] { return ended.count() == 1; }, 60000));
        EXPECT_FALSE(dlg.isVisible());
    }
    EXPECT_FALSE(started);
    EXPECT_EQ(2u, server.Requests().size());
}

TEST(DravelWindows, ProgressAndTheEmptyArgument) {
    CMainDlg dlg("", "http://127.0.0.1:9/none");
    QSignalSpy ended(&dlg, &CMainDlg::Ended);
    dlg.show();
    dlg.OnInitDialog();
    auto* bar = dlg.findChild<QProgressBar*>(IDC_PROGRESS);
    // The bar stays at 0 while the total is 0.
    SendMessage(&dlg, WM_UPLOAD_PROGRESS, 500, 0);
    EXPECT_EQ(0, bar->value());
    SendMessage(&dlg, WM_UPLOAD_PROGRESS, 250, 1000);
    EXPECT_EQ(25, bar->value());
    EXPECT_FALSE(dlg.findChild<QPushButton*>(IDOK_BUTTON)->isEnabled());
    // Nothing is uploaded, nothing asked; the window can be closed.
    EXPECT_EQ("", ReadEmail());
    dlg.close();
    EXPECT_EQ(1, ended.count());
    EXPECT_FALSE(dlg.completed());
}

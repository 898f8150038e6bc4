// The converter as a process: single instance, close request, log headers
// and the crash path.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>
#include <thread>

#include "app/core/CrashReport.h"
#include "platform/instance/SingleInstance.h"
#include "common/ui/Dialogs.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using kalvex::test::ReadFile;

namespace {
QString KalvexBinary() { return QString::fromStdString(kalvex::test::BinDir()) + "/Kalvex"; }

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Starts the first instance and waits until it listens for later starts.
bool StartFirst(QProcess& p) {
    // Not the first run: the first-run dialog would wait for a click.
    std::string ini = AppDataFolder() + "set.ini";
    if (!QFile::exists(QString::fromStdString(ini))) kalvex::test::WriteFile(ini, "[FirstTimeRun]\nFirstTimeRun=0\n");
    p.start(KalvexBinary(), {});
    if (!p.waitForStarted()) return false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 20000) {
        // Listening, not merely a socket file (a killed instance leaves one).
        QLocalSocket probe;
        probe.connectToServer(SingleInstance::ServerName());
        if (probe.waitForConnected(100)) return true;
        p.waitForFinished(20);  // returns early only if the program ends
        if (p.state() != QProcess::Running) return false;
    }
    return false;
}
}  // namespace

TEST(Process, SecondStartHandsOverAndCloseRequestEndsTheFirst) {
    QProcess first;
    ASSERT_TRUE(StartFirst(first)) << first.readAllStandardError().toStdString();

    QElapsedTimer t;
    t.start();
    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {}), 0);
    EXPECT_LT(t.elapsed(), 5000);  // generous bound against a hang, not a speed figure
    EXPECT_EQ(first.state(), QProcess::Running);

    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {"--close"}), 0);
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitCode(), 0);

    std::string log = ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_EQ(Count(log, "Program Version: 1.0.0.15\n"), 2);
    EXPECT_EQ(Count(log, "Get DllGetClassObject failed.\n"), 1);  // only the first instance starts up
    std::string ini = ReadFile(AppDataFolder() + "set.ini");
    EXPECT_NE(ini.find("[FirstTimeRun]\nFirstTimeRun=0\n"), std::string::npos);
    for (const char* key : {"TvSystem=0", "TimeFormat=0", "RemoveMethod=1", "RemindNoSpace=1", "VideoAutoDetect=1",
                            "VideoBitrateConstant=4000", "VideoBitrateMaximal=9000", "AudioBitrate=192",
                            "AutoUpdate=1", "TvSystemNotified=0", "ChapterInterval=5", "Enable=1", "Select=0"})
        EXPECT_NE(ini.find(std::string(key) + "\n"), std::string::npos) << key;
    // The lock and the socket are released: a new start is a first instance.
    SingleInstance again;
    EXPECT_TRUE(again.Acquire());
}

TEST(Process, ForeignSocketMessagesLeaveTheWindowRunning) {
    QProcess first;
    ASSERT_TRUE(StartFirst(first)) << first.readAllStandardError().toStdString();
    std::vector<QByteArray> lines;
    // Every message number the window or its pages handle, with parameters a
    // hostile client would pick (4096 as a text address to free, say).
    for (unsigned msg : {2024u, 2025u, 2026u, 1124u, 1125u, 1126u, 1030u, 1026u, 0u, 16u, 0xC000u, 0xC001u, 0xFFFFu})
        lines.push_back("POST " + QByteArray::number(msg) + " 4096 0\n");
    lines.push_back("POST 2026 18446744073709551615 -9223372036854775808\n");
    lines.push_back("POST WM_SET_TITLE_TEXT 4096 0\n");
    lines.push_back("POST 2027 4096\n");
    lines.push_back("POST CloseKalvexMsg x y\n");
    static const char garbage[] = "\x01\x02\xff garbage \x00 bytes\n";
    lines.push_back(QByteArray(garbage, sizeof garbage - 1));
    lines.push_back("\n");
    lines.push_back("POST " + QByteArray(70000, '9') + " 0 0\n");
    lines.push_back("POST 2027 0 " + QByteArray(1 << 20, '1') + "\n");  // a 1 MB line
    lines.push_back(QByteArray(1 << 20, 'x'));                         // 1 MB without a line end
    ASSERT_GE(lines.size(), 20u);
    for (const QByteArray& line : lines) {
        QLocalSocket s;
        s.connectToServer(SingleInstance::ServerName());
        ASSERT_TRUE(s.waitForConnected(3000));
        s.write(line);
        s.waitForBytesWritten(3000);
        s.disconnectFromServer();
        if (s.state() != QLocalSocket::UnconnectedState) s.waitForDisconnected(3000);
    }
    // The accepted requests still work afterwards: a second start hands over
    // and the close request ends the window in its orderly way.
    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {}), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {"--close"}), 0);
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    std::string log = ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_GE(Count(log, "Instance socket: ignored"), int(lines.size()) - 1);
    EXPECT_NE(log.find("Instance socket: ignored a request that is not taken from outside \"POST 2026 4096 0\""),
              std::string::npos);
}

TEST(Process, CloseWithoutARunningInstanceSaysSo) {
    QString out;
    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {"--close"}, &out), 1);
    EXPECT_TRUE(out.contains("not running"));
    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {"--no-such-option"}), 2);
}

// An instance that holds the lock but listens only later (still starting,
// or replacing the socket a killed one left) gets the close request once it
// listens; "--close" does not say "not running" in between.
TEST(Process, CloseWaitsForAStartingInstanceToListen) {
    SingleInstance starting;
    ASSERT_TRUE(starting.Acquire());
    QProcess close;
    close.setProcessChannelMode(QProcess::MergedChannels);
    close.start(KalvexBinary(), {"--close"});
    ASSERT_TRUE(close.waitForStarted());
    // Long enough for the request to fail at least once without a listener.
    QTest::qWait(600);
    EXPECT_EQ(close.state(), QProcess::Running);
    std::vector<unsigned> got;
    ASSERT_TRUE(starting.Publish({{"CloseKalvexMsg", 7u}}, [&got](unsigned m) { got.push_back(m); }));
    QTRY_VERIFY_WITH_TIMEOUT(close.state() == QProcess::NotRunning, 15000);
    EXPECT_EQ(close.exitCode(), 0) << close.readAll().toStdString();
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), size_t(1), 5000);
    EXPECT_EQ(got, std::vector<unsigned>{7u});
}

TEST(Process, CrashedFirstInstanceDoesNotLockTheUserOut) {
    QProcess first;
    ASSERT_TRUE(StartFirst(first));
    // A kill leaves the socket file behind and cannot run any handler.
    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_TRUE(QFile::exists(SingleInstance::ServerName()));
    // The kill may land while the instance starts a helper program: until the
    // helper's exec its copy of the descriptors keeps the lock held and the
    // old socket taking connections, which the probe of the next start would
    // take for the next instance. The crash is over once both are gone.
    auto crashedInstanceGone = [] {
        QLocalSocket probe;
        probe.connectToServer(SingleInstance::ServerName());
        return !probe.waitForConnected(100) && SingleInstance().Acquire();
    };
    QTRY_VERIFY_WITH_TIMEOUT(crashedInstanceGone(), 10000);

    QProcess next;
    ASSERT_TRUE(StartFirst(next));
    EXPECT_EQ(kalvex::test::RunProgram(KalvexBinary(), {"--close"}), 0);
    EXPECT_TRUE(next.waitForFinished(20000));
}

TEST(Crash, FatalSignalStartsThePromptWithTheCrashText) {
    // A stand-in for the program records how the handler starts it.
    QString record = kalvex::test::TestPath("args.txt");
    QString script = kalvex::test::TestPath("prompt.sh");
    kalvex::test::WriteFile(script.toStdString(), "#!/bin/sh\necho \"$@\" > '" + record.toStdString() + "'\n");
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    pid_t pid = fork();
    if (pid == 0) {
        InstallCrashSignalHandler(script.toStdString(), "--crash-prompt");
        volatile int* bad = reinterpret_cast<int*>(0x10);
        *bad = 1;  // SIGSEGV at address 0x10
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGSEGV);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record) && QFile(record).size() > 0, 10000);
    EXPECT_EQ(ReadFile(record.toStdString()), "--crash-prompt CRASH_B_10\n");

    EXPECT_EQ(CrashCodeText(SIGSEGV, 0), "CRASH_B_0");
    EXPECT_EQ(CrashCodeText(SIGABRT, 0xDEADBEEFul), "CRASH_6_DEADBEEF");
}

namespace {
// Uses 4 KB of stack a call until the stack runs out.
__attribute__((noinline)) int Deep(int n) {
    volatile char pad[4096];
    pad[n % 4096] = char(n);
    if (n > 1000000000) return 0;
    return Deep(n + 1) + pad[n % 4096];
}

// Overflows the stack of a worker thread in a child process; the status of
// the child, and the prompt's arguments when it was started.
int OverflowOnAWorker(bool withStack, std::string* recorded) {
    QString record = kalvex::test::TestPath(withStack ? "with.txt" : "without.txt");
    QString script = kalvex::test::TestPath("prompt.sh");
    kalvex::test::WriteFile(script.toStdString(), "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/$REC\"\n");
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setenv("REC", QFileInfo(record).fileName().toLocal8Bit().constData(), 1);
    pid_t pid = fork();
    if (pid == 0) {
        InstallCrashSignalHandler(script.toStdString(), "--crash-prompt");
        std::thread worker([withStack] {
            if (withStack) InstallThreadCrashStack();
            Deep(0);
        });
        worker.join();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (withStack) (void)QTest::qWaitFor([&] { return QFile(record).size() > 0; }, 10000);
    *recorded = ReadFile(record.toStdString());
    return status;
}
}  // namespace

TEST(Crash, AStackOverflowOnAWorkerThreadReachesThePrompt) {
    std::string recorded;
    int status = OverflowOnAWorker(true, &recorded);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGSEGV);
    EXPECT_EQ(recorded.rfind("--crash-prompt CRASH_B_", 0), 0u) << recorded;
    // Without its own stack the worker's overflow never reaches the handler.
    status = OverflowOnAWorker(false, &recorded);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
    EXPECT_TRUE(recorded.empty());
}

TEST(Crash, PromptStartsTheUploaderWithOrWithoutTheCrashText) {
    std::vector<std::pair<QString, QStringList>> started;
    SetStartProgramHook([&](const QString& p, const QStringList& a) {
        started.emplace_back(p, a);
        return true;
    });
    MessageBoxRequest seen;
    int answer = IDOK;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        seen = r;
        return answer;
    });
    EXPECT_EQ(RunCrashPrompt("CRASH_B_0"), IDOK);
    EXPECT_EQ(seen.text, "Error detected.\nWould you mind send us the log file for solving the problem ?");
    EXPECT_EQ(seen.caption, "Ops !!! We got problem !");
    EXPECT_EQ(seen.flags, unsigned(MB_OKCANCEL | MB_ICONINFORMATION));
    EXPECT_FALSE(seen.owned);
    answer = IDCANCEL;
    RunCrashPrompt("CRASH_B_0");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0].first, QString::fromStdString(AppFolder() + "Dravel"));
    EXPECT_EQ(started[0].second, QStringList{"CRASH_B_0"});
    EXPECT_TRUE(started[1].second.isEmpty());
}

TEST(Crash, MissingUploaderEndsQuietly) {
    SetStartProgramHook(nullptr);
    EXPECT_FALSE(StartProgram("/nonexistent/Dravel", {}));
}

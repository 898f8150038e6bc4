// Files that come from outside the file dialog: "Kalvex FILE..." at start
// and against a running window, the running window's checks of the paths
// handed to it, and files and folders dropped on the list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <chrono>
#include <cstring>
#include <future>

#include "app/CVideoConverterDlg.h"
#include "app/InstanceRequests.h"
#include "app/MainMessages.h"
#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "common/ui/HintOnce.h"
#include "convert/page/CConvertPage.h"
#include "media/VideoFileList.h"
#include "media/page/CAddFilePage.h"
#include "platform/instance/SingleInstance.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "tests/support/Media.h"
#include "tests/support/ListRows.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

namespace kalvex {
namespace {

using test::TestPath;

std::string Root() { return test::TestRoot(); }

std::string MakeFile(const std::string& path) {
    test::WriteFile(path, "not a video");
    return path;
}

std::string ReasonFor(const PathsToAdd& r, const std::string& path) {
    for (const SkippedPath& s : r.skipped)
        if (s.path == path) return s.reason;
    return "(not skipped)";
}

std::vector<std::string> PathsOf(const CAddFilePage& page) {
    std::vector<std::string> out;
    for (int i = 0; i < page.Count(); ++i) out.push_back(FieldText(page.Entry(i).fullPath));
    return out;
}

// Hands paths over from a thread of its own, as a later start does; the
// window answers on this thread, whose events QTest keeps running.
PathsHandOver HandOver(const std::vector<std::string>& paths) {
    auto pending = std::async(std::launch::async, [&] {
        return SingleInstance::HandPathsToFirst(kOpenFilesMessageName, paths, 20000);
    });
    if (!QTest::qWaitFor([&] { return pending.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                         30000))
        ADD_FAILURE() << "the window did not answer";
    return pending.get();
}

TEST(HandOverChecks, OnlyAbsolutePathsOfExistingFilesPass) {
    OpenProgramLog();
    const std::string file = MakeFile(Root() + "/a.avi");
    const std::string link = Root() + "/link.avi";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    const std::string dir = Root() + "/folder.avi";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(dir)));
    const std::string fifo = Root() + "/pipe.avi";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = Root() + "/missing.avi";
    const std::string tooLong = "/" + std::string(SingleInstance::kMaxPathBytes, 'x');  // 4,097 bytes
    // 4,096 bytes pass the length check; no file system has a name that long.
    const std::string longest = "/" + std::string(SingleInstance::kMaxPathBytes - 1, 'x');
    const std::string withNul = file + std::string(1, '\0') + ".avi";

    const PathsToAdd r =
        CheckHandedOverPaths({"a.avi", file, missing, dir, fifo, tooLong, longest, withNul, link, file});
    EXPECT_EQ(r.files, (std::vector<std::string>{file, link, file}));
    EXPECT_EQ(ReasonFor(r, "a.avi"), "not an absolute path");
    EXPECT_EQ(ReasonFor(r, missing), "No such file or directory");
    EXPECT_EQ(ReasonFor(r, dir), "a folder, not a file");
    EXPECT_EQ(ReasonFor(r, fifo), "not a regular file");
    EXPECT_EQ(ReasonFor(r, tooLong), "longer than 4096 bytes");
    EXPECT_EQ(ReasonFor(r, longest), "File name too long");
    EXPECT_EQ(ReasonFor(r, withNul), "holds a NUL byte");
    CloseProgramLog();
    const std::string log = test::ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_NE(log.find("Instance socket: skipped the handed-over path a.avi: not an absolute path\n"),
              std::string::npos);
    EXPECT_NE(log.find("Instance socket: skipped the handed-over path " + dir + ": a folder, not a file\n"),
              std::string::npos);
}

// The main window, published on the instance socket as the program does it.
class Window : public testing::Test {
protected:
    void SetUp() override {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes.push_back(r.text);
            return IDOK;
        });
        SetHintDialogHook([](const QString&, const QString&) { return false; });
        instance = std::make_unique<SingleInstance>();
        ASSERT_TRUE(instance->Acquire());
        dlg = std::make_unique<CVideoConverterDlg>(instance.get());
        dlg->runFirstRunDialog = nullptr;
        dlg->startUpdateCheck = nullptr;
        dlg->OnInitDialog();
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }
    void TearDown() override {
        dlg.reset();
        instance.reset();
        SetHintDialogHook(nullptr);
    }
    // An examination that opens nothing: every file is a 10 s clip.
    void QuickExamination() {
        page().SetExaminer([](const std::string&, MediaInfo& info, SourceRefusal&) {
            std::memset(&info, 0, sizeof info);
            std::strcpy(info.videoFormat, "vids");
            std::strcpy(info.audioFormat, "auds");
            info.width = 320;
            info.height = 240;
            info.fps = 25;
            info.duration = 100000000;
            info.channels = 2;
            info.sampleRate = 44100;
            return true;
        });
    }
    CAddFilePage& page() { return *dlg->videoFilesPage(); }
    std::unique_ptr<SingleInstance> instance;
    std::unique_ptr<CVideoConverterDlg> dlg;
    std::vector<QString> boxes;
};

TEST_F(Window, HandedOverFilesAreCheckedThenAddedOnTheVideoFilesPage) {
    QuickExamination();
    const std::string first = MakeFile(Root() + "/first.avi");
    const std::string one = MakeFile(Root() + "/one.mkv");
    const std::string two = MakeFile(Root() + "/two.mp4");
    ASSERT_TRUE(page().AddFile(QString::fromStdString(first)));
    dlg->tab()->setCurrentIndex(1);  // the Convert page is showing
    ASSERT_EQ(dlg->tab()->currentIndex(), 1);

    const PathsHandOver r = HandOver({one, "one.mkv", Root() + "/missing.avi", Root(), two, one});
    EXPECT_EQ(r.status, PathsHandOver::Accepted);
    EXPECT_EQ(r.taken, 3);
    QTRY_COMPARE(page().Count(), 4);
    EXPECT_EQ(PathsOf(page()), (std::vector<std::string>{first, one, two, one}));
    EXPECT_EQ(dlg->tab()->currentIndex(), 0);
    EXPECT_TRUE(boxes.empty());

    // Nothing usable: refused, nothing added, the window left as it is.
    const PathsHandOver none = HandOver({Root(), "two.mp4"});
    EXPECT_EQ(none.status, PathsHandOver::Refused);
    EXPECT_EQ(none.refusal, "none of the paths names an existing file");
    QCoreApplication::processEvents();
    EXPECT_EQ(page().Count(), 4);
}

TEST_F(Window, AThousandPathsAreAddedButAThousandAndOneNothing) {
    QuickExamination();
    const std::string file = MakeFile(Root() + "/same.avi");
    PathsHandOver r = HandOver(std::vector<std::string>(1001, file));
    EXPECT_EQ(r.status, PathsHandOver::Refused);
    EXPECT_EQ(r.refusal, "a request of 1001 paths (at most 1000 are taken)");
    QCoreApplication::processEvents();
    EXPECT_EQ(page().Count(), 0);

    r = HandOver(std::vector<std::string>(1000, file));
    EXPECT_EQ(r.status, PathsHandOver::Accepted);
    EXPECT_EQ(r.taken, 1000);
    QTRY_COMPARE(page().Count(), 1000);  // the list takes a file once for every time it is added
}

TEST_F(Window, DuringAConversionHandOverAndDropAreRefusedAsAddingIs) {
    const QString clip = test::MakeClip("run.avi", 2.0, 160, 120);
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(page().AddFile(clip));
    // A run that stays going: started and paused at once.
    dlg->tab()->setCurrentIndex(1);
    ASSERT_EQ(dlg->tab()->currentIndex(), 1);
    CConvertPage* convert = dlg->convertPage();
    convert->destEdit()->setText(TestPath("out/"));
    convert->StartConvert();
    convert->pauseButton()->click();
    ASSERT_TRUE(dlg->IsConverting());
    ASSERT_TRUE(boxes.empty());

    const PathsHandOver r = HandOver({clip.toStdString()});
    EXPECT_EQ(r.status, PathsHandOver::Refused);
    EXPECT_EQ(r.refusal, "Can't view other page while converting.");
    QTRY_COMPARE(boxes.size(), size_t(1));
    EXPECT_EQ(boxes[0], "Can't view other page while converting.");

    // A drop reaches the list even while its page is not shown.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(clip)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(page().ListControl()->viewport(), &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(page().ListControl()->viewport(), &drop);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], "Can't view other page while converting.");
    // And so does the file dialog's command: no dialog is opened.
    bool dialogOpened = false;
    SetOpenFileDialogHook([&](const FileDialogRequest&) {
        dialogOpened = true;
        return QStringList{clip};
    });
    page().AddFiles();
    EXPECT_FALSE(dialogOpened);
    EXPECT_EQ(boxes.size(), 3u);

    EXPECT_EQ(page().Count(), 1);
    EXPECT_EQ(dlg->tab()->currentIndex(), 1);
    convert->stopButton()->click();  // answered OK: the run is cancelled
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->IsConverting(), 60000);
}

TEST(Drop, TwoFilesAndAFolderAreAddedInOrder) {
    SetHintDialogHook([](const QString&, const QString&) { return false; });
    std::vector<QString> boxes;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        boxes.push_back(r.text);
        return IDOK;
    });
    const QString one = test::MakeClip("one.mkv", 1.0, 160, 120);
    const QString two = test::MakeClip("two.avi", 1.0, 176, 144);
    ASSERT_TRUE(QDir().mkpath(TestPath("more")));
    const QString b = test::MakeClip(TestPath("more/b.mkv"), 1.0, 160, 120);
    const QString a = test::MakeClip(TestPath("more/A.avi"), 1.0, 160, 120);
    ASSERT_FALSE(one.isEmpty() || two.isEmpty() || a.isEmpty() || b.isEmpty());
    test::WriteFile(TestPath("more/notes.txt").toStdString(), "not a video");

    CAddFilePage page;
    page.show();
    QWidget* target = page.ListControl()->viewport();
    EXPECT_TRUE(target->acceptDrops());

    QMimeData remoteOnly;
    remoteOnly.setUrls({QUrl("http://127.0.0.1:9/x.avi")});
    QDragEnterEvent refusedEnter(QPoint(5, 5), Qt::CopyAction, &remoteOnly, Qt::LeftButton, {});
    QCoreApplication::sendEvent(target, &refusedEnter);
    EXPECT_FALSE(refusedEnter.isAccepted());

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(one), QUrl::fromLocalFile(two), QUrl::fromLocalFile(TestPath("more")),
                  QUrl("http://127.0.0.1:9/x.avi")});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, {});
    QCoreApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());

    EXPECT_EQ(PathsOf(page), (std::vector<std::string>{one.toStdString(), two.toStdString(), a.toStdString(),
                                                       b.toStdString()}));
    ASSERT_EQ(page.Count(), 4);
    // Examined as the file dialog's files are: real sizes, the information text.
    EXPECT_EQ(page.Entry(1).mediaInfo.width, 176);
    EXPECT_NE(FieldText(page.Entry(2).infoText).find("A.avi\n\nVideo Format"), std::string::npos);
    EXPECT_EQ(test::RowCount(page.ListControl()), 4);
    EXPECT_TRUE(boxes.empty());
    SetHintDialogHook(nullptr);
}

// The real program.
QString KalvexBinary() { return QString::fromStdString(test::BinDir()) + "/Kalvex"; }

std::vector<std::string> SavedList() {
    VideoFileList list;
    list.Load(FileListPath());
    std::vector<std::string> out;
    for (int i = 0; i < list.Count(); ++i) out.push_back(FieldText(list.At(i).fullPath));
    return out;
}

// Runs a later start in `folder` to its end; its exit code (-1: no end).
int RunIn(const QString& folder, const QStringList& args, QString* err = nullptr) {
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start(KalvexBinary(), args);
    if (!p.waitForStarted() || !p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (err) *err = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

TEST(Process, NamedFilesAreAddedAtStartAndHandedToTheRunningWindow) {
    const QString a = test::MakeClip("a.avi", 1.0, 160, 120);
    const QString b = test::MakeClip("b.mkv", 1.0, 160, 120);
    ASSERT_TRUE(QDir().mkpath(TestPath("more")));
    const QString c = test::MakeClip(TestPath("more/c.avi"), 1.0, 160, 120);
    ASSERT_FALSE(a.isEmpty() || b.isEmpty() || c.isEmpty());
    test::WriteFile(TestPath("more/notes.txt").toStdString(), "not a video");
    // Not the first run (its dialog would wait for a click), no update check.
    test::WriteFile(AppDataFolder() + "set.ini", "[FirstTimeRun]\nFirstTimeRun=0\n[AutoUpdate]\nAutoUpdate=0\n");

    const QString root = QString::fromStdString(Root());
    QProcess first;
    first.setWorkingDirectory(root);
    first.start(KalvexBinary(), {"a.avi", "b.mkv"});  // relative: taken from the caller's folder
    ASSERT_TRUE(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(SavedList().size() == 2 || first.state() != QProcess::Running, 60000);
    ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().toStdString();
    EXPECT_EQ(SavedList(), (std::vector<std::string>{a.toStdString(), b.toStdString()}));

    // A later start with a file and a folder (relative names again): both
    // are handed over, added after the others, and the process ends.
    QString err;
    EXPECT_EQ(RunIn(root, {"b.mkv", "more"}, &err), 0) << err.toStdString();
    QTRY_COMPARE_WITH_TIMEOUT(SavedList().size(), size_t(4), 60000);
    EXPECT_EQ(SavedList(),
              (std::vector<std::string>{a.toStdString(), b.toStdString(), b.toStdString(), c.toStdString()}));

    // A later start naming only what is no file: said so; nothing handed over.
    EXPECT_EQ(RunIn(root, {"missing.avi"}, &err), 0);
    EXPECT_TRUE(err.contains(root + "/missing.avi is not added: No such file or directory")) << err.toStdString();
    EXPECT_EQ(RunIn(root, {"--bogus", "a.avi"}, &err), 2);
    EXPECT_EQ(first.state(), QProcess::Running);

    EXPECT_EQ(test::RunProgram(KalvexBinary(), {"--close"}), 0);
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(SavedList().size(), 4u);
    const std::string log = test::ReadFile(AppDataFolder() + "log/Kalvex.log");
    EXPECT_NE(log.find("--- Adding file " + a.toStdString() + "---"), std::string::npos);
    EXPECT_NE(log.find("--- Adding file " + c.toStdString() + "---"), std::string::npos);
    EXPECT_EQ(log.find("notes.txt"), std::string::npos);
}

}  // namespace
}  // namespace kalvex

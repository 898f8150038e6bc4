// Copying to a fake PSP: real files into the VIDEO folder of a mount-point
// folder, the clash and free-space questions, cancel and failure.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <filesystem>
#include <QMetaObject>
#include <cerrno>
#include <cstring>
#include <functional>

#include "convert/PspOutputList.h"
#include "convert/psp/PspCopy.h"
#include "convert/psp/PspDialogs.h"
#include "common/ui/Dialogs.h"
#include "platform/storage/Storage.h"
#include "resources/resource.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/TestEnv.h"

namespace kalvex {
namespace {

namespace fs = std::filesystem;
using test::FakeDisks;
using test::ReadFile;
using test::TestRoot;
using test::WriteFile;

std::string Bytes(size_t size, int seed) {
    std::string b(size, '\0');
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<char>((i * 7 + seed * 13 + i / 977) & 0xFF);
    return b;
}

// Answers the PSP dialogs: a function per kind; a kind without one is run
// for real (the copying dialog) or fails the test (the questions).
struct Answers {
    std::function<int(CNoPspDetectedDlg&)> noPsp;
    std::function<int(CPspFileExistsDlg&)> exists;
    std::function<int(CPspFreeSpaceDlg&)> space;
    std::function<int(CPspCopyingDlg&)> copying;  // -1 runs it
    std::vector<QString> shown;

    void Install() {
        SetPspDialogHook([this](QDialog& dlg) -> int {
            shown.push_back(dlg.windowTitle());
            if (auto* d = dynamic_cast<CNoPspDetectedDlg*>(&dlg)) return noPsp ? noPsp(*d) : (ADD_FAILURE(), IDCANCEL);
            if (auto* d = dynamic_cast<CPspFileExistsDlg*>(&dlg)) return exists ? exists(*d) : (ADD_FAILURE(), IDCANCEL);
            if (auto* d = dynamic_cast<CPspFreeSpaceDlg*>(&dlg)) return space ? space(*d) : (ADD_FAILURE(), IDCANCEL);
            if (auto* d = dynamic_cast<CPspCopyingDlg*>(&dlg)) return copying ? copying(*d) : -1;
            ADD_FAILURE() << "unexpected dialog";
            return IDCANCEL;
        });
    }
};

class PspCopyTest : public testing::Test {
protected:
    void SetUp() override {
        psp_ = fake_.AddPsp();
        video_ = psp_ + "VIDEO/";
        fs::create_directories(TestRoot() + "/out/a");
        fs::create_directories(TestRoot() + "/out/b");
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            boxes_.push_back(r.text);
            return IDOK;
        });
        answers_.Install();
    }
    void TearDown() override {
        SetPspDialogHook(nullptr);
        storage::SetDiskFreeSpaceHook(nullptr);
        ClearOutputs();
    }
    std::string Output(const std::string& name, size_t size, int seed) {
        const std::string path = TestRoot() + "/out/" + name;
        WriteFile(path, Bytes(size, seed));
        return path;
    }

    FakeDisks fake_;
    std::string psp_, video_;
    Answers answers_;
    std::vector<QString> boxes_;
};

TEST_F(PspCopyTest, OutputsLandInACreatedVideoFolder) {
    const std::string a = Output("a/one.mp4", 3 * 1048576 + 17, 1);
    const std::string b = Output("b/two.mp4", 1000, 2);
    const std::string empty = Output("a/empty.mp4", 0, 3);
    AddOutput(a);
    AddOutput(b);
    AddOutput(empty);
    std::vector<int> values;
    std::vector<QString> texts;
    answers_.copying = [&](CPspCopyingDlg& dlg) {
        QObject::connect(dlg.Progress(), &QProgressBar::valueChanged, [&](int v) {
            values.push_back(v);
            texts.push_back(dlg.Text());
        });
        return -1;
    };
    ASSERT_FALSE(fs::exists(video_));
    EXPECT_TRUE(CopyOutputsToPsp());
    EXPECT_EQ(ReadFile(video_ + "one.mp4"), ReadFile(a));
    EXPECT_EQ(ReadFile(video_ + "two.mp4"), ReadFile(b));
    EXPECT_TRUE(fs::exists(video_ + "empty.mp4"));
    EXPECT_TRUE(fs::exists(a));  // the computer's copies stay
    EXPECT_EQ(answers_.shown, (std::vector<QString>{"Copying to PSP"}));
    EXPECT_EQ(boxes_, (std::vector<QString>{"OK"}));
    // Progress per file, from 0 up to 100, with the file's name.
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), 100);
    EXPECT_TRUE(std::find(texts.begin(), texts.end(), "Copying one.mp4") != texts.end());
    EXPECT_EQ(texts.back(), "Copying empty.mp4");
    EXPECT_TRUE(std::is_sorted(values.begin(), values.begin() + 3));
}

TEST_F(PspCopyTest, ClashQuestionListsExistingTargetsAndCancelKeepsEverything) {
    fs::create_directories(video_);
    WriteFile(video_ + "one.mp4", "old one");
    WriteFile(video_ + "two.mp4", "old two");
    const std::string a = Output("a/one.mp4", 5000, 1);
    const std::string b = Output("b/two.mp4", 6000, 2);
    const std::string c = Output("b/three.mp4", 7000, 3);
    QString text;
    answers_.exists = [&](CPspFileExistsDlg& dlg) {
        text = dlg.Text();
        return IDCANCEL;
    };
    EXPECT_FALSE(CopyFilesToPsp({a, b, c}));
    EXPECT_EQ(text, QString::fromStdString("File Exists:\n" + video_ + "one.mp4\n" + video_ + "two.mp4\n"));
    EXPECT_EQ(ReadFile(video_ + "one.mp4"), "old one");
    EXPECT_EQ(ReadFile(video_ + "two.mp4"), "old two");
    EXPECT_FALSE(fs::exists(video_ + "three.mp4"));
    EXPECT_TRUE(boxes_.empty());

    // Overwrite: the old files are replaced.
    answers_.exists = [](CPspFileExistsDlg&) { return IDOK; };
    EXPECT_TRUE(CopyFilesToPsp({a, b, c}));
    EXPECT_EQ(ReadFile(video_ + "one.mp4"), ReadFile(a));
    EXPECT_EQ(ReadFile(video_ + "two.mp4"), ReadFile(b));
    EXPECT_EQ(ReadFile(video_ + "three.mp4"), ReadFile(c));
}

TEST_F(PspCopyTest, SameNameTwiceEndsWithTheSecondFile) {
    const std::string a = Output("a/same.mp4", 4000, 1);
    const std::string b = Output("b/same.mp4", 3000, 2);
    EXPECT_TRUE(CopyFilesToPsp({a, b}));
    EXPECT_EQ(ReadFile(video_ + "same.mp4"), ReadFile(b));
}

TEST_F(PspCopyTest, FreeSpaceQuestionUntilThereIsRoomOrCancel) {
    const std::string a = Output("a/one.mp4", 3 * 1048576, 1);
    const std::string b = Output("b/two.mp4", 1048576, 2);
    const int64_t needed = 4 * 1048576;
    int64_t free = needed - 2 * 1048576;
    std::vector<std::string> asked;
    storage::SetDiskFreeSpaceHook([&](const std::string& path, int64_t& bytes) {
        asked.push_back(path);
        bytes = free;
        return true;
    });
    std::vector<QString> lines;
    answers_.space = [&](CPspFreeSpaceDlg& dlg) {
        lines.push_back(dlg.Text());
        EXPECT_EQ(dlg.PspFolder(), QString::fromStdString(video_));
        free = needed;  // the user makes room: exactly enough passes
        return lines.size() < 3 ? IDOK : IDCANCEL;  // never endless
    };
    EXPECT_TRUE(CopyFilesToPsp({a, b}));
    EXPECT_EQ(lines, (std::vector<QString>{"Need 2.00MB more free space."}));
    ASSERT_EQ(asked.size(), 2u);  // measured, then measured again after "Try again"
    EXPECT_EQ(asked[0], psp_);
    EXPECT_EQ(ReadFile(video_ + "two.mp4"), ReadFile(b));

    // Cancel at the question: nothing is copied.
    fs::remove_all(video_);
    free = 1024;
    answers_.space = [&](CPspFreeSpaceDlg& dlg) {
        lines.push_back(dlg.Text());
        return IDCANCEL;
    };
    EXPECT_FALSE(CopyFilesToPsp({a, b}));
    EXPECT_EQ(lines.back(), "Need 4.00MB more free space.");
    EXPECT_FALSE(fs::exists(video_));

    // A free-space query that fails ends the copy.
    storage::SetDiskFreeSpaceHook([](const std::string&, int64_t&) { return false; });
    EXPECT_FALSE(CopyFilesToPsp({a, b}));
    EXPECT_FALSE(fs::exists(video_));
}

TEST_F(PspCopyTest, OpenPspDriveOpensTheFolderAndKeepsTheDialog) {
    std::vector<QString> opened;
    SetShellOpenHook([&](const QString& target) {
        opened.push_back(target);
        return true;
    });
    CPspFreeSpaceDlg dlg("Need 1.00KB more free space.", QString::fromStdString(video_));
    EXPECT_EQ(dlg.windowTitle(), "Not enough free space on PSP");
    dlg.show();
    auto* open = dlg.findChild<QPushButton*>(res::ObjectName(res::IDC_PSP_OPEN_DRIVE));
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->text(), "Open PSP drive");
    open->click();  // VIDEO does not exist yet: the drive itself
    fs::create_directories(video_);
    open->click();
    EXPECT_EQ(opened, (std::vector<QString>{QString::fromStdString(psp_), QString::fromStdString(video_)}));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.findChild<QPushButton*>(res::ObjectName(IDOK))->text(), "Try again");
    dlg.findChild<QPushButton*>(res::ObjectName(IDOK))->click();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(PspCopyTest, CancelDuringCopyKeepsTheFilesAlreadyCopied) {
    const std::string first = Output("a/first.mp4", 2000, 1);
    const std::string big = Output("a/big.mp4", 8 * 1048576, 2);
    const std::string last = Output("a/last.mp4", 3000, 3);
    CPspCopyingDlg* running = nullptr;
    answers_.copying = [&](CPspCopyingDlg& dlg) {
        running = &dlg;
        // Cancel as soon as the big file shows progress.
        QObject::connect(dlg.Progress(), &QProgressBar::valueChanged, &dlg, [&dlg](int v) {
            if (v > 0 && v < 100 && dlg.Text() == "Copying big.mp4" && !dlg.CancelRequested())
                dlg.CancelButton()->click();
        });
        return -1;
    };
    // However slow the window is, the copy waits after the big file's first
    // chunk until the window has shown that progress (and so pressed Cancel).
    bool waited = false;
    int64_t bigCopied = 0;
    storage::SetCopyChunkHook([&](const std::string& target, int64_t copied, int64_t total) {
        if (target == video_ + "big.mp4") bigCopied = copied;
        if (target != video_ + "big.mp4" || waited || copied >= total) return;
        waited = true;
        QMetaObject::invokeMethod(running, [] {}, Qt::BlockingQueuedConnection);
    });
    EXPECT_FALSE(CopyFilesToPsp({first, big, last}));
    storage::SetCopyChunkHook(nullptr);
    EXPECT_TRUE(waited);
    EXPECT_LT(bigCopied, 2 * 1048576);  // the copy stopped after the chunk it was cancelled in
    EXPECT_EQ(ReadFile(video_ + "first.mp4"), ReadFile(first));
    EXPECT_FALSE(fs::exists(video_ + "big.mp4"));  // the interrupted copy leaves no broken file
    EXPECT_FALSE(fs::exists(video_ + "last.mp4"));
    EXPECT_TRUE(boxes_.empty());  // no "OK"
    EXPECT_TRUE(fs::exists(big));
}

TEST_F(PspCopyTest, CancelWhileTheLastBlockIsFlushedFailsTheCopy) {
    const std::string first = Output("a/first.mp4", 2000, 1);
    const std::string last = Output("a/last.mp4", 3 * 1048576 + 3, 2);
    CPspCopyingDlg* running = nullptr;
    answers_.copying = [&](CPspCopyingDlg& dlg) {
        running = &dlg;
        return -1;
    };
    // The PSP takes its time to flush the last file: while it does, the bar
    // stands at 100 % and the user presses Cancel.
    std::vector<int> barAtCancel;
    storage::SetCopyFlushHook([&](const std::string& target) {
        if (target != video_ + "last.mp4") return;
        QMetaObject::invokeMethod(
            running,
            [&] {
                barAtCancel.push_back(running->Progress()->value());
                running->CancelButton()->click();
            },
            Qt::BlockingQueuedConnection);
    });
    std::vector<PspCopyFailure> failures;
    EXPECT_FALSE(CopyFilesToPsp({first, last}, &failures));
    storage::SetCopyFlushHook(nullptr);
    EXPECT_EQ(barAtCancel, std::vector<int>{100});
    EXPECT_EQ(ReadFile(video_ + "first.mp4"), ReadFile(first));
    EXPECT_FALSE(fs::exists(video_ + "last.mp4"));  // no partial target stays
    EXPECT_TRUE(boxes_.empty());                   // neither "OK" nor a failure box for a cancel
    EXPECT_TRUE(failures.empty());
    EXPECT_TRUE(fs::exists(last));

    // The outputs' list the same way: the page must not be told to delete.
    AddOutput(first);
    AddOutput(last);
    storage::SetCopyFlushHook([&](const std::string& target) {
        if (target == video_ + "last.mp4") QMetaObject::invokeMethod(running, [&] { running->CancelButton()->click(); }, Qt::BlockingQueuedConnection);
    });
    answers_.exists = [](CPspFileExistsDlg&) { return IDOK; };
    EXPECT_FALSE(CopyOutputsToPsp());
    storage::SetCopyFlushHook(nullptr);
    EXPECT_FALSE(fs::exists(video_ + "last.mp4"));
}

TEST_F(PspCopyTest, CancelWithTheBarAtFullFails) {
    const std::string only = Output("a/only.mp4", 5000, 1);
    answers_.copying = [&](CPspCopyingDlg& dlg) {
        // Cancel when the bar reaches 100 %, before the flush starts.
        QObject::connect(dlg.Progress(), &QProgressBar::valueChanged, &dlg, [&dlg](int v) {
            if (v == 100) dlg.reject();
        });
        return -1;
    };
    EXPECT_FALSE(CopyFilesToPsp({only}));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(PspCopyTest, MissingFileFailsAloneAndIsNamed) {
    const std::string a = Output("a/one.mp4", 4000, 1);
    const std::string gone = TestRoot() + "/out/b/gone.mp4";
    const std::string c = Output("b/three.mp4", 6000, 3);
    // The PSP holds an earlier gone.mp4: it is neither offered for
    // overwriting nor deleted.
    fs::create_directories(video_);
    WriteFile(video_ + "gone.mp4", "earlier copy");
    std::vector<PspCopyFailure> failures;
    EXPECT_FALSE(CopyFilesToPsp({a, gone, c}, &failures));
    EXPECT_EQ(ReadFile(video_ + "one.mp4"), ReadFile(a));
    EXPECT_EQ(ReadFile(video_ + "three.mp4"), ReadFile(c));
    EXPECT_EQ(ReadFile(video_ + "gone.mp4"), "earlier copy");
    EXPECT_EQ(answers_.shown, (std::vector<QString>{"Copying to PSP"}));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].source, gone);
    EXPECT_EQ(failures[0].reason, std::strerror(ENOENT));
    EXPECT_EQ(boxes_, (std::vector<QString>{QString("Copy to PSP failed:\ngone.mp4: ") + std::strerror(ENOENT)}));
}

TEST_F(PspCopyTest, CopyingDialogEndsOnlyWhenTheWorkerReports) {
    const std::string a = Output("a/one.mp4", 3 * 1048576, 1);
    CPspCopyingDlg dlg({a}, {video_ + "one.mp4"});
    fs::create_directories(video_);
    EXPECT_EQ(dlg.windowTitle(), "Copying to PSP");
    // Cancel pressed before the copy starts: the dialog stays open and the
    // worker stops at its first check; the result is a failure.
    dlg.reject();
    EXPECT_TRUE(dlg.CancelRequested());
    EXPECT_EQ(dlg.exec(), 0);
    EXPECT_FALSE(fs::exists(video_ + "one.mp4"));
}

TEST_F(PspCopyTest, UnpluggedBetweenSearchAndCopyWritesNothing) {
    const std::string a = Output("a/one.mp4", 5000, 1);
    int64_t free = 100;
    int unplugAnswers = 0;
    storage::SetDiskFreeSpaceHook([&](const std::string&, int64_t& bytes) {
        bytes = free;
        return true;
    });
    // While the space question is open the PSP goes away; its empty mount
    // point folder stays behind on the computer's disk.
    answers_.space = [&](CPspFreeSpaceDlg&) {
        fake_.Unmount(psp_);
        free = 1 << 30;
        return ++unplugAnswers < 3 ? IDOK : IDCANCEL;
    };
    EXPECT_FALSE(CopyFilesToPsp({a}));
    EXPECT_TRUE(fs::exists(psp_));
    EXPECT_FALSE(fs::exists(video_));
    EXPECT_TRUE(boxes_.empty());
}

TEST_F(PspCopyTest, TargetThatCannotBeWrittenFails) {
    const std::string a = Output("a/one.mp4", 5000, 1);
    const std::string b = Output("a/two.mp4", 5000, 2);
    fs::create_directories(video_ + "two.mp4/inside");  // a folder holds the name
    answers_.exists = [](CPspFileExistsDlg&) { return IDOK; };
    EXPECT_FALSE(CopyFilesToPsp({a, b}));
    EXPECT_EQ(ReadFile(video_ + "one.mp4"), ReadFile(a));
    EXPECT_TRUE(fs::is_directory(video_ + "two.mp4"));
    EXPECT_TRUE(fs::exists(b));
    // No "OK"; the box names the file that failed.
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_TRUE(boxes_[0].startsWith("Copy to PSP failed:\ntwo.mp4: ")) << boxes_[0].toStdString();
}

TEST_F(PspCopyTest, NoPspCancelledCopiesNothing) {
    fake_.Unmount(psp_);
    fs::remove_all(fake_.Root() + "/sys/block/sdb");
    const std::string a = Output("a/one.mp4", 5000, 1);
    int asked = 0;
    answers_.noPsp = [&](CNoPspDetectedDlg&) { return ++asked < 3 ? IDOK : IDCANCEL; };
    EXPECT_FALSE(CopyFilesToPsp({a}));
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(fs::exists(video_));
}

TEST(PspTargets, NamesBehindTheLastSlash) {
    EXPECT_EQ(BuildTargetList({"/x/y/a.mp4", "b.mp4", "/z/a.mp4"}, "/m/PSP/VIDEO/"),
              (std::vector<std::string>{"/m/PSP/VIDEO/a.mp4", "/m/PSP/VIDEO/b.mp4", "/m/PSP/VIDEO/a.mp4"}));
    EXPECT_EQ(ShortageText(3 * 1048576, 1048576), "Need 2.00MB more free space.");
    EXPECT_EQ(ShortageText(1536, 0), "Need 1.50KB more free space.");
}

}  // namespace
}  // namespace kalvex

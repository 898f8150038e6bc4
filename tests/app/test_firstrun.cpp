#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CAutoDetectDiskDlg.h"
#include "common/ui/Dialogs.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/TestEnv.h"

using namespace kalvex;

namespace {
constexpr int64_t GiB = 1024LL * 1024 * 1024;

struct Boxes {
    std::vector<QString> texts;
    Boxes() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            texts.push_back(r.text);
            return IDOK;
        });
    }
};
template <typename T>
T* Child(QWidget* w, int id) {
    return w->findChild<T*>(res::ObjectName(id));
}
}  // namespace

TEST(FirstRunDialog, ProposesTheLargestDiskAndAppDataOnTheSystemOne) {
    Boxes boxes;
    CAutoDetectDiskDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), "Choose a place to save temporary files");
    // A writable folder stands for a mounted stick the user owns.
    const std::string usb = test::TestRoot() + "/usb/";
    std::filesystem::create_directories(usb);
    dlg.OnInitDialog({{"/", 50 * GiB}, {usb, 8 * GiB}, {"/data/", 50 * GiB}});
    auto* list = Child<QListWidget>(&dlg, res::IDC_DISK_LIST);
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(1)->text().toStdString(), usb + " - 8.00G");
    // Equal space: the earlier one wins, and it holds "/".
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(dlg.Folder().toStdString(), AppDataFolder() + "dvd-vob/");
    EXPECT_EQ(Child<QLabel>(&dlg, res::IDC_DISK_FREE)->text(), "Free Space: 50.00G");
    EXPECT_TRUE(boxes.texts.empty());

    list->setCurrentRow(1);
    EXPECT_EQ(dlg.Folder().toStdString(), usb + "dvd-vob/");
    EXPECT_EQ(Child<QLabel>(&dlg, res::IDC_DISK_FREE)->text(), "Free Space: 8.00G");
}

TEST(FirstRunDialog, ProposesOnlyFoldersTheUserCanMake) {
    const std::string mount = test::TestRoot() + "/mnt/";
    std::filesystem::create_directories(mount);
    EXPECT_EQ(CAutoDetectDiskDlg::FolderFor(mount), mount + "dvd-vob/");
    EXPECT_EQ(CAutoDetectDiskDlg::FolderFor("/"), AppDataFolder() + "dvd-vob/");
    // A mount point that is gone, and a file where the folder would be.
    EXPECT_EQ(CAutoDetectDiskDlg::FolderFor(test::TestRoot() + "/gone/"), AppDataFolder() + "dvd-vob/");
    // The top of the file system closed to the user (as a separate /home
    // is): its own folder when the user has one there, else the data folder.
    ASSERT_EQ(chmod(mount.c_str(), 0555), 0);
    if (access(mount.c_str(), W_OK) != 0) {  // root writes anywhere
        EXPECT_EQ(CAutoDetectDiskDlg::FolderFor(mount), AppDataFolder() + "dvd-vob/");
    }
    chmod(mount.c_str(), 0755);
    std::filesystem::create_directories(mount + "dvd-vob");
    ASSERT_EQ(chmod(mount.c_str(), 0555), 0);
    EXPECT_EQ(CAutoDetectDiskDlg::FolderFor(mount), mount + "dvd-vob/");
    chmod(mount.c_str(), 0755);
    // A read-only file system refuses even root.
    if (access("/proc/", W_OK) != 0) {
        EXPECT_EQ(CAutoDetectDiskDlg::FolderFor("/proc/"), AppDataFolder() + "dvd-vob/");
    }
}

TEST(FirstRunDialog, NoLargeDiskIsReported) {
    Boxes boxes;
    CAutoDetectDiskDlg dlg;
    dlg.OnInitDialog({{"/", 4 * GiB}, {"/data/", 1 * GiB}});
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "We need a disk that has 4G bytes or more free space.");
    EXPECT_EQ(dlg.Folder().toStdString(), AppDataFolder() + "dvd-vob/");

    CAutoDetectDiskDlg none;
    none.OnInitDialog({});
    EXPECT_EQ(boxes.texts.size(), 2u);
    EXPECT_TRUE(none.Folder().isEmpty());
}

TEST(FirstRunDialog, BrowseWarnsAboutSmallDisksAndOnlyOkCloses) {
    Boxes boxes;
    storage::SetDiskFreeSpaceHook([](const std::string&, int64_t& b) {
        b = 2 * GiB;
        return true;
    });
    SetFolderDialogHook([](const QString& title, const QString&) {
        EXPECT_EQ(title, "Choose destination directory");
        return kalvex::test::TestPath("picked");
    });
    CAutoDetectDiskDlg dlg;
    dlg.OnInitDialog({{"/data/", 10 * GiB}});
    dlg.show();
    Child<QPushButton>(&dlg, res::IDC_DISK_BROWSE)->click();
    EXPECT_EQ(dlg.Folder(), kalvex::test::TestPath("picked/"));
    EXPECT_EQ(Child<QLabel>(&dlg, res::IDC_DISK_FREE)->text(), "Disk Free Space = 2.00G");
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0],
              "We strongly recommend you choose a driver that has 4G bytes more free space for destination directory.");
    dlg.reject();
    dlg.close();
    EXPECT_TRUE(dlg.isVisible());
    Child<QPushButton>(&dlg, 1)->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    storage::SetDiskFreeSpaceHook(nullptr);
}

TEST(FirstRunDialog, OnlyRealFileSystemsAreOffered) {
    std::string mi = kalvex::test::TestPath("mountinfo").toStdString();
    std::string dataDir = kalvex::test::TestPath("data").toStdString();
    kalvex::test::WriteFile(mi,
                            "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                            "23 22 0:5 / /proc rw - proc proc rw\n"
                            "24 22 0:6 / /dev/shm rw - tmpfs tmpfs rw\n"
                            "25 22 8:2 /sub " + dataDir + " rw - ext4 /dev/sda2 rw\n"
                            "26 22 8:3 / " + dataDir + " rw - ext4 /dev/sda3 rw\n");
    setenv("KALVEX_MOUNTINFO", mi.c_str(), 1);
    auto choices = ListDiskChoices();
    unsetenv("KALVEX_MOUNTINFO");
    ASSERT_EQ(choices.size(), 2u);
    EXPECT_EQ(choices[0].root, "/");
    EXPECT_EQ(choices[1].root, dataDir + "/");
    EXPECT_GT(choices[0].freeBytes, 0);
}

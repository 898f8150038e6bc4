// The converter from the user's side: files added through the window,
// converted from the Convert page and copied onto a (fake) PSP.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "app/CVideoConverterDlg.h"
#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "convert/page/CConvertPage.h"
#include "media/page/CAddFilePage.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/platform/storage/FakeDisks.h"
#include "tests/support/Media.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using kalvex::test::TestPath;

TEST(EndToEnd, AddConvertAndCopyToThePsp) {
    kalvex::test::FakeDisks disks;
    std::string psp = disks.AddPsp();
    QString a = kalvex::test::MakeClip("a.avi", 1.0, 160, 120);
    QString b = kalvex::test::MakeClip("b clip.mkv", 1.0, 320, 240, "30000/1001", 48000, 1);
    ASSERT_FALSE(a.isEmpty() || b.isEmpty());

    std::string ini = AppDataFolder() + "set.ini";
    WritePrivateProfileString("Convert", "DestPath", TestPath("out").toStdString(), ini);
    std::vector<QString> boxes;
    SetMessageBoxHook([&](const MessageBoxRequest& r) {
        boxes.push_back(r.text);
        return IDOK;
    });
    SetOpenFileDialogHook([&](const FileDialogRequest& r) {
        EXPECT_TRUE(r.multiple);
        return QStringList{a, b};
    });
    std::vector<QString> hints;
    SetHintDialogHook([&](const QString& key, const QString& text) {
        hints.push_back(text);
        return false;
    });

    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;
    dlg.OnInitDialog();
    dlg.show();
    dlg.findChild<QPushButton*>(res::ObjectName(res::IDC_ADD_FILES))->click();
    ASSERT_EQ(dlg.VideoFileCount(), 2) << (boxes.empty() ? "" : boxes[0].toStdString());

    dlg.findChild<QPushButton*>(res::ObjectName(res::IDC_CONVERT_TO_PSP))->click();
    ASSERT_EQ(hints.size(), 2u);
    EXPECT_EQ(hints[0], "No subtitle linked to a.avi");
    EXPECT_EQ(hints[1], "No subtitle linked to b clip.mkv");
    EXPECT_EQ(dlg.tab()->currentIndex(), 1);
    EXPECT_TRUE(dlg.IsConverting());

    // While converting, the window neither switches pages nor closes.
    dlg.tab()->setCurrentIndex(0);
    EXPECT_EQ(dlg.tab()->currentIndex(), 1);
    dlg.close();
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "Can't view other page while converting.");
    EXPECT_EQ(boxes[1], "Program is converting, please stop convert first.");

    QTRY_VERIFY_WITH_TIMEOUT(!dlg.IsConverting(), 120000);
    for (const char* name : {"a.mp4", "b clip.mp4"}) {
        QFileInfo out(TestPath("out/") + name);
        QFileInfo onPsp(QString::fromStdString(psp) + "VIDEO/" + name);
        ASSERT_TRUE(out.exists()) << name;
        ASSERT_TRUE(onPsp.exists()) << name;
        EXPECT_EQ(out.size(), onPsp.size());
    }
    EXPECT_EQ(boxes.back(), "OK");
    EXPECT_EQ(dlg.windowTitle(), "Tesmora.NET Video Converter For PSP");
    dlg.OnClose();
    EXPECT_FALSE(dlg.isVisible());
}

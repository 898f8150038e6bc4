#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <filesystem>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstring>

#include "app/CLinkStatic.h"
#include "app/CPellorinApp.h"
#include "app/CVideoConverterDlg.h"
#include "convert/page/CConvertPage.h"
#include "media/page/CAddFilePage.h"
#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "platform/registry/RegistryStore.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"
#include "tests/support/PageFakes.h"
#include "tests/support/TestEnv.h"
#include "tests/support/QtTry.h"

using namespace kalvex;
using kalvex::test::ReadFile;

namespace {
struct BoxRecorder {
    std::vector<QString> texts;
    BoxRecorder() {
        SetMessageBoxHook([this](const MessageBoxRequest& r) {
            texts.push_back(r.text);
            EXPECT_EQ(r.caption, kAppCaption);
            return IDOK;
        });
    }
};
template <typename T>
T* Find(QWidget* w, int id) {
    return w->findChild<T*>(res::ObjectName(id));
}
}  // namespace

TEST(MainWindow, InitialisationBuildsTheWindow) {
    CVideoConverterDlg dlg(nullptr);
    int tallBefore = dlg.height();
    bool deferredRan = false;
    dlg.OnInitDialog();
    EXPECT_EQ(dlg.windowTitle(), "Tesmora.NET Video Converter For PSP");
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_EQ(dlg.height(), tallBefore - 20);
    auto* tab = Find<QTabWidget>(&dlg, res::IDC_TAB);
    ASSERT_TRUE(tab);
    ASSERT_EQ(tab->count(), 2);
    EXPECT_EQ(tab->tabText(0), "Video Files");
    EXPECT_EQ(tab->tabText(1), "Convert");
    EXPECT_EQ(tab->currentIndex(), 0);
    EXPECT_EQ(Find<QPushButton>(&dlg, res::IDC_CONVERT_TO_PSP)->text(), "Convert To PSP !");
    EXPECT_EQ(Find<QPushButton>(&dlg, res::IDC_ADD_FILES)->text(), "&Add Video Files");
    EXPECT_EQ(Find<QPushButton>(&dlg, res::IDC_SEARCH_SUBTITLES)->text(), "Search Subtitles");
    auto* link = dlg.findChild<CLinkStatic*>();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->pos(), QPoint(15, 500));
    EXPECT_TRUE(link->font().italic() && link->font().underline());
    EXPECT_EQ(MessageBoxOwner(), &dlg);
    EXPECT_TRUE(dlg.FirstRun());
    // The deferred initialisation is posted, not run.
    dlg.runFirstRunDialog = [&] { deferredRan = true; };
    EXPECT_FALSE(deferredRan);
    QTRY_VERIFY(deferredRan);
}

TEST(MainWindow, ConvertTabRefusedWithAnEmptyList) {
    BoxRecorder boxes;
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;  // no modal first-run dialog in these tests
    dlg.OnInitDialog();
    dlg.tab()->setCurrentIndex(1);
    EXPECT_EQ(dlg.tab()->currentIndex(), 0);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0], "Please add Video Files first.");
    Find<QPushButton>(&dlg, res::IDC_CONVERT_TO_PSP)->click();
    Find<QPushButton>(&dlg, res::IDC_SEARCH_SUBTITLES)->click();
    EXPECT_EQ(boxes.texts.size(), 3u);
}

TEST(MainWindow, EnterAndEscapeNeverClose) {
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;  // no modal first-run dialog in these tests
    dlg.OnInitDialog();
    dlg.show();
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QTest::keyClick(&dlg, Qt::Key_Return);
    QTest::keyClick(Find<QPushButton>(&dlg, res::IDC_ADD_FILES), Qt::Key_Enter);
    dlg.reject();
    dlg.accept();
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), 0);
}

TEST(MainWindow, CloseSavesTheSettingsAndEndsTheRun) {
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;  // no modal first-run dialog in these tests
    dlg.OnInitDialog();
    dlg.show();
    AppSettings.timeFormat = 2;
    PostMessage(&dlg, dlg.closeMessage());
    QTRY_VERIFY(!dlg.isVisible());
    std::string ini = ReadFile(AppDataFolder() + "set.ini");
    EXPECT_NE(ini.find("TimeFormat=2"), std::string::npos);
    EXPECT_NE(ini.find("[DVDDrive]\nSelect=0"), std::string::npos);
    AppSettings.timeFormat = 0;
}

TEST(MainWindow, TheConvertPageSetsTheTitleDuringARun) {
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;  // no modal first-run dialog in these tests
    dlg.OnInitDialog();
    ASSERT_TRUE(dlg.convertPage()->setTitle);
    dlg.convertPage()->setTitle("42% - Converting");
    EXPECT_EQ(dlg.windowTitle(), QString("42% - Converting"));
    dlg.RefreshTitle();
    EXPECT_EQ(dlg.windowTitle(), "Tesmora.NET Video Converter For PSP");
}

TEST(MainWindow, LinkLabelOpensTheAddressAndChangesColour) {
    QString opened;
    SetShellOpenHook([&](const QString& t) {
        opened = t;
        return true;
    });
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;  // no modal first-run dialog in these tests
    dlg.OnInitDialog();
    dlg.show();
    auto* link = dlg.findChild<CLinkStatic*>();
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QCoreApplication::sendEvent(link, &enter);
    EXPECT_TRUE(link->IsHot());
    EXPECT_TRUE(link->styleSheet().contains("255,0,0"));
    QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(opened, CLinkStatic::kAddress);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(link, &leave);
    EXPECT_TRUE(link->styleSheet().contains("0,0,128"));
}

TEST(StartUp, Ac3FilterPresetImportedOnceAndNotWhenPresent) {
    // No key yet: the preset file is imported by our registry importer.
    CVideoConverterDlg::ApplyAc3FilterPreset();
    auto key = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Harnick\\AC3Filter\\preset\\Default", false, false);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->GetDword("spk").value_or(0), 5u);
    EXPECT_EQ(key->GetDword("auto_gain").value_or(0), 1u);

    // Key present: no import, only the mask value is set.
    std::remove(RegistryFilePath(RegRoot::CurrentUser).c_str());
    auto made = RegistryKey::Open(RegRoot::CurrentUser, "Software\\Harnick\\AC3Filter\\preset\\Default", true, true);
    CVideoConverterDlg::ApplyAc3FilterPreset();
    EXPECT_EQ(made->GetDword("spk").value_or(0), 5u);
    EXPECT_FALSE(made->GetDword("auto_gain"));
}

TEST(StartUp, DiscLibraryLogPointsIntoAppData) {
    std::string log = AppDataFolder() + "StarBurn.log";
    kalvex::test::WriteFile(log, "old run");
    CPellorinApp::PointDiscLibraryLog();
    EXPECT_FALSE(std::filesystem::exists(log));
    auto key = RegistryKey::Open(RegRoot::LocalMachine, "Software\\Rocket Division Software\\StarBurn", false, false);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->GetDword("DebugFacility").value_or(0), 1u);
    EXPECT_EQ(key->GetString("DebugFileName").value_or(""), log);

    // A store that cannot be written is ignored.
    setenv("KALVEX_REGISTRY_DIR", "/dev/null/registry", 1);
    kalvex::test::WriteFile(log, "old run");
    CPellorinApp::PointDiscLibraryLog();
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST(StartUp, MissingSkinModuleLogsExactlyItsLines) {
    OpenProgramLog();
    {
        CPellorinApp app;
        app.LoadSkin();
        EXPECT_FALSE(app.HasSkin());
    }
    CloseProgramLog();
    std::string text = ReadFile(AppDataFolder() + "log/Kalvex.log");
    std::string body = text.substr(text.find(")\n", text.find("S(")) + 2);
    QRegularExpression re(
        "^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]Get DllGetClassObject failed\\.\n"
        "\\[CPellorinApp\\.cpp,\\d+\\]System Error: The operation completed successfully\\.\n\n$");
    EXPECT_TRUE(re.match(QString::fromStdString(body)).hasMatch()) << body;
}

TEST(MainWindow, ActivationFromASecondStartKeepsTheModalRun) {
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;  // no modal first-run dialog in these tests
    dlg.OnInitDialog();
    bool stillRunning = false;
    QTimer::singleShot(0, &dlg, [&] {
        PostMessage(&dlg, WM_ACTIVATE_INSTANCE);
        QTimer::singleShot(50, &dlg, [&] {
            stillRunning = dlg.isVisible();
            dlg.OnClose();
        });
    });
    dlg.exec();
    EXPECT_TRUE(stillRunning);
    EXPECT_FALSE(dlg.windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST(MainWindow, SearchSubtitlesButtonOpensTheSearchDialog) {
    BoxRecorder boxes;
    CVideoConverterDlg dlg(nullptr);
    dlg.runFirstRunDialog = nullptr;
    dlg.OnInitDialog();
    CAddFilePage* page = dlg.videoFilesPage();
    page->SetExaminer(test::ExamineAsShortClip);
    ASSERT_TRUE(page->AddFile("/videos/Films/[Grp] The.Movie-2008.avi"));
    QString title, words;
    QTimer::singleShot(0, [&] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w) return;
        title = w->windowTitle();
        if (auto* box = w->findChild<QPlainTextEdit*>(res::ObjectName(res::IDC_SEARCH_WORDS))) words = box->toPlainText();
        static_cast<QDialog*>(w)->reject();
    });
    Find<QPushButton>(&dlg, res::IDC_SEARCH_SUBTITLES)->click();
    EXPECT_EQ(title, "Search Subtitles");
    EXPECT_EQ(words, "Grp  The Movie 2008 Films ");
    EXPECT_TRUE(boxes.texts.empty());
}

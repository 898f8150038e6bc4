#pragma once
#include <QDialog>
#include <QIcon>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MainMessages.h"
#include "platform/instance/SingleInstance.h"

class QPushButton;
class QTabWidget;

namespace kalvex {

class CAddFilePage;
class CConvertPage;
class CLinkStatic;
class CUpdateDlg;
class SingleInstance;
class UpdateCheckChannel;

// The converter's only top-level window: a modal dialog whose client area is
// a tab control with the pages "Video Files" and "Convert", three buttons
// above the tabs and the product link. It closes only through its guarded
// close (the close box or the "CloseKalvexMsg" request).
class CVideoConverterDlg : public QDialog, public IMessageTarget {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Tesmora.NET Video Converter For PSP";

    // instance: publishes the window to later starts (may be null in tests).
    explicit CVideoConverterDlg(SingleInstance* instance, QWidget* parent = nullptr);
    ~CVideoConverterDlg() override;

    // Main-window initialisation; runs before the window is shown.
    void OnInitDialog();

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

    // Operations for the pages.
    bool IsConverting() const;
    int VideoFileCount() const;
    void ShowVideoFilesPage();
    void RefreshTitle();

    // Files named on the command line or handed over by a later start: the
    // window comes to the front and adds them as "Add Video Files" does,
    // after the deferred initialisation. Refused with the page guard's
    // message while a conversion runs.
    void OpenFiles(const std::vector<std::string>& files);
    // The instance socket's handler for handed-over paths: checks them
    // (CheckHandedOverPaths) and answers at once; the adding follows.
    PathsAnswer TakeHandedOverFiles(const std::vector<std::string>& paths);

    // The guarded close: refused while converting; otherwise saves the
    // settings and ends the modal run.
    void OnClose();

    bool FirstRun() const { return firstRun_; }
    QTabWidget* tab() const { return tab_; }
    CAddFilePage* videoFilesPage() const { return videoFilesPage_; }
    CConvertPage* convertPage() const { return convertPage_; }
    unsigned closeMessage() const { return closeMessage_; }

    // Seams for the later parts of the deferred initialisation.
    std::function<void()> startUpdateCheck;  // the automatic update check
    std::function<void()> runFirstRunDialog; // choosing the temporary folder (CAutoDetectDiskDlg)
    // Runs the update offer modally (tests drive it instead).
    std::function<void(CUpdateDlg&)> runUpdateDialog;

    // True once the deferred initialisation has started the update check.
    bool UpdateCheckStarted() const { return updateChannel_ != nullptr; }
    // True while an update offer waits for the running conversion to end.
    bool UpdateOfferPending() const { return updatePending_; }

    // Runs the AC3Filter preset step of the deferred initialisation.
    static void ApplyAc3FilterPreset();

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

public slots:
    // Enter and Escape must not end the dialog.
    void accept() override {}
    void reject() override {}

private:
    void CreatePages();
    void OnTabChanged(int index);
    // The guard of the page switch: the message that refuses tab t, or an
    // empty text when t may be shown.
    QString PageRefusal(int t) const;
    void OnConvert();
    void OnSearch();
    void OnDeferredInit();
    void OnActivateInstance();
    void OnOpenFiles();
    // The guard of every way of adding files: false, after its message,
    // while a conversion runs.
    bool AddingAllowed();
    void OnUpdateAvailable();

    SingleInstance* instance_;
    QTabWidget* tab_ = nullptr;
    CAddFilePage* videoFilesPage_ = nullptr;
    CConvertPage* convertPage_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* convertButton_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    CLinkStatic* link_ = nullptr;
    QIcon icon_;
    bool firstRun_ = false;
    bool switching_ = false;
    unsigned closeMessage_ = 0;
    std::shared_ptr<UpdateCheckChannel> updateChannel_;
    bool updatePending_ = false;
    std::vector<std::string> pendingFiles_;  // waiting for OnOpenFiles
    bool refusedWhileConverting_ = false;    // a hand-over was refused: say so
    bool openingFiles_ = false;
    bool deferredInitDone_ = false;
};

// The window's icon (resource 133), drawn once.
QIcon AppIcon();

}  // namespace kalvex

#include "app/CVideoConverterDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdlib>

#include "app/CAutoDetectDiskDlg.h"
#include "app/CLinkStatic.h"
#include "app/InstanceRequests.h"
#include "app/CUpdateDlg.h"
#include "app/core/UpdateCheck.h"
#include "common/ui/HintOnce.h"
#include "convert/page/CConvertPage.h"
#include "media/page/CodecPackOffer.h"
#include "media/page/CAddFilePage.h"
#include "media/page/CCodecMissDlg.h"
#include "media/page/CSearchSubtitleDlg.h"
#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "platform/ac3filter/ac3filter.h"
#include "platform/instance/SingleInstance.h"
#include "platform/registry/RegistryStore.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"

namespace kalvex {

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(0, 0, 128));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(0, size * 0.2, size, size * 0.6), size * 0.25, size * 0.25);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(size * 0.3, size * 0.3, size * 0.4, size * 0.4));
        icon.addPixmap(pm);
    }
    return icon;
}

CVideoConverterDlg::CVideoConverterDlg(SingleInstance* instance, QWidget* parent)
    : QDialog(parent), instance_(instance) {
    setObjectName(res::ObjectName(res::IDD_MAIN));
    // Framework initialisation: the dialog's controls.
    resize(960, 560);
    tab_ = new QTabWidget(this);
    tab_->setObjectName(res::ObjectName(res::IDC_TAB));
    tab_->setGeometry(10, 45, 940, 445);
    addButton_ = new QPushButton("&Add Video Files", this);
    addButton_->setObjectName(res::ObjectName(res::IDC_ADD_FILES));
    addButton_->setGeometry(10, 8, 150, 30);
    convertButton_ = new QPushButton(this);
    convertButton_->setObjectName(res::ObjectName(res::IDC_CONVERT_TO_PSP));
    convertButton_->setGeometry(170, 8, 150, 30);
    searchButton_ = new QPushButton("Search Subtitles", this);
    searchButton_->setObjectName(res::ObjectName(res::IDC_SEARCH_SUBTITLES));
    searchButton_->setGeometry(330, 8, 150, 30);
    for (QPushButton* b : {addButton_, convertButton_, searchButton_}) b->setAutoDefault(false);
    connect(addButton_, &QPushButton::clicked, this, [this] {
        if (videoFilesPage_) videoFilesPage_->AddFiles();
    });
    connect(convertButton_, &QPushButton::clicked, this, &CVideoConverterDlg::OnConvert);
    connect(searchButton_, &QPushButton::clicked, this, &CVideoConverterDlg::OnSearch);
    closeMessage_ = RegisterWindowMessage(kCloseMessageName);
    runFirstRunDialog = [this] {
        CAutoDetectDiskDlg dlg(this);
        dlg.OnInitDialog(ListDiskChoices());
        dlg.exec();
        if (convertPage_) convertPage_->SetDestPath(dlg.Folder().toStdString());
    };
    startUpdateCheck = [this] {
        updateChannel_ = std::make_shared<UpdateCheckChannel>(this, WM_UPDATE_AVAILABLE);
        StartUpdateCheckThread(updateChannel_);
    };
    runUpdateDialog = [](CUpdateDlg& dlg) { dlg.exec(); };
}

CVideoConverterDlg::~CVideoConverterDlg() {
    // The update check thread is never waited for; it must not post here any more.
    if (updateChannel_) updateChannel_->Detach();
    SetCodecPackOffer(nullptr);
    if (MessageBoxOwner() == this) SetMessageBoxOwner(nullptr);
}

void CVideoConverterDlg::OnInitDialog() {
    icon_ = AppIcon();
    setWindowIcon(icon_);
    SetSettingsPath(AppDataFolder() + "set.ini");
    setWindowTitle(kTitle);
    firstRun_ = LoadSettings();
    CreatePages();
    SetMessageBoxOwner(this);
    // A source that cannot be opened for want of a decoder offers the codec pack.
    SetCodecPackOffer([this] {
        CCodecMissDlg dlg(this);
        dlg.exec();
    });
    link_ = new CLinkStatic(this);
    link_->move(15, 500);
    PostMessage(this, WM_DEFERRED_INIT, 0, 0);
    // Published only now: a later start that came before this point finds
    // nobody listening and simply ends (one with files tries again for a
    // while, so they are not lost).
    if (instance_) {
        instance_->Publish(
            AcceptedInstanceRequests(), [this](unsigned msg) { PostMessage(this, msg, 0, 0); },
            LogRejectedInstanceRequest,
            [this](unsigned, const std::vector<std::string>& paths) { return TakeHandedOverFiles(paths); });
    }
    // The window has no menu bar; it is 20 pixels less tall than its template.
    QRect g = geometry();
    resize(g.width(), g.height() - 20);
    convertButton_->setText("Convert To PSP !");
}

void CVideoConverterDlg::CreatePages() {
    tab_->blockSignals(true);
    videoFilesPage_ = new CAddFilePage;
    convertPage_ = new CConvertPage;
    tab_->addTab(videoFilesPage_, "Video Files");
    tab_->addTab(convertPage_, "Convert");
    tab_->blockSignals(false);
    convertPage_->refreshTitle = [this] { RefreshTitle(); };
    convertPage_->setTitle = [this](const QString& title) { setWindowTitle(title); };
    convertPage_->showVideoFilesPage = [this] { ShowVideoFilesPage(); };
    videoFilesPage_->SetAddGuard([this] { return AddingAllowed(); });
    connect(tab_, &QTabWidget::currentChanged, this, &CVideoConverterDlg::OnTabChanged);
    // The guards answer before the tab changes, so a refused page never
    // shows behind their message.
    tab_->tabBar()->installEventFilter(this);
    tab_->installEventFilter(this);
    tab_->setCurrentIndex(0);
    OnTabChanged(0);
}

bool CVideoConverterDlg::IsConverting() const { return convertPage_ && convertPage_->IsConverting(); }

int CVideoConverterDlg::VideoFileCount() const { return videoFilesPage_ ? videoFilesPage_->Count() : 0; }

QString CVideoConverterDlg::PageRefusal(int t) const {
    if (t == 1 && VideoFileCount() == 0) return "Please add Video Files first.";
    if (IsConverting() && t != 1) return "Can't view other page while converting.";
    return {};
}

bool CVideoConverterDlg::eventFilter(QObject* watched, QEvent* e) {
    if (!tab_ || (watched != tab_ && watched != tab_->tabBar())) return QDialog::eventFilter(watched, e);
    int target = -1;
    const int current = tab_->currentIndex();
    switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (watched == tab_->tabBar() && static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton)
                target = tab_->tabBar()->tabAt(static_cast<QMouseEvent*>(e)->position().toPoint());
            break;
        case QEvent::KeyPress: {
            auto* k = static_cast<QKeyEvent*>(e);
            const bool ctrl = k->modifiers() & Qt::ControlModifier;
            const bool barKey = watched == tab_->tabBar() &&
                                (k->key() == Qt::Key_Left || k->key() == Qt::Key_Right || k->key() == Qt::Key_Up ||
                                 k->key() == Qt::Key_Down || k->key() == Qt::Key_Home || k->key() == Qt::Key_End);
            const bool tabKey = ctrl && (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab ||
                                         k->key() == Qt::Key_PageUp || k->key() == Qt::Key_PageDown);
            if (barKey || tabKey) target = current == 0 ? 1 : 0;  // two pages: any move is to the other
            break;
        }
        case QEvent::Wheel:
            if (watched == tab_->tabBar()) target = current == 0 ? 1 : 0;
            break;
        default: break;
    }
    if (target >= 0 && target != current) {
        const QString refusal = PageRefusal(target);
        if (!refusal.isEmpty()) {
            if (e->type() != QEvent::Wheel) MessageBox(refusal);
            return true;  // the tab stays where it is
        }
    }
    return QDialog::eventFilter(watched, e);
}

void CVideoConverterDlg::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    // The tabs take the window's room below the buttons and above the link.
    if (tab_) tab_->setGeometry(10, 45, std::max(width() - 20, 100), std::max(height() - 45 - 50, 100));
    if (link_) link_->move(15, std::max(height() - 40, 60));
}

void CVideoConverterDlg::OnTabChanged(int t) {
    if (switching_) return;
    if (t == 1 && VideoFileCount() == 0) {
        MessageBox("Please add Video Files first.");
        switching_ = true;
        tab_->setCurrentIndex(0);
        switching_ = false;
        return;
    }
    if (IsConverting() && t != 1) {
        MessageBox("Can't view other page while converting.");
        switching_ = true;
        tab_->setCurrentIndex(1);
        switching_ = false;
        return;
    }
    bool files = t == 0;
    for (QPushButton* b : {addButton_, convertButton_, searchButton_}) b->setVisible(files);
    // The Convert page stops the preview and gets the current list.
    if (t == 1 && videoFilesPage_) videoFilesPage_->StopPreview();
    if (t == 1 && convertPage_ && videoFilesPage_) convertPage_->SetFileList(videoFilesPage_->Entries(), videoFilesPage_->TrackChoices());
}

void CVideoConverterDlg::ShowVideoFilesPage() {
    tab_->setCurrentIndex(0);
    OnTabChanged(0);
}

void CVideoConverterDlg::RefreshTitle() {
    setWindowTitle(kTitle);
    // The end of a run: an update offer held back meanwhile comes now, once
    // the run's closing messages and the copy to the PSP are over too.
    if (updatePending_ && !IsConverting() && !(convertPage_ && convertPage_->IsWindingUp())) {
        updatePending_ = false;
        PostMessage(this, WM_UPDATE_AVAILABLE, 0, 0);
    }
}

void CVideoConverterDlg::OnConvert() {
    if (VideoFileCount() == 0) {
        MessageBox("Please add Video Files first.");
        return;
    }
    for (int i = 0; i < videoFilesPage_->Count(); ++i) {
        const VideoFileEntry& e = videoFilesPage_->Entry(i);
        // An embedded subtitle track chosen is a subtitle as a linked file is.
        if (!HasSubtitle(e, videoFilesPage_->TrackChoiceOf(i)))
            ShowHintOnce("NoSubtitleLink", QString("No subtitle linked to %1").arg(QString::fromLocal8Bit(FieldText(e.fileName).c_str())));
    }
    if (tab_->currentIndex() == 1)
        OnTabChanged(1);
    else
        tab_->setCurrentIndex(1);
    if (tab_->currentIndex() != 1) return;
    // A run still winding up keeps its controls; nothing new starts.
    if (!convertPage_->IsConverting()) convertPage_->StartConvert();
}

void CVideoConverterDlg::OnSearch() {
    if (VideoFileCount() == 0) {
        MessageBox("Please add Video Files first.");
        return;
    }
    CSearchSubtitleDlg::Run(videoFilesPage_->Entries(), this);
}

void CVideoConverterDlg::OnClose() {
    if (IsConverting()) {
        MessageBox("Program is converting, please stop convert first.");
        return;
    }
    SaveSettingsOnExit();
    QDialog::done(0);
}

void CVideoConverterDlg::closeEvent(QCloseEvent* e) {
    e->ignore();
    OnClose();
}

void CVideoConverterDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CVideoConverterDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // For the start-up benchmark: end as soon as the window is on screen.
    if (std::getenv("KALVEX_BENCH_EXIT_ON_SHOW"))
        QTimer::singleShot(0, this, [] { std::_Exit(0); });
}

bool CVideoConverterDlg::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QDialog::event(e);
}

LRESULT CVideoConverterDlg::HandleMessage(unsigned msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_DEFERRED_INIT: OnDeferredInit(); return 0;
        case WM_ACTIVATE_INSTANCE: OnActivateInstance(); return 0;
        case WM_OPEN_FILES: OnOpenFiles(); return 0;
        case WM_UPDATE_AVAILABLE: OnUpdateAvailable(); return 0;
        default:
            if (msg == closeMessage_) OnClose();
            return 0;
    }
}

void CVideoConverterDlg::OnActivateInstance() {
    if (isMinimized()) showNormal();
    raise();
    activateWindow();
    // Topmost and at once not topmost again: above every window, without
    // staying there. Changed on the native window, since changing the
    // widget's flags would hide the dialog and end its modal run.
    if (QWindow* w = windowHandle()) {
        Qt::WindowFlags f = w->flags();
        w->setFlags(f | Qt::WindowStaysOnTopHint);
        w->setFlags(f);
        w->requestActivate();
    }
}

bool CVideoConverterDlg::AddingAllowed() {
    // Files are added on the Video Files page, which a running conversion
    // does not let the window show.
    const QString refusal = IsConverting() ? PageRefusal(0) : QString();
    if (refusal.isEmpty()) return true;
    MessageBox(refusal);
    return false;
}

void CVideoConverterDlg::OpenFiles(const std::vector<std::string>& files) {
    if (files.empty()) return;
    pendingFiles_.insert(pendingFiles_.end(), files.begin(), files.end());
    PostMessage(this, WM_OPEN_FILES, 0, 0);
}

PathsAnswer CVideoConverterDlg::TakeHandedOverFiles(const std::vector<std::string>& paths) {
    PathsAnswer answer;
    const PathsToAdd checked = CheckHandedOverPaths(paths);
    if (checked.files.empty()) {
        answer.refusal = "none of the paths names an existing file";
        return answer;
    }
    if (IsConverting()) {
        // Told to the user at the front window, as adding is refused there.
        LogLine("Instance socket: %d handed-over files refused while converting", int(checked.files.size()));
        refusedWhileConverting_ = true;
        PostMessage(this, WM_OPEN_FILES, 0, 0);
        answer.refusal = PageRefusal(0);
        return answer;
    }
    OpenFiles(checked.files);
    answer.accepted = true;
    answer.taken = int(checked.files.size());
    return answer;
}

void CVideoConverterDlg::OnOpenFiles() {
    // Files named at the start wait for the deferred initialisation (the
    // first-run dialog comes first); a run already adding takes new ones
    // in its loop below.
    if (!deferredInitDone_ || openingFiles_) return;
    if (pendingFiles_.empty() && !refusedWhileConverting_) return;
    OnActivateInstance();
    if (refusedWhileConverting_) {
        refusedWhileConverting_ = false;
        MessageBox(PageRefusal(0));
    }
    if (pendingFiles_.empty()) return;
    if (!AddingAllowed()) {
        pendingFiles_.clear();
        return;
    }
    openingFiles_ = true;
    if (tab_->currentIndex() != 0) ShowVideoFilesPage();
    while (!pendingFiles_.empty()) {
        const std::vector<std::string> files = std::move(pendingFiles_);
        pendingFiles_.clear();
        videoFilesPage_->AddPaths(files);
    }
    openingFiles_ = false;
}

void CVideoConverterDlg::OnUpdateAvailable() {
    if (!updateChannel_) return;
    // Ending the window in the middle of a conversion would cut the file
    // being written, and during the copy to the PSP it would cut the copy: the
    // offer waits until the run and its copy have ended.
    if (IsConverting() || (convertPage_ && convertPage_->IsWindingUp())) {
        updatePending_ = true;
        return;
    }
    const UpdateInfo info = updateChannel_->Data();
    CUpdateDlg dlg(info.newestVersion, this);
    if (runUpdateDialog) runUpdateDialog(dlg);
    if (dlg.Downloaded()) {
        if (VerifyInstallerChecksum(dlg.file, info.secondLine)) {
            // Ends the modal run at once, without the close guards and the
            // exit save; the package installer takes over.
            QDialog::done(0);
            if (!ShellOpen(QString::fromLocal8Bit(dlg.file.c_str())))
                LogLine("Update: could not open the installer %s", dlg.file.c_str());
            return;
        }
        MessageBox("Md5 checksum wrong, update failed.");
    } else if (dlg.NotVerified()) {
        MessageBox(kNotVerifiedText);
    } else if (!dlg.Cancelled()) {
        MessageBox("Download update file failed.");
    }
}

void CVideoConverterDlg::ApplyAc3FilterPreset() {
    // The preset file is imported until its key exists; three imports at most,
    // so a preset file that never creates the key cannot loop forever.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (RegistryKey::Open(RegRoot::CurrentUser, "Software\\Harnick\\AC3Filter\\preset\\Default", false, true)) {
            SetMaskValue(5);
            return;
        }
        QString importer = QString::fromStdString(CompanionFolder("kalvex-regedit") + "kalvex-regedit");
        QString preset = QString::fromStdString(CompanionFolder("ac3filter.reg") + "ac3filter.reg");
        if (!RunProgramAndWait(importer, {"/s", preset}, 20000)) return;
    }
}

void CVideoConverterDlg::OnDeferredInit() {
    if (AppSettings.autoUpdate && startUpdateCheck) startUpdateCheck();
    ApplyAc3FilterPreset();
    if (firstRun_ && runFirstRunDialog) runFirstRunDialog();
    deferredInitDone_ = true;
    if (!pendingFiles_.empty() || refusedWhileConverting_) PostMessage(this, WM_OPEN_FILES, 0, 0);
}

}  // namespace kalvex

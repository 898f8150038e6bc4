#include "convert/psp/PspDialogs.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>

#include "resources/resource.h"

namespace kalvex {

namespace {

std::mutex g_hookMutex;
std::function<int(QDialog&)> g_hook;

QLabel* MakeText(QDialog* dialog, const QString& text) {
    auto* label = new QLabel(text, dialog);
    label->setObjectName(res::ObjectName(res::IDC_PSP_TEXT));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(320);
    return label;
}

QPushButton* MakeButton(QDialog* dialog, int id, const QString& text) {
    auto* button = new QPushButton(text, dialog);
    button->setObjectName(res::ObjectName(id));
    return button;
}

// Lays out the text above a right-aligned row of buttons; the first button
// is the default one.
void Arrange(QDialog* dialog, QWidget* body, std::initializer_list<QPushButton*> buttons,
             QWidget* extra = nullptr) {
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(body);
    if (extra) layout->addWidget(extra);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* b : buttons) row->addWidget(b);
    layout->addLayout(row);
    if (buttons.size()) (*buttons.begin())->setDefault(true);
}

// The OK/Cancel pair of a question dialog.
void AddOkCancel(QDialog* dialog, QLabel* text, const QString& okText, QPushButton* extra = nullptr) {
    QPushButton* ok = MakeButton(dialog, IDOK, okText);
    QPushButton* cancel = MakeButton(dialog, IDCANCEL, "Cancel");
    QObject::connect(ok, &QPushButton::clicked, dialog, [dialog] { dialog->done(IDOK); });
    QObject::connect(cancel, &QPushButton::clicked, dialog, [dialog] { dialog->done(IDCANCEL); });
    if (extra)
        Arrange(dialog, text, {ok, cancel, extra});
    else
        Arrange(dialog, text, {ok, cancel});
}

}  // namespace

int RunPspDialog(QDialog& dialog) {
    std::function<int(QDialog&)> hook;
    {
        std::lock_guard lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) {
        const int answer = hook(dialog);
        if (answer >= 0) return answer;
    }
    return dialog.exec();
}

void SetPspDialogHook(std::function<int(QDialog&)> hook) {
    std::lock_guard lock(g_hookMutex);
    g_hook = std::move(hook);
}

// ---- "No PSP detected" ----

CNoPspDetectedDlg::CNoPspDetectedDlg(QWidget* parent) : QDialog(parent ? parent : MessageBoxOwner()) {
    setObjectName(res::ObjectName(res::IDD_NO_PSP_DETECTED));
    setWindowTitle("No PSP detected");
    text_ = MakeText(this, "Please connect PSP to your computer through USB port.");
    AddOkCancel(this, text_, "OK");
}

QString CNoPspDetectedDlg::Text() const { return text_->text(); }

// ---- "File Exists" ----

CPspFileExistsDlg::CPspFileExistsDlg(const QString& clashList, QWidget* parent)
    : QDialog(parent ? parent : MessageBoxOwner()) {
    setObjectName(res::ObjectName(res::IDD_PSP_FILE_EXISTS));
    setWindowTitle("File Exists");
    text_ = MakeText(this, clashList);
    text_->setTextFormat(Qt::PlainText);
    AddOkCancel(this, text_, "Overwrite");
}

QString CPspFileExistsDlg::Text() const { return text_->text(); }

// ---- "Not enough free space on PSP" ----

CPspFreeSpaceDlg::CPspFreeSpaceDlg(const QString& shortageLine, const QString& pspFolder, QWidget* parent)
    : QDialog(parent ? parent : MessageBoxOwner()), folder_(pspFolder) {
    setObjectName(res::ObjectName(res::IDD_PSP_FREE_SPACE));
    setWindowTitle("Not enough free space on PSP");
    text_ = MakeText(this, shortageLine);
    QPushButton* open = MakeButton(this, res::IDC_PSP_OPEN_DRIVE, "Open PSP drive");
    connect(open, &QPushButton::clicked, this, &CPspFreeSpaceDlg::OpenPspDrive);
    AddOkCancel(this, text_, "Try again", open);
}

QString CPspFreeSpaceDlg::Text() const { return text_->text(); }

void CPspFreeSpaceDlg::OpenPspDrive() {
    // The VIDEO folder is made only when the copy starts; until then the
    // drive itself is what can be opened.
    QString target = folder_;
    if (!QFileInfo(target).isDir()) {
        QDir parent(target);
        if (parent.cdUp()) target = parent.path() + "/";
    }
    ShellOpen(target);
}

// ---- "Copying to PSP" ----

CPspCopyingDlg::CPspCopyingDlg(std::vector<std::string> sources, std::vector<std::string> targets, QWidget* parent)
    : QDialog(parent ? parent : MessageBoxOwner()), sources_(std::move(sources)), targets_(std::move(targets)) {
    setObjectName(res::ObjectName(res::IDD_PSP_COPYING));
    setWindowTitle("Copying to PSP");
    text_ = MakeText(this, "Copying %s");
    progress_ = new QProgressBar(this);
    progress_->setObjectName(res::ObjectName(res::IDC_PSP_COPY_PROGRESS));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    cancel_button_ = MakeButton(this, IDCANCEL, "Cancel");
    connect(cancel_button_, &QPushButton::clicked, this, &CPspCopyingDlg::reject);
    Arrange(this, text_, {cancel_button_}, progress_);
    if (targets_.size() != sources_.size()) targets_.resize(sources_.size());
}

CPspCopyingDlg::~CPspCopyingDlg() {
    // The job reports through posted events only, so waiting for it here
    // cannot dead-lock; what it still posts dies with the dialog.
    job_.Cancel();
    job_.Wait();
}

QString CPspCopyingDlg::Text() const { return text_->text(); }

void CPspCopyingDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (started_) return;
    started_ = true;
    progress_->setRange(0, 100);
    job_.Start(sources_, targets_, this);
    // A cancel that came before the dialog was shown stops the copy at once.
    if (cancelled_) job_.Cancel();
}

void CPspCopyingDlg::reject() {
    cancelled_ = true;
    job_.Cancel();
}

bool CPspCopyingDlg::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QDialog::event(e);
}

void CPspCopyingDlg::OnProgress(const PspCopyProgress& progress) {
    QMetaObject::invokeMethod(this, [this, progress] { Show(progress); }, Qt::QueuedConnection);
}

void CPspCopyingDlg::OnFinished(const PspCopySummary& summary) {
    // Queued behind the last progress, and the failures before the message
    // that ends the dialog.
    QMetaObject::invokeMethod(this, [this, failures = summary.failures] { failures_ = failures; },
                              Qt::QueuedConnection);
    PostMessage(this, WM_COPY_FINISHED, summary.Succeeded() ? 0 : 1);
}

void CPspCopyingDlg::Show(const PspCopyProgress& progress) {
    if (progress.fileIndex != shownFile_) {
        // A new file: the bar starts again under its name.
        shownFile_ = progress.fileIndex;
        progress_->setValue(0);
        text_->setText(QString("Copying %1").arg(QString::fromLocal8Bit(progress.fileName.c_str())));
    }
    progress_->setValue(progress.percent);
}

LRESULT CPspCopyingDlg::HandleMessage(unsigned msg, WPARAM wParam, LPARAM) {
    if (msg != WM_COPY_FINISHED) return 0;
    job_.Wait();  // it has nothing left to do
    // A cancel that came after the job's last check still counts: the user
    // was told nothing about success and may have unplugged the PSP.
    done(wParam == 0 && !cancelled_ ? IDOK : 0);
    return 0;
}

// ---- the search with its question ----

bool FindPspVideoFolder(PspLocation& location, PspDetectResult* why) {
    PspDetection found = DetectPsp();
    while (found.result == PspDetectResult::NoPsp) {
        CNoPspDetectedDlg dlg;
        if (RunPspDialog(dlg) != IDOK) {
            if (why) *why = PspDetectResult::NoPsp;
            return false;
        }
        found = DetectPsp();
    }
    if (why) *why = found.result;
    if (found.result != PspDetectResult::Found) return false;
    location = found.location;
    return true;
}

bool FindPspVideoFolder(std::string& folder) {
    PspLocation location;
    if (!FindPspVideoFolder(location)) return false;
    folder = location.videoFolder;
    return true;
}

}  // namespace kalvex

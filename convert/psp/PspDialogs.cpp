#include "convert/psp/PspDialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

#include "common/ProgramLog.h"
#include "platform/storage/Storage.h"
#include "platform/system/CrashSignal.h"
#include "platform/system/SystemError.h"
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
    if (targets_.size() < sources_.size()) targets_.resize(sources_.size());
}

CPspCopyingDlg::~CPspCopyingDlg() {
    // The worker may still be inside a copy when the dialog goes away
    // without having been waited for: stop it and wait, since it reaches
    // the dialog's members. Messages it still posts die with the dialog.
    cancel_ = 1;
    if (worker_.joinable()) {
        // Its calls into this (blocking) dialog would wait for the event
        // loop; run them here until the worker has left.
        while (worker_.joinable()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            if (finished_) worker_.join();
        }
    }
}

QString CPspCopyingDlg::Text() const { return text_->text(); }

void CPspCopyingDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (started_) return;
    started_ = true;
    progress_->setRange(0, 100);
    worker_ = std::thread(&CPspCopyingDlg::Worker, this);
}

void CPspCopyingDlg::reject() { cancel_ = 1; }

bool CPspCopyingDlg::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QDialog::event(e);
}

LRESULT CPspCopyingDlg::HandleMessage(unsigned msg, WPARAM wParam, LPARAM) {
    if (msg != WM_COPY_FINISHED) return 0;
    if (worker_.joinable()) worker_.join();  // it has nothing left to do
    // A cancel that came after the worker's last check still counts: the
    // user was told nothing about success and may have unplugged the PSP.
    done(wParam == 0 && !cancel_ ? IDOK : 0);
    return 0;
}

void CPspCopyingDlg::SetBar(int percent) {
    QMetaObject::invokeMethod(progress_, [this, percent] { progress_->setValue(percent); },
                              Qt::BlockingQueuedConnection);
}

void CPspCopyingDlg::SetText(const QString& text) {
    QMetaObject::invokeMethod(text_, [this, text] { text_->setText(text); }, Qt::BlockingQueuedConnection);
}

void CPspCopyingDlg::Worker() {
    InstallThreadCrashStack();
    bool error = false;
    auto fail = [&](const std::string& source, const std::string& target, int code) {
        LogTimestamp();
        LogLine("Copy %s to %s failed.", source.c_str(), target.c_str());
        LOG_SYSTEM_ERROR(code);
        failures_.push_back({source, std::strerror(code)});
        error = true;
    };
    for (size_t i = 0; i < sources_.size() && !cancel_; ++i) {
        const std::string& source = sources_[i];
        const std::string& target = targets_[i];
        SetBar(0);
        const size_t slash = source.rfind('/');
        const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
        SetText(QString("Copying %1").arg(QString::fromLocal8Bit(name.c_str())));
        // A file of the list that is gone or unreadable fails alone: the
        // others still go to the PSP.
        struct stat info {};
        if (::stat(source.c_str(), &info) != 0 || ::access(source.c_str(), R_OK) != 0) {
            fail(source, target, errno);
            continue;
        }
        int shown = 0;
        const bool copied = storage::CopyFileWithProgress(
            source, target,
            [&](int64_t done, int64_t total) {
                // An empty file is complete as soon as it exists.
                const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
                if (percent != shown) SetBar(shown = percent);
            },
            &cancel_);
        if (!copied) {
            const int code = GetLastError();
            if (code == ECANCELED) {
                LogTimestamp();
                LogLine("Copy %s to %s cancelled.", source.c_str(), target.c_str());
            } else {
                fail(source, target, code);
            }
            error = true;
            break;
        }
    }
    if (cancel_) error = true;  // whatever was copied, the user stopped the copy
    finished_ = true;
    PostMessage(this, WM_COPY_FINISHED, error ? 1 : 0);
}

}  // namespace kalvex

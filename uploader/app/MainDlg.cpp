#include "uploader/app/MainDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <mutex>

#include "platform/shell/Shell.h"
#include "platform/system/CrashSignal.h"
#include "uploader/app/DravelIds.h"
#include "uploader/app/EmailDlg.h"

namespace kalvex::dravel {

namespace {
std::mutex g_askerMutex;
CMainDlg::EmailAsker g_asker;

QString AskWithDialog(QWidget* owner) {
    CEmailDlg dlg(owner);
    dlg.exec();
    return dlg.Email();
}
}  // namespace

void CMainDlg::SetEmailAsker(EmailAsker asker) {
    std::lock_guard lock(g_askerMutex);
    g_asker = std::move(asker);
}

CMainDlg::CMainDlg(const std::string& argument, const std::string& url, QWidget* parent)
    : QDialog(parent), argument_(argument), url_(url), mode_(ModeFor(argument)) {
    setObjectName(IDD_MAIN);
    setWindowTitle("Ombrasil - Uploading Log Files");
    text_ = new QLabel(
        "Uploading log file to the developer of Ombrasil, it will not upload any of your personal "
        "information, thank you very much !",
        this);
    text_->setObjectName(IDC_INFO_TEXT);
    text_->setWordWrap(true);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(IDC_PROGRESS);
    restart_ = new QCheckBox(this);
    restart_->setObjectName(IDC_RESTART);
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName(IDOK_BUTTON);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(restart_);
    bottom->addStretch();
    bottom->addWidget(ok_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(progress_);
    layout->addLayout(bottom);
    resize(420, 140);

    connect(ok_, &QPushButton::clicked, this, &CMainDlg::OnOK);
}

CMainDlg::~CMainDlg() {
    // The thread posts to this window: it must be gone before the window is.
    if (worker_.joinable()) worker_.join();
}

void CMainDlg::SetTimeouts(uint32_t connectMs, uint32_t idleMs) {
    connectTimeoutMs_ = connectMs;
    idleTimeoutMs_ = idleMs;
}

void CMainDlg::OnInitDialog() {
    QIcon icon = style()->standardIcon(QStyle::SP_MessageBoxInformation);
    setWindowIcon(icon);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    ok_->setEnabled(false);
    restart_->setChecked(true);
    restart_->setText(QString("Restart %1").arg(kAppCaption));
    if (mode_ == Mode::BurnDvdFail) {
        // After a failed disc burn the window only sends the log: there is
        // nothing to confirm and no converter to restart.
        ok_->hide();
        restart_->hide();
    }
    // An empty argument starts no upload: the window only waits to be closed.
    if (mode_ == Mode::Idle || mode_ == Mode::StartConverter) return;

    std::string email = ReadEmail();
    if (email.empty()) {
        EmailAsker asker;
        {
            std::lock_guard lock(g_askerMutex);
            asker = g_asker;
        }
        QWidget* owner = QApplication::activeWindow() ? QApplication::activeWindow() : this;
        QString answer = asker ? asker(owner) : AskWithDialog(owner);
        email = answer.toStdString();
        StoreEmail(email);
    }

    UploadJob job{url_, argument_, email, connectTimeoutMs_, idleTimeoutMs_};
    worker_ = std::thread([job, this] {
        InstallThreadCrashStack();
        RunUpload(job, this);
    });
}

bool CMainDlg::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QDialog::event(e);
}

LRESULT CMainDlg::HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_UPLOAD_PROGRESS:
            if (lParam != 0)
                progress_->setValue(ProgressPercent(wParam, static_cast<uint64_t>(lParam)));
            return 0;
        case WM_UPLOAD_DONE: OnUploadDone(); return 0;
        default: return 0;
    }
}

void CMainDlg::OnUploadDone() {
    if (worker_.joinable()) worker_.join();
    completed_ = true;
    if (mode_ == Mode::UserUpload || mode_ == Mode::BurnDvdFail) {
        End();
        return;
    }
    ok_->setEnabled(true);
    text_->setText("Upload completed, Click OK to close.");
    setWindowTitle("Upload completed.");
}

void CMainDlg::OnOK() {
    if (restart_->isChecked()) StartConverter();
    End();
}

void CMainDlg::End() {
    if (ended_) return;
    ended_ = true;
    hide();
    emit Ended();
}

// Before the upload has ended the window stays; a window that has nothing
// to wait for (empty argument, or an upload already completed) closes
// without restarting anything.
bool CMainDlg::Closable() const { return mode_ == Mode::Idle || completed_; }

void CMainDlg::reject() {
    if (Closable()) End();
}

void CMainDlg::closeEvent(QCloseEvent* e) {
    e->ignore();
    if (Closable()) End();
}

}  // namespace kalvex::dravel

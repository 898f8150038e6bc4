#include "app/CUpdateDlg.h"

#include <QCloseEvent>
#include <algorithm>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/core/UpdateCheck.h"
#include "common/ProgramLog.h"
#include "resources/resource.h"

namespace kalvex {

CUpdateDlg::CUpdateDlg(const std::string& newestVersion, QWidget* parent)
    : QDialog(parent), url(InstallerUrl()), file(InstallerFilePath()), limits(InstallerDownloadLimits()) {
    setObjectName(res::ObjectName(res::IDD_UPDATE));
    setWindowTitle("Auto Update");
    text_ = new QLabel(this);
    text_->setObjectName(res::ObjectName(res::IDC_UPDATE_TEXT));
    text_->setWordWrap(true);
    text_->setMinimumWidth(360);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(res::ObjectName(res::IDC_UPDATE_PROGRESS));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    updateNow_ = new QPushButton("Update Now", this);
    updateNow_->setObjectName(res::ObjectName(res::IDC_UPDATE_NOW));
    later_ = new QPushButton("Later", this);
    later_->setObjectName(res::ObjectName(res::IDC_UPDATE_LATER));
    for (QPushButton* b : {updateNow_, later_}) b->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(updateNow_);
    buttons->addWidget(later_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(progress_);
    layout->addLayout(buttons);
    connect(updateNow_, &QPushButton::clicked, this, &CUpdateDlg::OnUpdateNow);
    connect(later_, &QPushButton::clicked, this, &CUpdateDlg::OnLater);

    callback_ = std::make_shared<CDownloadCallback>(this);
    text_->setText(QString("Find a new version available(v%1), download and update now ?")
                       .arg(QString::fromLocal8Bit(newestVersion.c_str())));
}

CUpdateDlg::~CUpdateDlg() {
    // The download thread is never waited for; it must not post here any more.
    callback_->Detach();
}

void CUpdateDlg::OnUpdateNow() {
    if (downloading_) return;
    updateNow_->setEnabled(false);
    later_->setText("Cancel");
    downloading_ = true;
    LogLine("Update: downloading %s", url.c_str());
    StartDownloadThread(callback_, url, file, limits, DownloadPublicKey(), [](const SignedDownloadResult& r) {
        if (r.end != DownloadEnd::Verified) LogLongLine("Update: %s", r.reason.c_str());
    });
}

void CUpdateDlg::OnLater() {
    cancelled_ = true;
    callback_->Cancel();
    // While a download runs, its next progress report stops it and the
    // dialog closes when it reports back.
    if (!downloading_) QDialog::done(0);
}

void CUpdateDlg::OnProgress(uint32_t bytes, uint32_t total) {
    if (total != 0) progress_->setValue(int(std::min<uint64_t>(uint64_t(bytes) * 100 / total, 100)));
    text_->setText(QString::asprintf("downloading ... %u/%u", bytes, total));
    text_->repaint();
}

void CUpdateDlg::OnDone(bool succeeded, bool notVerified) {
    downloading_ = false;
    if (callback_->Cancelled()) {
        cancelled_ = true;
        QDialog::done(0);
        return;
    }
    notVerified_ = !succeeded && notVerified;
    text_->setText(succeeded ? "Download completed." : notVerified_ ? kNotVerifiedText : "Download failed.");
    downloaded_ = succeeded;
    QDialog::done(0);
}

LRESULT CUpdateDlg::HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_DOWNLOAD_PROGRESS: OnProgress(uint32_t(wParam), uint32_t(lParam)); return 0;
        case WM_DOWNLOAD_DONE: OnDone(wParam == 1, lParam == kDownloadNotVerified); return 0;
        default: return 0;
    }
}

bool CUpdateDlg::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QDialog::event(e);
}

void CUpdateDlg::closeEvent(QCloseEvent* e) { e->ignore(); }

void CUpdateDlg::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

}  // namespace kalvex

#include "media/page/CCodecMissDlg.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "common/ProgramLog.h"
#include "common/ui/Dialogs.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"

namespace kalvex {

std::string CodecPackUrl() { return ProductServer() + "/download/klmcodec425.exe"; }
std::string CodecPackFilePath() { return AppDataFolder() + "klmcodec425.exe"; }

DownloadLimits& CodecPackDownloadLimits() {
    static DownloadLimits limits{30000, 30000, 30 * 60 * 1000, kCodecPackMaxBytes, 10};
    return limits;
}

CCodecMissDlg::CCodecMissDlg(QWidget* parent)
    : QDialog(parent), url(CodecPackUrl()), file(CodecPackFilePath()), limits(CodecPackDownloadLimits()) {
    setObjectName(res::ObjectName(res::IDD_CODEC_MISS));
    text_ = new QLabel(this);
    text_->setObjectName(res::ObjectName(res::IDC_CODEC_TEXT));
    text_->setWordWrap(true);
    text_->setMinimumWidth(380);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(res::ObjectName(res::IDC_CODEC_PROGRESS));
    progress_->setRange(0, 100);
    progress_->setValue(0);
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName(res::ObjectName(IDOK));
    cancel_ = new QPushButton("Cancel", this);
    cancel_->setObjectName(res::ObjectName(IDCANCEL));
    for (QPushButton* b : {ok_, cancel_}) b->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(progress_);
    layout->addLayout(buttons);
    connect(ok_, &QPushButton::clicked, this, &CCodecMissDlg::OnOK);
    connect(cancel_, &QPushButton::clicked, this, &CCodecMissDlg::OnCancel);

    SetTitleAndText("Add video failed",
                    "Codec missing, would you like Ombrasil download and install a recommended codec pack for you ?");
    progress_->hide();
}

CCodecMissDlg::~CCodecMissDlg() {
    // The download thread is never waited for; it must not post here any more.
    if (callback_) callback_->Detach();
}

void CCodecMissDlg::SetTitleAndText(const QString& title, const QString& text) {
    setWindowTitle(title);
    text_->setText(text);
}

void CCodecMissDlg::OnOK() {
    switch (state_) {
        case kAsking: {
            SetTitleAndText("Downloading ...", "Downloading ...");
            if (callback_) callback_->Detach();  // a failed earlier try is over
            callback_ = std::make_shared<CDownloadCallback>(this);
            ok_->setEnabled(false);
            progress_->setValue(0);
            progress_->show();
            state_ = kDownloading;
            LogLine("Codec pack: downloading %s", url.c_str());
            StartDownloadThread(callback_, url, file, limits, DownloadPublicKey(), [](const SignedDownloadResult& r) {
                if (r.end != DownloadEnd::Verified) LogLongLine("Codec pack: %s", r.reason.c_str());
            });
            return;
        }
        case kDownloaded:
            // The installer runs on its own; the program does not wait for it.
            if (!ShellOpen(QString::fromLocal8Bit(file.c_str())))
                LogLine("Codec pack: could not open the installer %s", file.c_str());
            QDialog::done(IDOK);
            return;
        case kDownloading: return;  // "OK" is disabled meanwhile
    }
}

void CCodecMissDlg::OnCancel() {
    switch (state_) {
        case kAsking: QDialog::done(IDCANCEL); return;
        case kDownloading:
            // The dialog closes when the download reports back.
            if (callback_) callback_->Cancel();
            cancel_->setEnabled(false);
            return;
        case kDownloaded: return;  // only "OK" (install) closes it now
    }
}

void CCodecMissDlg::OnProgress(uint32_t bytes, uint32_t total) {
    if (state_ != kDownloading) return;
    if (total != 0) progress_->setValue(int(std::min<uint64_t>(uint64_t(bytes) * 100 / total, 100)));
    text_->setText(QString::asprintf("downloading ... %u/%u", bytes, total));
}

void CCodecMissDlg::OnDone(bool succeeded, bool notVerified) {
    if (state_ != kDownloading) return;
    if (succeeded) {
        state_ = kDownloaded;
        SetTitleAndText("Download complete", "Download complete, Click OK to install it now...");
    } else if (callback_ && callback_->Cancelled()) {
        QDialog::done(IDCANCEL);
        return;
    } else {
        state_ = kAsking;
        SetTitleAndText("Download not complete",
                        notVerified ? kNotVerifiedText : "Download not complete, Click OK to retry...");
    }
    ok_->setEnabled(true);
    cancel_->setEnabled(true);
    progress_->hide();
}

LRESULT CCodecMissDlg::HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_DOWNLOAD_PROGRESS: OnProgress(uint32_t(wParam), uint32_t(lParam)); return 0;
        case WM_DOWNLOAD_DONE: OnDone(wParam == 1, lParam == kDownloadNotVerified); return 0;
        default: return 0;
    }
}

bool CCodecMissDlg::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QDialog::event(e);
}

void CCodecMissDlg::closeEvent(QCloseEvent* e) {
    // The close box acts as "Cancel"; the dialog ends only through done().
    e->ignore();
    OnCancel();
}

}  // namespace kalvex

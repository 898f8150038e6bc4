#pragma once
#include <QDialog>
#include <memory>
#include <string>

#include "platform/download/DownloadCallback.h"
#include "platform/messages/Messages.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kalvex {

// ProductServer() + "/download/klmcodec425.exe" and AppDataFolder() +
// "klmcodec425.exe": the codec pack installer and where it is kept.
std::string CodecPackUrl();
std::string CodecPackFilePath();
// Bounds of the codec pack download (no byte for 30 s ends it, and so do
// 30 minutes in all or more than 100 MiB); process-wide and changeable, so
// tests can shorten them.
constexpr uint64_t kCodecPackMaxBytes = 100ull * 1024 * 1024;
DownloadLimits& CodecPackDownloadLimits();

// The codec pack offer (dialog 155), shown when a source cannot be opened
// and the K-Lite Mega codec pack is not installed: it downloads the pack's
// installer with a progress display, lets the user retry a failed download
// and starts the installer.
class CCodecMissDlg : public QDialog, public IMessageTarget {
    Q_OBJECT
public:
    enum State { kAsking = 0, kDownloading = 1, kDownloaded = 2 };

    explicit CCodecMissDlg(QWidget* parent = nullptr);
    ~CCodecMissDlg() override;

    // Where the installer comes from and where it goes; CodecPackUrl(),
    // CodecPackFilePath() and CodecPackDownloadLimits() unless changed. The
    // installer is kept only when its signature (url + ".sig") verifies with
    // the key built into the program (DownloadPublicKey).
    std::string url;
    std::string file;
    DownloadLimits limits;

    State state() const { return state_; }
    QLabel* textLabel() const { return text_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

public slots:
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void OnOK();
    void OnCancel();
    void OnProgress(uint32_t bytes, uint32_t total);
    void OnDone(bool succeeded, bool notVerified);
    void SetTitleAndText(const QString& title, const QString& text);

    QLabel* text_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    std::shared_ptr<CDownloadCallback> callback_;
    State state_ = kAsking;
};

}  // namespace kalvex

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

// "Auto Update" (dialog 141): offers the newest version, downloads its
// installer with a progress display and reports how the download ended.
// It ends only when the download has finished or was cancelled, or when the
// user chooses "Later" before any download; Enter, Escape and the close box
// do nothing.
class CUpdateDlg : public QDialog, public IMessageTarget {
    Q_OBJECT
public:
    explicit CUpdateDlg(const std::string& newestVersion, QWidget* parent = nullptr);
    ~CUpdateDlg() override;

    // Where the installer comes from and where it goes; InstallerUrl(),
    // InstallerFilePath() and InstallerDownloadLimits() unless changed. The
    // installer is kept only when its signature (url + ".sig") verifies with
    // the key built into the program (DownloadPublicKey).
    std::string url;
    std::string file;
    DownloadLimits limits;

    bool Downloaded() const { return downloaded_; }
    bool Cancelled() const { return cancelled_; }
    bool Downloading() const { return downloading_; }
    // The installer arrived but its signature did not verify; it was deleted.
    bool NotVerified() const { return notVerified_; }

    QLabel* textLabel() const { return text_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* updateNowButton() const { return updateNow_; }
    QPushButton* laterButton() const { return later_; }

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

public slots:
    void accept() override {}
    void reject() override {}

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void OnUpdateNow();
    void OnLater();
    void OnProgress(uint32_t bytes, uint32_t total);
    void OnDone(bool succeeded, bool notVerified);

    QLabel* text_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* updateNow_ = nullptr;
    QPushButton* later_ = nullptr;
    std::shared_ptr<CDownloadCallback> callback_;
    bool downloading_ = false;
    bool downloaded_ = false;
    bool cancelled_ = false;
    bool notVerified_ = false;
};

}  // namespace kalvex

#pragma once
#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/messages/Messages.h"
#include "uploader/app/DravelCore.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace kalvex::dravel {

// The uploader's main window: shows the upload's progress, then either ends
// by itself or reports completion and waits for OK, which can restart the
// converter.
class CMainDlg : public QDialog, public IMessageTarget {
    Q_OBJECT
public:
    // argument: the first command-line argument. url: the form's target.
    CMainDlg(const std::string& argument, const std::string& url, QWidget* parent = nullptr);
    ~CMainDlg() override;

    // The opening steps: progress range, OK, restart box, the e-mail
    // question when no address is stored, and the upload thread.
    void OnInitDialog();

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

    Mode mode() const { return mode_; }
    bool completed() const { return completed_; }

    // Seam: how the e-mail address is asked (default: CEmailDlg, modal).
    using EmailAsker = std::function<QString(QWidget* owner)>;
    static void SetEmailAsker(EmailAsker asker);
    // Time-outs of the upload (default 30 s each).
    void SetTimeouts(uint32_t connectMs, uint32_t idleMs);

    void reject() override;

signals:
    // The program ends: the window has been taken down.
    void Ended();

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void OnUploadDone();
    void OnOK();
    void End();
    bool Closable() const;

    std::string argument_;
    std::string url_;
    Mode mode_;
    QLabel* text_;
    QProgressBar* progress_;
    QPushButton* ok_;
    QCheckBox* restart_;
    std::thread worker_;
    bool completed_ = false;
    bool ended_ = false;
    uint32_t connectTimeoutMs_ = 30000;
    uint32_t idleTimeoutMs_ = 30000;
};

}  // namespace kalvex::dravel

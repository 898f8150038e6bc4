#pragma once
// The dialogs of the copy to the PSP. Each is thin: the search and copy
// logic lives in PspDetect and PspCopy, which run the dialogs through
// RunPspDialog so tests can answer them.
#include <QDialog>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages/Messages.h"
#include "common/ui/Dialogs.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kalvex {

// Runs a PSP dialog modally and returns its result (IDOK = 1, IDCANCEL = 2
// for the question dialogs; 1 or 0 for "Copying to PSP").
int RunPspDialog(QDialog& dialog);
// Seam for tests: called with each PSP dialog before it runs; a result of 0
// or more is taken as the dialog's answer without running it, -1 runs it.
// A null function restores the normal run.
void SetPspDialogHook(std::function<int(QDialog&)> hook);

// "No PSP detected": OK retries the search.
class CNoPspDetectedDlg : public QDialog {
    Q_OBJECT
public:
    explicit CNoPspDetectedDlg(QWidget* parent = nullptr);
    QString Text() const;

private:
    QLabel* text_;
};

// "File Exists": the clash list; "Overwrite" (OK) or "Cancel".
class CPspFileExistsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CPspFileExistsDlg(const QString& clashList, QWidget* parent = nullptr);
    QString Text() const;

private:
    QLabel* text_;
};

// "Not enough free space on PSP": the shortage line; "Try again" (OK),
// "Cancel", and "Open PSP drive", which opens the PSP folder in the shell
// and leaves the dialog open.
class CPspFreeSpaceDlg : public QDialog {
    Q_OBJECT
public:
    CPspFreeSpaceDlg(const QString& shortageLine, const QString& pspFolder, QWidget* parent = nullptr);
    QString Text() const;
    QString PspFolder() const { return folder_; }

private:
    void OpenPspDrive();
    QLabel* text_;
    QString folder_;
};

// A file of the list that did not reach the PSP, and why.
struct PspCopyFailure {
    std::string source;
    std::string reason;  // the system's error text
};

// "Copying to PSP": copies sources[i] to targets[i] in order on a worker
// thread, started when the dialog is shown, with "Copying %s" and a
// progress bar per file. Cancel only raises the cancel flag; the dialog
// ends when the worker reports: 1 (OK) only when every file was copied
// completely (written, flushed, size checked) and Cancel was not pressed,
// 0 otherwise (files copied before stay; a partly written target is
// removed). A source that cannot be read fails on its own and the copy
// goes on with the next file; any other failure or a cancel stops it.
class CPspCopyingDlg : public QDialog, public IMessageTarget {
    Q_OBJECT
public:
    // Posted by the worker at its end; wParam 1 when a copy failed.
    static constexpr unsigned WM_COPY_FINISHED = WM_USER + 100;

    CPspCopyingDlg(std::vector<std::string> sources, std::vector<std::string> targets,
                   QWidget* parent = nullptr);
    ~CPspCopyingDlg() override;

    QString Text() const;
    QProgressBar* Progress() const { return progress_; }
    QPushButton* CancelButton() const { return cancel_button_; }
    bool CancelRequested() const { return cancel_.load() != 0; }
    // The files that failed, in list order; complete once the dialog ended.
    const std::vector<PspCopyFailure>& Failures() const { return failures_; }

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

public slots:
    // Cancel (also Escape and closing the window): sets the cancel flag.
    void reject() override;

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void Worker();
    void SetBar(int percent);
    void SetText(const QString& text);

    std::vector<std::string> sources_, targets_;
    std::vector<PspCopyFailure> failures_;  // written by the worker only, read after it ended
    std::atomic<int> cancel_{0};
    std::atomic<bool> finished_{false};
    std::thread worker_;
    bool started_ = false;
    QLabel* text_;
    QProgressBar* progress_;
    QPushButton* cancel_button_;
};

}  // namespace kalvex

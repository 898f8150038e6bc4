#pragma once
// The dialogs of the copy to the PSP. Each is thin: the search, the plan
// and the copy live in PspDetect and PspCopyJob; PspCopy runs the dialogs
// through RunPspDialog so tests can answer them.
#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "convert/psp/PspCopyJob.h"
#include "convert/psp/PspDetect.h"
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

// Searches the PSP, asking with "No PSP detected" until one is found or the
// user cancels (false), then maps it to its mount point (false, without a
// message, when none). On success folder is the mount point + "VIDEO/".
// *why (when given) tells a PSP that is not mounted (NoVolume) from a
// cancelled search (NoPsp).
bool FindPspVideoFolder(std::string& folder);
bool FindPspVideoFolder(PspLocation& location, PspDetectResult* why = nullptr);

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

// "Copying to PSP": runs the copy job over sources[i] -> targets[i] when the
// dialog is shown and renders its progress ("Copying %s" and a bar per
// file). Cancel only asks the job to stop; the dialog ends when the job
// reports its end: 1 (OK) only when every file was copied and checked and
// Cancel was not pressed, 0 otherwise.
class CPspCopyingDlg : public QDialog, public IMessageTarget, private PspCopyObserver {
    Q_OBJECT
public:
    // Posted when the job has ended; wParam 1 when the copy did not succeed.
    static constexpr unsigned WM_COPY_FINISHED = WM_USER + 100;

    CPspCopyingDlg(std::vector<std::string> sources, std::vector<std::string> targets,
                   QWidget* parent = nullptr);
    // Stops a copy still running and waits for the job, which never waits
    // for this dialog.
    ~CPspCopyingDlg() override;

    QString Text() const;
    QProgressBar* Progress() const { return progress_; }
    QPushButton* CancelButton() const { return cancel_button_; }
    bool CancelRequested() const { return cancelled_; }
    // The files that failed, in list order; complete once the dialog ended.
    const std::vector<PspCopyFailure>& Failures() const { return failures_; }

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;

public slots:
    // Cancel (also Escape and closing the window): asks the job to stop.
    void reject() override;

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    // Called on the job's thread; they hand the data to this dialog's thread.
    void OnProgress(const PspCopyProgress& progress) override;
    void OnFinished(const PspCopySummary& summary) override;
    void Show(const PspCopyProgress& progress);

    std::vector<std::string> sources_, targets_;
    std::vector<PspCopyFailure> failures_;
    PspCopyJob job_;
    bool started_ = false;
    bool cancelled_ = false;
    int shownFile_ = -1;  // the file the text names
    QLabel* text_;
    QProgressBar* progress_;
    QPushButton* cancel_button_;
};

}  // namespace kalvex

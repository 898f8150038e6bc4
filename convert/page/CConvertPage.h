#pragma once
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "convert/ConvertJob.h"
#include "convert/RunPolicy.h"
#include "convert/psp/PspDetect.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace kalvex {

// The "Convert" page: destination folder, the segments to convert, start /
// pause / stop of the conversion job, the free-space watch and the wind-up.
// The job reports on its worker thread; the page's observer hands each
// report to the window thread, where the page turns it into its texts.
class CConvertPage : public QWidget {
    Q_OBJECT
public:
    explicit CConvertPage(QWidget* parent = nullptr);
    ~CConvertPage() override;

    // The main window's operations the page calls.
    std::function<void()> refreshTitle;
    std::function<void(const QString&)> setTitle;  // "%d%% - Converting" during a run
    std::function<void()> showVideoFilesPage;
    // The PSP copy of the converted files (true when every one was copied),
    // into the folders older system software reads when that box is
    // checked; replaceable for tests.
    std::function<bool(const std::vector<std::string>&)> copyOutputsToPsp;
    // Finds the PSP before a run fitted to its free space (asking while none
    // is connected); false when the user gave up or it is not mounted, with
    // *why telling which. Replaceable for tests.
    std::function<bool(PspLocation&, PspDetectResult*)> findPsp;
    // Opens the PSP settings dialog; replaceable for tests.
    std::function<void()> openSettings;

    // choices[i] is the track choice of entries[i].
    void SetFileList(const std::vector<VideoFileEntry>& entries, const std::vector<TrackChoice>& choices = {});
    void StartConvert();
    void StopConvert();  // without asking (also for another window)
    // The free-space watch, run at each progress report of a run: shows the
    // destination's free space and pauses the run when it runs short.
    void Tick();
    bool IsConverting() const { return converting_ != 0; }
    bool IsPaused() const { return paused_; }
    // True from the end of a run until its closing messages and the copy to
    // the PSP (with its dialogs) are over.
    bool IsWindingUp() const { return windingUp_; }
    const std::vector<VideoFileEntry>& Segments() const { return segments_; }
    std::string DestPath() const { return settings_.destPath; }
    // Sets the destination (first-run dialog), saves and reloads the keys.
    void SetDestPath(const std::string& path);

    ConvertJob& Job() { return job_; }

    // Controls, for tests.
    QLineEdit* destEdit() const { return dest_; }
    QListWidget* segmentList() const { return list_; }
    QPushButton* startButton() const { return start_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* browseButton() const { return browse_; }
    QPushButton* settingButton() const { return setting_; }
    QCheckBox* copyBox() const { return copy_; }
    QCheckBox* deleteBox() const { return delete_; }
    QCheckBox* lowCpuBox() const { return lowCpu_; }
    QCheckBox* oldPspFoldersBox() const { return oldPsp_; }
    QCheckBox* fitToPspBox() const { return fit_; }
    // The video bit rate of the last run started (kbit/s): the setting, or
    // the rate chosen to fit the PSP.
    int RunVideoBitrate() const { return runVideoBitrate_; }
    QLabel* extraText() const { return extra_; }
    // The codec of the last run's files (where older PSP software finds them).
    PspCodec RunCodec() const { return runCodec_; }
    QLabel* freeSpaceText() const { return free_; }
    QLabel* statusText() const { return status_; }
    QProgressBar* frameBar() const { return frameBar_; }
    QProgressBar* filesBar() const { return filesBar_; }

protected:
    void showEvent(QShowEvent* e) override;

private:
    void BuildControls();
    void LoadControls();  // the four Convert keys into the controls
    void TakeControlValues();
    // Before a run fitted to the PSP: finds it and chooses the video bit
    // rate into settings; false (with the box that says why) when the run
    // must not start.
    bool FitToPsp(ConvertSettings& settings);
    // Shows the destination's free space; false (text kept) when unknown.
    bool ShowFreeSpace(int64_t* freeBytes = nullptr);
    void SaveSettings();
    void ResetControls();
    void Pause();
    void Resume();
    void OnStopButton();
    void OnPauseButton();
    void OnBrowse();
    void OnOpenDirectory();
    class Observer;
    void OnProgress(const ConvertProgress& progress);
    void OnFileDone(const FileResult& result);
    void OnFinished(const RunSummary& summary);

    ConvertPageSettings settings_;
    std::vector<VideoFileEntry> segments_;
    std::vector<TrackChoice> segmentTracks_;  // beside segments_
    std::unique_ptr<Observer> observer_;
    ConvertJob job_;  // after the observer: destroyed (and its thread ended) first
    int converting_ = 0;
    bool userStopped_ = false;
    bool paused_ = false;
    bool windingUp_ = false;
    bool spaceCheckDone_ = false;
    bool loading_ = false;

    QLineEdit* dest_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* openDir_ = nullptr;
    QLabel* free_ = nullptr;
    QListWidget* list_ = nullptr;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* setting_ = nullptr;
    // "Generate DVD Files", "Adv Opt" and the drop-down list belong to the
    // DVD side of the program; the page keeps them, always hidden.
    QPushButton* dvd_ = nullptr;
    QPushButton* advOpt_ = nullptr;
    QComboBox* dvdList_ = nullptr;
    QCheckBox* copy_ = nullptr;
    QCheckBox* delete_ = nullptr;
    QCheckBox* lowCpu_ = nullptr;
    QCheckBox* oldPsp_ = nullptr;
    QCheckBox* fit_ = nullptr;
    int runVideoBitrate_ = 0;
    PspCodec runCodec_ = PspCodec::Mpeg4;
    QProgressBar* frameBar_ = nullptr;
    QProgressBar* filesBar_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* elapsed_ = nullptr;
    QLabel* estimate_ = nullptr;
    QLabel* filesText_ = nullptr;
    QLabel* extra_ = nullptr;
};

}  // namespace kalvex

#pragma once
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "convert/ConvertJob.h"
#include "media/VideoFileEntry.h"
#include "platform/messages/Messages.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace kalvex {

constexpr unsigned WM_STOP_CONVERT = WM_USER + 101;  // stop the run without asking

// The Convert page's settings (section Convert of set.ini), saved together.
struct ConvertPageSettings {
    std::string destPath;
    int copyToPsp = 1;
    int lowCpu = 0;
    int deleteAfterCopied = 0;
    static std::string DefaultDestPath();  // home folder + "dvd-vob/"
    static ConvertPageSettings Load();
    void Save() const;
};

// The length check at Start: the total whole seconds of the segments and the
// average bit rate a DVD would allow for them. Refused when the rate falls
// below 2000 kbit/s (with the defaults, more than 15,980 s in all).
struct LengthCheck {
    int64_t seconds = 0;
    int rate = 0;
    bool refused = false;
};
LengthCheck CheckTotalLength(const std::vector<VideoFileEntry>& segments, int maximalRate);

// Puts the whole process (every thread) at idle or normal priority. A return
// to normal that the system refuses is logged.
void ApplyLowPriority(bool low);

// Removes the outputs of a cancelled run: method 1 deletes each file for
// good, stopping at the first failure with its message; any other method
// moves them to the trash, ending at the first failure.
void RemoveCancelledOutputs(int removeMethod);

// The "Convert" page: destination folder, the segments to convert, start /
// pause / stop of the conversion job, the free-space watch and the wind-up.
class CConvertPage : public QWidget, public IMessageTarget {
    Q_OBJECT
public:
    explicit CConvertPage(QWidget* parent = nullptr);
    ~CConvertPage() override;

    // The main window's operations the page calls.
    std::function<void()> refreshTitle;
    std::function<void()> showVideoFilesPage;
    // The PSP copy of the outputs (true when copied); replaceable for tests.
    std::function<bool()> copyOutputsToPsp;
    // Opens the PSP settings dialog; replaceable for tests.
    std::function<void()> openSettings;

    void SetFileList(const std::vector<VideoFileEntry>& entries);
    void StartConvert();
    void StopConvert();  // without asking
    bool IsConverting() const { return converting_ != 0; }
    bool IsPaused() const { return paused_; }
    const std::vector<VideoFileEntry>& Segments() const { return segments_; }
    std::string DestPath() const { return settings_.destPath; }
    // Sets the destination (first-run dialog), saves and reloads the keys.
    void SetDestPath(const std::string& path);

    LRESULT HandleMessage(unsigned msg, WPARAM wParam, LPARAM lParam) override;
    // Posts WM_CONVERT_FINISHED with a result to this page.
    virtual void PostFinished(int result);

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
    QLabel* freeSpaceText() const { return free_; }
    QLabel* statusText() const { return status_; }
    QProgressBar* frameBar() const { return frameBar_; }
    QProgressBar* filesBar() const { return filesBar_; }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void BuildControls();
    void LoadControls();  // the four Convert keys into the controls
    void TakeControlValues();
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
    void OnTick();
    void OnFinished(int result);

    ConvertPageSettings settings_;
    std::vector<VideoFileEntry> segments_;
    ConvertJob job_;
    int converting_ = 0;
    bool userStopped_ = false;
    bool paused_ = false;
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
    QPushButton* dvd_ = nullptr;
    QPushButton* advOpt_ = nullptr;
    QComboBox* dvdList_ = nullptr;
    QCheckBox* copy_ = nullptr;
    QCheckBox* delete_ = nullptr;
    QCheckBox* lowCpu_ = nullptr;
    QProgressBar* frameBar_ = nullptr;
    QProgressBar* filesBar_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* elapsed_ = nullptr;
    QLabel* estimate_ = nullptr;
    QLabel* filesText_ = nullptr;
    QLabel* extra_ = nullptr;
};

}  // namespace kalvex

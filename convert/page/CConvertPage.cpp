#include "convert/page/CConvertPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "convert/page/ProgressTexts.h"
#include "media/page/CodecPackOffer.h"
#include "convert/PspOutputList.h"
#include "convert/psp/FormatSize.h"
#include "convert/psp/PspCopy.h"
#include "convert/psp/PspDialogs.h"
#include "convert/psp/PspFit.h"
#include "convert/psp/PspNames.h"
#include "convert/settings/CPspSettingDlg.h"
#include "media/TimeText.h"
#include "platform/profile/PrivateProfile.h"
#include "common/ui/Dialogs.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"

namespace kalvex {

// ---- the observer ---------------------------------------------------------

// Hands the job's reports, made on its worker thread, to the window thread
// as copies; reports for a page that is gone are dropped.
class CConvertPage::Observer : public ConvertObserver {
public:
    explicit Observer(CConvertPage* page) : page_(page) {}
    void OnProgress(const ConvertProgress& p) override {
        QMetaObject::invokeMethod(page_, [page = page_, p] { page->OnProgress(p); }, Qt::QueuedConnection);
    }
    void OnFileDone(const FileResult& r) override {
        QMetaObject::invokeMethod(page_, [page = page_, r] { page->OnFileDone(r); }, Qt::QueuedConnection);
    }
    void OnFinished(const RunSummary& s) override {
        QMetaObject::invokeMethod(page_, [page = page_, s] { page->OnFinished(s); }, Qt::QueuedConnection);
    }

private:
    CConvertPage* page_;
};

// ---- the page -------------------------------------------------------------

CConvertPage::CConvertPage(QWidget* parent) : QWidget(parent), observer_(std::make_unique<Observer>(this)) {
    setObjectName("convertPage");
    BuildControls();
    LoadControls();
    frameBar_->setRange(0, 100);
    filesBar_->setRange(0, 100);
    ResetControls();
    dvdList_->hide();  // the disc list is never shown (see BuildControls)
    copy_->setText("After completed, Copy to PSP.");
    delete_->setText("After copied, delete converted file.");
    // The copy box is checked at every start, whatever was saved.
    copy_->setChecked(true);
    settings_.copyToPsp = 1;
    SaveSettings();
    copyOutputsToPsp = [this](const std::vector<std::string>& files) {
        PspCopyOptions options;
        options.oldFolders = oldPsp_->isChecked();
        options.codec = runCodec_;
        return CopyFilesToPsp(files, nullptr, options);
    };
    findPsp = [](PspLocation& psp, PspDetectResult* why) { return FindPspVideoFolder(psp, why); };
    openSettings = [this] {
        CPspSettingDlg dlg(this);
        dlg.exec();
    };
}

CConvertPage::~CConvertPage() {
    // The run ends before the observer it reports to.
    job_.Stop();
    job_.Wait();
}

void CConvertPage::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    auto* destRow = new QHBoxLayout;
    dest_ = new QLineEdit(this);
    dest_->setObjectName("destPath");
    browse_ = new QPushButton("&Browse...", this);
    browse_->setObjectName("browse");
    openDir_ = new QPushButton("Open Directory", this);
    openDir_->setObjectName("openDirectory");
    destRow->addWidget(new QLabel("Destination:", this));
    destRow->addWidget(dest_, 1);
    destRow->addWidget(browse_);
    destRow->addWidget(openDir_);
    layout->addLayout(destRow);
    free_ = new QLabel(this);
    free_->setObjectName("freeSpace");
    layout->addWidget(free_);
    list_ = new QListWidget(this);
    list_->setObjectName("segments");
    layout->addWidget(list_, 1);

    auto* buttons = new QHBoxLayout;
    start_ = new QPushButton("&Start Convert", this);
    start_->setObjectName("start");
    stop_ = new QPushButton("S&top Convert", this);
    stop_->setObjectName("stop");
    pause_ = new QPushButton("&Pause", this);
    pause_->setObjectName("pause");
    setting_ = new QPushButton("Setting", this);
    setting_->setObjectName("setting");
    // The disc-making part of the program is not built: its two buttons and
    // its drop-down list exist because the page's layout has them, and are
    // kept hidden so none of them can be used.
    dvd_ = new QPushButton("Generate DVD Files", this);
    dvd_->setObjectName("generateDvd");
    advOpt_ = new QPushButton("Adv Opt", this);
    advOpt_->setObjectName("advOpt");
    dvdList_ = new QComboBox(this);
    dvdList_->setObjectName("dvdList");
    for (QPushButton* b : {start_, stop_, pause_, setting_, dvd_, advOpt_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addWidget(dvdList_);
    layout->addLayout(buttons);

    copy_ = new QCheckBox(this);
    copy_->setObjectName("copyToPsp");
    delete_ = new QCheckBox(this);
    delete_->setObjectName("deleteAfterCopied");
    lowCpu_ = new QCheckBox("C&onvert in low process priority", this);
    lowCpu_->setObjectName("lowCpu");
    layout->addWidget(copy_);
    layout->addWidget(delete_);
    layout->addWidget(lowCpu_);
    oldPsp_ = new QCheckBox("Copy for older PSP system software", this);
    oldPsp_->setObjectName("oldPspFolders");
    layout->addWidget(oldPsp_);
    fit_ = new QCheckBox("Fit the batch to the PSP's free space", this);
    fit_->setObjectName("fitToPsp");
    layout->addWidget(fit_);

    auto* progress = new QGridLayout;
    frameBar_ = new QProgressBar(this);
    frameBar_->setObjectName("frameBar");
    filesBar_ = new QProgressBar(this);
    filesBar_->setObjectName("filesBar");
    status_ = new QLabel(this);
    status_->setObjectName("statusText");
    elapsed_ = new QLabel(this);
    elapsed_->setObjectName("elapsedText");
    estimate_ = new QLabel(this);
    estimate_->setObjectName("estimateText");
    filesText_ = new QLabel(this);
    filesText_->setObjectName("filesText");
    extra_ = new QLabel(this);
    extra_->setObjectName("extraText");
    progress->addWidget(status_, 0, 0, 1, 2);
    progress->addWidget(frameBar_, 1, 0, 1, 2);
    progress->addWidget(elapsed_, 2, 0);
    progress->addWidget(estimate_, 2, 1);
    progress->addWidget(filesText_, 3, 0);
    progress->addWidget(extra_, 3, 1);
    progress->addWidget(filesBar_, 4, 0, 1, 2);
    layout->addLayout(progress);

    connect(start_, &QPushButton::clicked, this, &CConvertPage::StartConvert);
    connect(stop_, &QPushButton::clicked, this, &CConvertPage::OnStopButton);
    connect(pause_, &QPushButton::clicked, this, &CConvertPage::OnPauseButton);
    connect(browse_, &QPushButton::clicked, this, &CConvertPage::OnBrowse);
    connect(openDir_, &QPushButton::clicked, this, &CConvertPage::OnOpenDirectory);
    connect(setting_, &QPushButton::clicked, this, [this] {
        if (openSettings) openSettings();
    });
    connect(dest_, &QLineEdit::textEdited, this, [this](const QString& text) {
        settings_.destPath = text.toStdString();
        ShowFreeSpace();
        SaveSettings();
    });
    connect(copy_, &QCheckBox::toggled, this, [this](bool) { SaveSettings(); });
    connect(delete_, &QCheckBox::toggled, this, [this](bool) { SaveSettings(); });
    connect(oldPsp_, &QCheckBox::toggled, this, [this](bool) { SaveSettings(); });
    connect(fit_, &QCheckBox::toggled, this, [this](bool) { SaveSettings(); });
    // Taken by the next run: only its threads are lowered, so unchecking
    // gives the next run normal priority again.
    connect(lowCpu_, &QCheckBox::toggled, this, [this](bool) { SaveSettings(); });
}

void CConvertPage::TakeControlValues() {
    settings_.destPath = dest_->text().toStdString();
    settings_.copyToPsp = copy_->isChecked();
    settings_.lowCpu = lowCpu_->isChecked();
    settings_.deleteAfterCopied = delete_->isChecked();
    settings_.oldPspFolders = oldPsp_->isChecked();
    settings_.fitToPsp = fit_->isChecked();
}

void CConvertPage::SaveSettings() {
    if (loading_) return;
    TakeControlValues();
    settings_.Save();
}

void CConvertPage::SetDestPath(const std::string& path) {
    dest_->setText(QString::fromStdString(path));
    SaveSettings();
    LoadControls();
}

void CConvertPage::LoadControls() {
    loading_ = true;
    std::string refusal;
    settings_ = ConvertPageSettings::Load(&refusal);
    if (!refusal.empty()) MessageBox(QString::fromLocal8Bit(refusal.c_str()), "Error", MB_OK | MB_ICONWARNING);
    dest_->setText(QString::fromStdString(settings_.destPath));
    copy_->setChecked(settings_.copyToPsp != 0);
    lowCpu_->setChecked(settings_.lowCpu != 0);
    delete_->setChecked(settings_.deleteAfterCopied != 0);
    oldPsp_->setChecked(settings_.oldPspFolders != 0);
    fit_->setChecked(settings_.fitToPsp != 0);
    loading_ = false;
    ShowFreeSpace();
}

bool CConvertPage::ShowFreeSpace(int64_t* freeBytes) {
    int64_t bytes = 0;
    if (!storage::GetDiskFreeBytesNearest(dest_->text().toStdString(), bytes)) return false;
    free_->setText(QString("Disk Free Space = %1").arg(QString::fromStdString(FormatSize(bytes))));
    if (freeBytes) *freeBytes = bytes;
    return true;
}

void CConvertPage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // The disc buttons are hidden again at every show (see BuildControls).
    dvd_->hide();
    advOpt_->hide();
}

void CConvertPage::SetFileList(const std::vector<VideoFileEntry>& entries, const std::vector<TrackChoice>& choices) {
    if (converting_) return;
    std::vector<std::string> refused;
    segments_ = SegmentsToConvert(entries, &refused);
    segmentTracks_ = SegmentTrackChoices(entries, choices);
    for (size_t i = 0; i < refused.size(); ++i) MessageBox(kZeroLengthText);
    list_->clear();
    for (const auto& e : segments_) {
        list_->addItem(QString("[%1 - %2] %3")
                           .arg(QString::fromStdString(TimeText(e.startTime, AppSettings.timeFormat)),
                                QString::fromStdString(TimeText(e.endTime - e.startTime, AppSettings.timeFormat)),
                                QString::fromLocal8Bit(FieldText(e.fileName).c_str())));
    }
    start_->setEnabled(!segments_.empty());
    dvd_->hide();  // the disc buttons stay hidden (see BuildControls)
    advOpt_->hide();
}

void CConvertPage::StartConvert() {
    TakeControlValues();
    if (AppSettings.videoAutoDetect) {
        // The rate itself is for the DVD encoder; the PSP encoder uses its
        // own settings. The check keeps a list a DVD could not hold.
        LengthCheck check = CheckTotalLength(segments_, AppSettings.videoBitrateMaximal);
        if (check.refused) {
            MessageBox(kTooLongText);
            return;
        }
    }
    // The rate chosen for the PSP is for this run only: the setting stays.
    ConvertSettings runSettings = AppSettings.convert;
    if (fit_->isChecked() && !FitToPsp(runSettings)) return;
    std::string dest = settings_.destPath;
    std::string why;
    const bool made = PrepareDestination(dest, &why);
    if (dest != settings_.destPath) {
        settings_.destPath = dest;
        dest_->setText(QString::fromStdString(dest));
    }
    // A folder that cannot be made shows up as failed files and "Convert failed.".
    (void)made;

    userStopped_ = false;
    converting_ = 1;
    start_->setEnabled(false);
    browse_->setEnabled(false);
    setting_->setEnabled(false);
    dest_->setEnabled(false);
    stop_->setEnabled(true);
    pause_->setEnabled(true);
    filesBar_->setRange(0, int(segments_.size()));

    RunRequest request;
    request.files = segments_;
    request.tracks = segmentTracks_;
    request.destinationFolder = settings_.destPath;
    request.settings = runSettings;
    runCodec_ = request.settings.codec;
    runVideoBitrate_ = request.settings.videoBitrate;
    request.lowPriority = lowCpu_->isChecked();
    if (!job_.Start(std::move(request), observer_.get())) {
        // The thread of the previous run is still finishing its file.
        ResetControls();
    }
}

bool CConvertPage::FitToPsp(ConvertSettings& settings) {
    PspLocation psp;
    PspDetectResult why = PspDetectResult::NoPsp;
    if (!findPsp || !findPsp(psp, &why)) {
        // A search the user gave up says nothing more; a PSP that is not
        // mounted is said.
        if (why == PspDetectResult::NoVolume) MessageBox(kFitNotMountedText);
        return false;
    }
    const RunFit fit = FitRunToPsp(segments_, settings, psp.root);
    if (!fit.measured) {
        MessageBox(QString::fromLocal8Bit(("The free space of the PSP cannot be read: " + fit.reason).c_str()));
        return false;
    }
    if (!fit.result.fits) {
        MessageBox(QString::fromStdString(FitRefusalText(fit.result)));
        return false;
    }
    settings.videoBitrate = fit.result.videoBitrate;
    extra_->setText(QString::fromStdString(FitChosenText(fit.result)));
    return true;
}

void CConvertPage::OnStopButton() {
    int answer = MessageBox("Stop converting now?\nAfter stopped, the converting can't be resumed.", "Stop",
                            MB_OKCANCEL | MB_ICONINFORMATION);
    if (answer != IDOK) return;
    Resume();
    StopConvert();
}

void CConvertPage::StopConvert() {
    LogLine("[------------- User Stopped Convert -------------]");
    job_.Stop();
    userStopped_ = true;
}

void CConvertPage::Pause() {
    pause_->setText("Resume");
    paused_ = true;
    job_.Pause();
}

void CConvertPage::Resume() {
    pause_->setText("Pause");
    paused_ = false;
    job_.Resume();
}

void CConvertPage::OnPauseButton() {
    if (paused_)
        Resume();
    else
        Pause();
}

void CConvertPage::OnBrowse() {
    TakeControlValues();
    QString chosen = FolderDialog("Choose destination directory", QString::fromStdString(settings_.destPath));
    if (chosen.isEmpty()) return;
    if (!chosen.endsWith('/')) chosen += '/';
    settings_.destPath = chosen.toStdString();
    dest_->setText(chosen);
    ShowFreeSpace();
    SaveSettings();
}

void CConvertPage::OnOpenDirectory() { ShellOpen(dest_->text()); }

void CConvertPage::Tick() {
    int64_t bytes = 0;
    bool known = ShowFreeSpace(&bytes);
    if (AppSettings.remindNoSpace == 0 || spaceCheckDone_) return;
    // Without a readable amount there is nothing to compare: skip this tick.
    if (!known) return;
    spaceCheckDone_ = true;
    if (bytes < 0xA00000) {
        Pause();
        MessageBox(QString("Your disk has no enough space for converting, converting paused, free more space and "
                           "resume.\nFree space = %1\n")
                       .arg(QString::fromStdString(FormatSize(bytes))),
                   "No space", MB_OK | MB_ICONINFORMATION);
        spaceCheckDone_ = false;
    }
}

void CConvertPage::OnProgress(const ConvertProgress& p) {
    if (!converting_) return;
    filesBar_->setRange(0, p.fileCount);
    filesBar_->setValue(p.fileIndex + 1);
    frameBar_->setValue(p.Percent());
    filesText_->setText(QString::fromStdString(FilesText(p)));
    status_->setText(QString::fromLocal8Bit(StatusText(p).c_str()));
    elapsed_->setText(QString::fromStdString(ElapsedText(p)));
    estimate_->setText(QString::fromStdString(EstimateText(p)));
    if (setTitle) setTitle(QString::fromStdString(TitleText(p)));
    Tick();
}

void CConvertPage::OnFileDone(const FileResult& r) {
    // The failures the encoder has always shown in a box of their own; a
    // source that does not open offers the codec pack as examination does.
    const std::optional<FailureBox> box = FailureBoxFor(r);
    if (!box) return;
    if (box->codecPackOffer)
        ReportSourceOpenFailure(box->text);
    else
        MessageBox(QString::fromLocal8Bit(box->text.c_str()), QString::fromLocal8Bit(box->caption.c_str()),
                   MB_OK | MB_ICONWARNING);
}

void CConvertPage::OnFinished(const RunSummary& summary) {
    // The boxes and the copy below run the event loop; what waits for the
    // run's end (the update offer) waits for them too.
    windingUp_ = true;
    const WindUp w = WindUpRun(summary, userStopped_, AppSettings.removeMethod);
    switch (w.end) {
        case RunEnd::Cancelled:
            if (!w.removalFailure.empty()) MessageBox(QString::fromLocal8Bit(w.removalFailure.c_str()));
            MessageBox(QString::fromStdString(w.message));
            ResetControls();
            if (showVideoFilesPage) showVideoFilesPage();
            break;
        case RunEnd::Failed:
            MessageBox(QString::fromStdString(w.message));
            ResetControls();
            break;
        case RunEnd::Succeeded:
            ResetControls();
            if (!w.message.empty()) MessageBox(QString::fromLocal8Bit(w.message.c_str()));
            if (copy_->isChecked()) {
                const bool copied = copyOutputsToPsp && copyOutputsToPsp(w.toCopy);
                // Only files the copy reported on the PSP are deleted.
                if (copied && delete_->isChecked()) {
                    for (const auto& f : w.toCopy) {
                        storage::DeleteFile(f);
                        const std::string thumbnail = ThumbnailPath(f);
                        if (QFile::exists(QString::fromLocal8Bit(thumbnail.c_str()))) storage::DeleteFile(thumbnail);
                    }
                }
            }
            break;
    }
    ClearOutputs();
    windingUp_ = false;
    if (refreshTitle) refreshTitle();
}

void CConvertPage::ResetControls() {
    frameBar_->setValue(0);
    filesBar_->setValue(0);
    for (QLabel* l : {status_, elapsed_, estimate_, filesText_, extra_}) l->clear();
    userStopped_ = false;
    converting_ = 0;
    start_->setEnabled(!segments_.empty());
    setting_->setEnabled(true);
    browse_->setEnabled(true);
    dest_->setEnabled(true);
    stop_->setEnabled(false);
    pause_->setEnabled(false);
    paused_ = false;
    pause_->setText("&Pause");
    spaceCheckDone_ = false;
    if (refreshTitle) refreshTitle();
}

}  // namespace kalvex

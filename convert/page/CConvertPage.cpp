#include "convert/page/CConvertPage.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cerrno>

#include "common/AppSettings.h"
#include "common/ProgramLog.h"
#include "convert/EncodeToPsp.h"
#include "convert/PspOutputList.h"
#include "convert/psp/FormatSize.h"
#include "convert/psp/PspCopy.h"
#include "convert/settings/CPspSettingDlg.h"
#include "media/TimeText.h"
#include "platform/profile/PrivateProfile.h"
#include "platform/shell/Shell.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"

namespace kalvex {

// ---- settings -------------------------------------------------------------

std::string ConvertPageSettings::DefaultDestPath() { return HomeFolder() + "dvd-vob/"; }

ConvertPageSettings ConvertPageSettings::Load() {
    ConvertPageSettings s;
    const std::string& ini = SettingsPath();
    std::string refusal;
    s.destPath = ReadDestPath(DefaultDestPath(), &refusal);
    if (!refusal.empty()) MessageBox(QString::fromLocal8Bit(refusal.c_str()), "Error", MB_OK | MB_ICONWARNING);
    s.copyToPsp = GetPrivateProfileInt("Convert", "CopyToPsp", 1, ini);
    s.lowCpu = GetPrivateProfileInt("Convert", "LowCpu", 0, ini);
    s.deleteAfterCopied = GetPrivateProfileInt("Convert", "DeleteAfterCopied", 0, ini);
    return s;
}

void ConvertPageSettings::Save() const {
    const std::string& ini = SettingsPath();
    WritePrivateProfileString("Convert", "DestPath", destPath, ini);
    WritePrivateProfileInt("Convert", "CopyToPsp", copyToPsp, ini);
    WritePrivateProfileInt("Convert", "LowCpu", lowCpu, ini);
    WritePrivateProfileInt("Convert", "DeleteAfterCopied", deleteAfterCopied, ini);
}

// ---- plain helpers --------------------------------------------------------

LengthCheck CheckTotalLength(const std::vector<VideoFileEntry>& segments, int maximalRate) {
    LengthCheck c;
    int64_t total = 0;
    for (const auto& e : segments) total += e.endTime - e.startTime;
    c.seconds = total / 10000000;
    // No length at all leaves room for any rate: the maximum applies.
    double rate = c.seconds > 0 ? 4.7e6 / double(c.seconds) * 8 * 0.85 : double(maximalRate);
    c.rate = rate >= double(INT32_MAX) ? INT32_MAX : int(rate);
    LogLine("total movie len = %lld, calculate bitrate = %d.", static_cast<long long>(c.seconds), c.rate);
    if (c.rate > maximalRate) c.rate = maximalRate;
    c.refused = c.rate < 2000;
    return c;
}

void ApplyLowPriority(bool low) {
    // Niceness belongs to each thread here: set it for all of them, and
    // threads started later inherit it from their creator.
    int value = low ? 19 : 0;
    bool refused = false;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (setpriority(PRIO_PROCESS, static_cast<id_t>(atoi(e->d_name)), value) != 0) refused = true;
        }
        closedir(d);
    } else if (setpriority(PRIO_PROCESS, 0, value) != 0) {
        refused = true;
    }
    if (refused) {
        LogTimestamp();
        LogLine("Set process priority to %s failed.", low ? "idle" : "normal");
        LOG_SYSTEM_ERROR(errno);
    }
}

void RemoveCancelledOutputs(int removeMethod) {
    std::vector<std::string> existing;
    for (const auto& p : PspOutputList())
        if (QFile::exists(QString::fromStdString(p))) existing.push_back(p);
    if (removeMethod == 1) {
        for (const auto& p : existing) {
            if (!storage::DeleteFile(p)) {
                LogLine("Delete file failed %s.", p.c_str());
                MessageBox(QString("Delete file failed while trying to delete %1.").arg(QString::fromStdString(p)));
                return;
            }
        }
        return;
    }
    for (const auto& p : existing)
        if (!storage::MoveToTrash(p)) return;
}

// ---- the page -------------------------------------------------------------

CConvertPage::CConvertPage(QWidget* parent) : QWidget(parent) {
    setObjectName("convertPage");
    BuildControls();
    LoadControls();
    frameBar_->setRange(0, 100);
    filesBar_->setRange(0, 100);
    ResetControls();
    dvdList_->hide();
    copy_->setText("After completed, Copy to PSP.");
    delete_->setText("After copied, delete converted file.");
    job_.SetNotifyWindow(this);
    // The copy box is checked at every start, whatever was saved.
    copy_->setChecked(true);
    settings_.copyToPsp = 1;
    ApplyLowPriority(lowCpu_->isChecked());
    SaveSettings();
    copyOutputsToPsp = [] { return CopyOutputsToPsp(); };
    openSettings = [this] {
        CPspSettingDlg dlg(this);
        dlg.exec();
    };
}

CConvertPage::~CConvertPage() = default;

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
    connect(lowCpu_, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        ApplyLowPriority(on);
        SaveSettings();
    });
}

void CConvertPage::TakeControlValues() {
    settings_.destPath = dest_->text().toStdString();
    settings_.copyToPsp = copy_->isChecked();
    settings_.lowCpu = lowCpu_->isChecked();
    settings_.deleteAfterCopied = delete_->isChecked();
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
    settings_ = ConvertPageSettings::Load();
    dest_->setText(QString::fromStdString(settings_.destPath));
    copy_->setChecked(settings_.copyToPsp != 0);
    lowCpu_->setChecked(settings_.lowCpu != 0);
    delete_->setChecked(settings_.deleteAfterCopied != 0);
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
    dvd_->hide();
    advOpt_->hide();
}

void CConvertPage::SetFileList(const std::vector<VideoFileEntry>& entries) {
    if (converting_) return;
    segments_.clear();
    for (const auto& e : entries) {
        if (e.endTime > e.startTime)
            segments_.push_back(e);
        else
            MessageBox("Can't convert movie segment with length equal 0");
    }
    list_->clear();
    for (const auto& e : segments_) {
        list_->addItem(QString("[%1 - %2] %3")
                           .arg(QString::fromStdString(TimeText(e.startTime)),
                                QString::fromStdString(TimeText(e.endTime - e.startTime)),
                                QString::fromLocal8Bit(FieldText(e.fileName).c_str())));
    }
    start_->setEnabled(!segments_.empty());
    dvd_->hide();
    advOpt_->hide();
}

void CConvertPage::StartConvert() {
    TakeControlValues();
    // The rate is handed to the job for the DVD encoder; the PSP encoder
    // uses its own settings.
    int rate = AppSettings.videoBitrateConstant;
    if (AppSettings.videoAutoDetect) {
        LengthCheck check = CheckTotalLength(segments_, AppSettings.videoBitrateMaximal);
        if (check.refused) {
            MessageBox("You have selected too long movie, it can't be saved in one DVD disc");
            return;
        }
        rate = check.rate;
    }
    if (settings_.destPath.empty() || settings_.destPath.back() != '/') {
        settings_.destPath += '/';
        dest_->setText(QString::fromStdString(settings_.destPath));
    }
    // A folder that cannot be made shows up as failed files and "Convert failed.".
    QDir().mkpath(QString::fromStdString(settings_.destPath));

    userStopped_ = false;
    converting_ = 1;
    start_->setEnabled(false);
    browse_->setEnabled(false);
    setting_->setEnabled(false);
    dest_->setEnabled(false);
    stop_->setEnabled(true);
    pause_->setEnabled(true);

    ProgressTargets t;
    t.filesBar = filesBar_;
    t.frameBar = frameBar_;
    t.statusText = status_;
    t.elapsedText = elapsed_;
    t.estimateText = estimate_;
    t.filesText = filesText_;
    t.extraText = extra_;
    t.tickWindow = this;
    job_.SetProgressTargets(t);
    if (!job_.Start(segments_, settings_.destPath + "Tmp.mpg", rate)) {
        // The thread of the previous run is still finishing its file.
        ResetControls();
    }
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

void CConvertPage::OnTick() {
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

void CConvertPage::OnFinished(int result) {
    if (userStopped_) {
        RemoveCancelledOutputs(AppSettings.removeMethod);
        MessageBox("Converting canceled.");
        ResetControls();
        if (showVideoFilesPage) showVideoFilesPage();
        ClearOutputs();
        return;
    }
    if (result == 0) {
        MessageBox("Convert failed.");
        ResetControls();
        ClearOutputs();
        return;
    }
    ResetControls();
    if (copy_->isChecked()) {
        bool copied = copyOutputsToPsp && copyOutputsToPsp();
        if (copied && delete_->isChecked()) kalvex::DeleteOutputs();
    }
    ClearOutputs();
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

void CConvertPage::PostFinished(int result) { PostMessage(this, WM_CONVERT_FINISHED, WPARAM(result), 0); }

bool CConvertPage::event(QEvent* e) {
    if (DispatchMessageEvent(e, this)) return true;
    return QWidget::event(e);
}

LRESULT CConvertPage::HandleMessage(unsigned msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_CONVERT_FINISHED: OnFinished(int(wParam)); return 0;
        case WM_STOP_CONVERT: StopConvert(); return 0;
        case WM_CONVERT_TICK: OnTick(); return 0;
        default: return 0;
    }
}

}  // namespace kalvex

#include "media/page/CAddFilePage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "common/AppSettings.h"
#include "common/ui/HintOnce.h"
#include "common/ProgramLog.h"
#include "media/page/CModifyTimeDlg.h"
#include "media/page/CodecPackOffer.h"
#include "media/EntryFromPath.h"
#include "media/PathsToAdd.h"
#include "media/SubtitleLinker.h"
#include "media/TrackStore.h"
#include "media/page/SubtitleReadBoxes.h"
#include "media/page/PreviewPanel.h"
#include "media/TimeText.h"
#include "common/ui/Dialogs.h"
#include "resources/resource.h"

namespace kalvex {

const char* const CAddFilePage::kVideoFilter =
    "video file (*.avi *.divx *.mpg *.mpeg *.ts *.m2ts *.m2t *.mts *.mkv *.mka *.mp4 *.hdmov *.3gp *.3g2 "
    "*.3gpp *.3gp2 *.ogm *.ogv *.flv *.wmv *.asf *.qt *.mov *.rm *.ram *.rmvb);;all files (*)";

namespace {

const char* const kRightClickHint =
    "Hint : \n\nYou can right click on the file name to pop up a menu.\n"
    "You can press Delete key to remove selected file from list.";

QString Text(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

QFont InfoFont() {
    if (QFontDatabase::families().contains("Lucida Console")) return QFont("Lucida Console", 9);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(9);
    return font;
}

}  // namespace

const std::vector<CAddFilePage::FileCommand>& CAddFilePage::FileCommands() {
    using Needs = FileCommand::Needs;
    static const std::vector<FileCommand> commands = {
        {res::ID_FILES_ADD, "&Add Video Files", res::IDC_BTN_ADD_FILES, "Add", Needs::Nothing, &CAddFilePage::AddFiles},
        {res::ID_FILES_REMOVE, "&Remove Selected File", res::IDC_BTN_REMOVE, "Remove", Needs::Selection,
         &CAddFilePage::RemoveSelected},
        {res::ID_FILES_MOVE_UP, "&Move Up", res::IDC_BTN_MOVE_UP, "Up", Needs::Selection, &CAddFilePage::MoveUp},
        {res::ID_FILES_MOVE_DOWN, "Move &Down", res::IDC_BTN_MOVE_DOWN, "Down", Needs::Selection,
         &CAddFilePage::MoveDown},
        {res::ID_FILES_MODIFY_TIME, "M&odify Time", res::IDC_BTN_MODIFY_TIME, "Modify Time", Needs::Selection,
         &CAddFilePage::ModifyTime},
        {res::ID_FILES_LOAD_SUBTITLE, "&Load Subtitle", res::IDC_BTN_LOAD_SUBTITLE, "Load Subtitle", Needs::Selection,
         &CAddFilePage::loadSubtitleRequested},
        {res::ID_FILES_AUTO_LOAD_SUBTITLES, "&Auto Load Subtitles", res::IDC_BTN_AUTO_LOAD_SUBTITLES, "Auto Load",
         Needs::Files, &CAddFilePage::autoLoadSubtitlesRequested},
        {res::ID_FILES_SEARCH_SUBTITLES, "&Search Subtitles", 0, nullptr, Needs::Nothing,
         &CAddFilePage::searchSubtitlesRequested},
    };
    return commands;
}

CAddFilePage::CAddFilePage(QWidget* parent) : QWidget(parent) {
    setObjectName(res::ObjectName(res::IDD_ADDFILE_PAGE));
    linker_ = [](VideoFileEntry& entry) { AutoLinkOne(entry, SubtitleReadBoxes()); };
    BuildControls();
    connect(this, &CAddFilePage::loadSubtitleRequested, this, &CAddFilePage::LoadSubtitle);
    connect(this, &CAddFilePage::autoLoadSubtitlesRequested, this, &CAddFilePage::AutoLoadSubtitles);
    connect(this, &CAddFilePage::searchSubtitlesRequested, this, &CAddFilePage::SearchSubtitles);

    saveTimer_ = new QTimer(this);
    saveTimer_->setSingleShot(true);
    saveTimer_->setInterval(0);
    connect(saveTimer_, &QTimer::timeout, this, &CAddFilePage::SaveList);

    preview_ = new PreviewPanel(this);
    stopPreview_ = [this] { StopPreview(); };

    files_.Load(FileListPath());
    LoadTrackStore(files_.List(), TrackStorePath(FileListPath()));
    UpdateControls();
}

CAddFilePage::~CAddFilePage() {
    delete preview_;  // playback ends before the list goes
    preview_ = nullptr;
    SaveList();
}

void CAddFilePage::StopPreview() {
    if (preview_) preview_->Controller().Stop();
}

void CAddFilePage::ScheduleSave() { saveTimer_->start(); }

void CAddFilePage::SaveList() {
    saveTimer_->stop();
    if (!files_.Save(FileListPath())) LogLine("Could not save the file list to %s", FileListPath().c_str());
    SaveTracks();
}

void CAddFilePage::SaveTracks() {
    const std::string path = TrackStorePath(FileListPath());
    if (!SaveTrackStore(files_.List(), path)) LogLine("Could not save the track choices to %s", path.c_str());
}

TrackChoice CAddFilePage::TrackChoiceOf(int index) const {
    if (index < 0 || index >= files_.Count()) return {};
    return files_.Tracks(index).choice;
}

void CAddFilePage::EnsureTracksKnown(int row) {
    EntryTracks& t = files_.Tracks(row);
    if (t.known) return;
    std::string why;
    avs::TrackList tracks;
    if (!avs::ReadTracks(FieldText(files_.At(row).fullPath), &tracks, &why)) return;
    t.tracks = std::move(tracks);
    t.known = true;
    SaveTracks();
}

void CAddFilePage::BuildControls() {
    list_view_ = new QTreeView(this);
    list_view_->setObjectName(res::ObjectName(res::IDC_FILE_LIST));
    list_view_->setRootIsDecorated(false);
    list_view_->setUniformRowHeights(true);
    list_view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_view_->setModel(&files_);
    // The path takes what Begin and Length leave, so all three show
    // without scrolling sideways.
    list_view_->header()->setStretchLastSection(false);
    // Begin and Length keep the template's 80 pixels, or what the longest
    // time text needs.
    const int timeWidth = std::max(80, list_view_->fontMetrics().horizontalAdvance("-00:00:00.000") + 12);
    list_view_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    list_view_->setColumnWidth(1, timeWidth);
    list_view_->setColumnWidth(2, timeWidth);
    list_view_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_view_->installEventFilter(this);
    // Files and folders dropped on the list are added; the drag events
    // reach the list's viewport.
    list_view_->setAcceptDrops(true);
    list_view_->viewport()->setAcceptDrops(true);
    list_view_->viewport()->installEventFilter(this);
    connect(list_view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &CAddFilePage::ShowSelection);

    // The right-click menu "&Files" and the template's command buttons, from
    // the one command table. The buttons exist but stay hidden; the menu and
    // the main window reach the commands.
    menu_ = new QMenu("&Files", this);
    menu_->setObjectName(res::ObjectName(res::IDR_FILES_MENU));
    for (const FileCommand& command : FileCommands()) {
        CommandControls controls{&command, nullptr, nullptr};
        if (command.menuId) {
            controls.action = menu_->addAction(command.menuText);
            controls.action->setObjectName(res::ObjectName(command.menuId));
            connect(controls.action, &QAction::triggered, this, [this, run = command.run] { (this->*run)(); });
        }
        if (command.buttonId) {
            controls.button = new QPushButton(command.buttonText, this);
            controls.button->setObjectName(res::ObjectName(command.buttonId));
            controls.button->hide();
            connect(controls.button, &QPushButton::clicked, this, [this, run = command.run] { (this->*run)(); });
        }
        commands_.push_back(controls);
    }
    connect(list_view_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { menu_->popup(list_view_->viewport()->mapToGlobal(pos)); });

    // Preview group: the video area, the position slider, the time label
    // and the playback buttons.
    auto* preview = new QGroupBox("Preview", this);
    auto* area = new PreviewPicture(preview);
    area->setObjectName(res::ObjectName(res::IDC_PREVIEW_AREA));
    area->setMinimumSize(240, 135);
    auto* slider = new QSlider(Qt::Horizontal, preview);
    slider->setObjectName(res::ObjectName(res::IDC_POSITION_SLIDER));
    slider->setRange(0, 1000);
    slider->setPageStep(10);
    slider->setEnabled(false);
    auto* timeLabel = new QLabel(preview);
    timeLabel->setObjectName(res::ObjectName(res::IDC_TIME_LABEL));
    auto* buttonRow = new QGridLayout;
    const std::pair<int, const char*> buttons[] = {
        {res::IDC_PLAY, "&Play"},           {res::IDC_STOP, "&Stop"},
        {res::IDC_PAUSE, "Pa&use"},         {res::IDC_FULLSCREEN, "&FullScreen"},
        {res::IDC_SET_START_TIME, "Set S&tart Time"}, {res::IDC_SET_END_TIME, "Set &End Time"},
    };
    int n = 0;
    for (const auto& [id, text] : buttons) {
        auto* button = new QPushButton(text, preview);
        button->setObjectName(res::ObjectName(id));
        button->setEnabled(false);
        previewButtons_.push_back(button);
        buttonRow->addWidget(button, n / 3, n % 3);
        ++n;
    }
    auto* previewLayout = new QVBoxLayout(preview);
    previewLayout->addWidget(area, 1);
    auto* sliderRow = new QHBoxLayout;
    sliderRow->addWidget(slider, 1);
    sliderRow->addWidget(timeLabel);
    previewLayout->addLayout(sliderRow);
    previewLayout->addLayout(buttonRow);

    // Movie information.
    auto* infoGroup = new QGroupBox("Movie Info", this);
    info_ = new QLabel(infoGroup);
    info_->setObjectName(res::ObjectName(res::IDC_MOVIE_INFO));
    info_->setFont(InfoFont());
    info_->setTextFormat(Qt::PlainText);
    info_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    info_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long text scrolls inside the group instead of pushing the preview
    // controls together.
    auto* infoScroll = new QScrollArea(infoGroup);
    infoScroll->setWidget(info_);
    infoScroll->setWidgetResizable(true);
    infoScroll->setFrameShape(QFrame::NoFrame);
    auto* infoLayout = new QVBoxLayout(infoGroup);
    infoLayout->addWidget(infoScroll);

    // Subtitle choices.
    auto* subGroup = new QGroupBox("Subtitle Language", this);
    subtitleFiles_ = new QComboBox(subGroup);
    subtitleFiles_->setObjectName(res::ObjectName(res::IDC_SUBTITLE_FILES));
    subtitleFiles_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    subtitleStreams_ = new QComboBox(subGroup);
    subtitleStreams_->setObjectName(res::ObjectName(res::IDC_SUBTITLE_STREAMS));
    useSubtitle_ = new QCheckBox("&Use subtitle while playing && converting", subGroup);
    useSubtitle_->setObjectName(res::ObjectName(res::IDC_USE_SUBTITLE));
    // The sound track of a file with several.
    auto* soundLabel = new QLabel("Sound track", infoGroup);
    soundTrack_ = new QComboBox(infoGroup);
    soundTrack_->setObjectName(res::ObjectName(res::IDC_SOUND_TRACK));
    soundTrack_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    soundLabel->setBuddy(soundTrack_);
    connect(soundTrack_, &QComboBox::activated, this, &CAddFilePage::OnSoundTrackChosen);
    auto* soundRow = new QHBoxLayout;
    soundRow->addWidget(soundLabel);
    soundRow->addWidget(soundTrack_, 1);
    // Under the file's information, beside the subtitle choices: it takes
    // no room from the preview.
    infoLayout->addLayout(soundRow);
    auto* subLayout = new QVBoxLayout(subGroup);
    subLayout->addWidget(subtitleFiles_);
    subLayout->addWidget(subtitleStreams_);
    subLayout->addWidget(useSubtitle_);
    subLayout->addStretch(1);
    connect(subtitleFiles_, &QComboBox::activated, this, &CAddFilePage::OnSubtitleFileChosen);
    connect(subtitleStreams_, &QComboBox::activated, this, &CAddFilePage::OnStreamChosen);
    connect(useSubtitle_, &QCheckBox::clicked, this, &CAddFilePage::OnUseSubtitleClicked);

    auto* grid = new QGridLayout(this);
    grid->addWidget(list_view_, 0, 0);
    grid->addWidget(preview, 0, 1);
    grid->addWidget(infoGroup, 1, 0);
    grid->addWidget(subGroup, 1, 1);
    grid->setRowStretch(0, 3);
    grid->setRowStretch(1, 2);
    grid->setColumnStretch(0, 2);
    grid->setColumnStretch(1, 1);
    list_view_->setMinimumWidth(400);
}

QAction* CAddFilePage::MenuAction(int id) const {
    return menu_->findChild<QAction*>(res::ObjectName(id));
}

bool CAddFilePage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_view_->viewport() && HandleDragEvent(event)) return true;
    if (watched == list_view_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        RemoveSelected();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CAddFilePage::RefreshRow(int index) {
    if (index < 0 || index >= files_.Count()) return;
    files_.Refresh(index);
    ScheduleSave();
    emit listChanged();
}

int CAddFilePage::FirstSelected() const {
    const std::vector<int> rows = SelectedRows();
    return rows.empty() ? -1 : rows.front();
}

std::vector<int> CAddFilePage::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : list_view_->selectionModel()->selectedRows()) rows.push_back(index.row());
    // The selection model lists rows in the order they were picked.
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CAddFilePage::SelectRows(const std::vector<int>& rows) {
    {
        QItemSelectionModel* selection = list_view_->selectionModel();
        QSignalBlocker block(selection);
        QItemSelection rowsToSelect;
        for (int i : rows)
            if (i >= 0 && i < files_.Count())
                rowsToSelect.select(files_.index(i, 0), files_.index(i, VideoFileModel::ColumnCount - 1));
        selection->select(rowsToSelect, QItemSelectionModel::ClearAndSelect);
        if (!rows.empty() && rows.front() >= 0 && rows.front() < files_.Count())
            selection->setCurrentIndex(files_.index(rows.front(), 0), QItemSelectionModel::NoUpdate);
    }
    list_view_->viewport()->update();
    ShowSelection();
}

void CAddFilePage::Changed() {
    UpdateControls();
    ScheduleSave();
    emit listChanged();
}

namespace {

// The local files among dropped addresses, as file system paths.
std::vector<std::string> LocalPaths(const QMimeData* data, bool logOthers) {
    std::vector<std::string> paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
        else if (logOthers)
            LogLongLine("Drop: not a local file, not added: %s", url.toDisplayString().toLocal8Bit().constData());
    }
    return paths;
}

}  // namespace

bool CAddFilePage::HandleDragEvent(QEvent* event) {
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (LocalPaths(drag->mimeData(), false).empty()) {
                drag->ignore();
            } else {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const std::vector<std::string> paths = LocalPaths(drop->mimeData(), true);
            if (paths.empty()) {
                drop->ignore();
                return true;
            }
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            AddDropped(paths);
            return true;
        }
        default: return false;
    }
}

int CAddFilePage::AddDropped(const std::vector<std::string>& paths) {
    if (!AddAllowed()) return 0;
    const PathsToAdd expanded = ExpandPathsToAdd(paths);
    for (const SkippedPath& skipped : expanded.skipped)
        LogLongLine("Drop: not added %s: %s", skipped.path.c_str(), skipped.reason.c_str());
    return AddPaths(expanded.files);
}

int CAddFilePage::AddPaths(const std::vector<std::string>& files) {
    int added = 0;
    for (const std::string& file : files)
        if (AddPath(file)) ++added;
    UpdateControls();
    return added;
}

void CAddFilePage::AddFiles() {
    if (!AddAllowed()) return;
    FileDialogRequest request;
    request.title = "Open";
    request.filter = kVideoFilter;
    request.multiple = true;
    const QStringList paths = OpenFileDialog(request);
    if (paths.isEmpty()) return;
    for (const QString& path : paths) AddFile(path);
    UpdateControls();
}

bool CAddFilePage::AddFile(const QString& qpath) { return AddPath(QFile::encodeName(qpath).toStdString()); }

bool CAddFilePage::AddPath(const std::string& path) {
    if (stopPreview_) stopPreview_();

    VideoFileEntry entry;
    EntryTracks tracks;
    SourceRefusal refusal;
    if (!MakeEntryFromPath(path, entry, refusal, examiner_, linker_, AppSettings.timeFormat, &tracks)) {
        if (onRefused_)
            onRefused_(path, refusal);
        else if (refusal.kind == RefusalKind::ScriptFailed)
            ReportSourceOpenFailure(RefusalText(refusal));  // the text, or the codec-pack offer
        else
            MessageBox(QString::fromUtf8(RefusalText(refusal).c_str()), "Error", MB_OK | MB_ICONWARNING);
        return false;
    }
    files_.Append(entry, tracks);
    Changed();
    return true;
}

void CAddFilePage::RemoveSelected() {
    const std::vector<int> rows = SelectedRows();
    if (rows.empty()) return;
    {
        QSignalBlocker block(list_view_->selectionModel());
        // Highest first, so the lower indices stay valid.
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            files_.Remove(*it);
        }
        list_view_->clearSelection();
    }
    ShowSelection();
    Changed();
}

void CAddFilePage::MoveUp() {
    std::vector<int> rows = SelectedRows();
    if (!files_.MoveUp(rows)) return;
    SelectRows(rows);
    Changed();
}

void CAddFilePage::MoveDown() {
    std::vector<int> rows = SelectedRows();
    if (!files_.MoveDown(rows)) return;
    SelectRows(rows);
    Changed();
}

void CAddFilePage::ModifyTime() {
    const int index = FirstSelected();
    if (index < 0) return;
    if (CModifyTimeDlg::Edit(files_.At(index), this)) {
        files_.Refresh(index);
        Changed();
    }
}

void CAddFilePage::ShowSelection() {
    const int index = FirstSelected();
    {
        QSignalBlocker b1(subtitleFiles_), b2(subtitleStreams_), b3(useSubtitle_), b4(soundTrack_);
        subtitleFiles_->clear();
        subtitleStreams_->clear();
        soundTrack_->clear();
        subtitleItems_.clear();
        if (index < 0) {
            info_->clear();
            useSubtitle_->setChecked(false);
        }
    }
    if (index >= 0) {
        ShowHintOnce("RightClickPopup", kRightClickHint);
        // The hint is modal: the list may have changed while it was shown.
        const int now = FirstSelected();
        if (now >= 0 && now < files_.Count()) {
            EnsureTracksKnown(now);
            const VideoFileEntry& e = files_.At(now);
            const EntryTracks& t = files_.Tracks(now);
            info_->setText(Text(FieldText(e.infoText)));
            QSignalBlocker b1(subtitleFiles_), b3(useSubtitle_), b4(soundTrack_);
            for (const std::string& item : TrackMenu::SoundItems(t.tracks)) soundTrack_->addItem(Text(item));
            soundTrack_->setCurrentIndex(TrackMenu::SoundIndex(t.tracks, t.choice));
            // The linked files, then the file's own subtitle tracks.
            subtitleItems_ = TrackMenu::SubtitleItems(e, t.tracks);
            for (const TrackMenu::SubtitleItem& item : subtitleItems_) subtitleFiles_->addItem(Text(item.text));
            // Nothing chosen shows no item: the first track is not burned in
            // until the user picks it.
            const int chosen = TrackMenu::SubtitleIndex(subtitleItems_, e, t.choice);
            subtitleFiles_->setCurrentIndex(chosen);
            if (chosen >= 0) FillStreams(e, chosen);
            useSubtitle_->setChecked(e.useSubtitle != 0);
        } else {
            info_->clear();
        }
    }
    UpdateControls();
}

void CAddFilePage::FillStreams(const VideoFileEntry& e, int item) {
    QSignalBlocker block(subtitleStreams_);
    subtitleStreams_->clear();
    if (item < 0 || item >= int(subtitleItems_.size())) return;
    const TrackMenu::SubtitleItem& chosen = subtitleItems_[size_t(item)];
    const int row = FirstSelected();
    const avs::TrackList none;
    const std::vector<std::string> streams =
        TrackMenu::StreamItems(chosen, e, row >= 0 && row < files_.Count() ? files_.Tracks(row).tracks : none);
    for (const std::string& s : streams) subtitleStreams_->addItem(Text(s));
    if (chosen.file < 0) return;  // a track's one name
    const int stream = e.selectedStream[chosen.file];
    if (stream >= 0 && stream < int(streams.size())) subtitleStreams_->setCurrentIndex(stream);
}

void CAddFilePage::OnSoundTrackChosen(int index) {
    const int row = FirstSelected();
    if (row < 0 || row >= files_.Count()) return;
    EntryTracks& t = files_.Tracks(row);
    if (!TrackMenu::PickSound(t.tracks, index, t.choice)) return;
    SaveTracks();
}

void CAddFilePage::OnSubtitleFileChosen(int index) {
    const int row = FirstSelected();
    if (row < 0 || row >= files_.Count()) return;
    VideoFileEntry& e = files_.At(row);
    EntryTracks& t = files_.Tracks(row);
    if (!TrackMenu::PickSubtitle(subtitleItems_, index, e, t.choice)) return;
    FillStreams(e, index);
    SaveTracks();
    ScheduleSave();
}

void CAddFilePage::OnStreamChosen(int index) {
    const int row = FirstSelected();
    const int item = subtitleFiles_->currentIndex();
    if (row < 0 || index < 0 || item < 0 || item >= int(subtitleItems_.size())) return;
    const int file = subtitleItems_[size_t(item)].file;
    // A track has its one stream; only a linked file's stream is stored.
    if (file < 0 || file >= kMaxSubtitleFiles) return;
    files_.At(row).selectedStream[file] = index;
    ScheduleSave();
}

void CAddFilePage::OnUseSubtitleClicked(bool checked) {
    const int row = FirstSelected();
    if (row < 0) return;
    files_.At(row).useSubtitle = checked ? 1 : 0;
    ScheduleSave();
}

void CAddFilePage::UpdateControls() {
    const int row = FirstSelected();
    const bool selected = row >= 0;
    const bool inList = selected && row < files_.Count();
    const bool hasSubtitles = inList && TrackMenu::SubtitleChoiceEnabled(files_.At(row), files_.Tracks(row).tracks);
    soundTrack_->setEnabled(inList && TrackMenu::SoundChoiceEnabled(files_.Tracks(row).tracks));
    for (const CommandControls& c : commands_) {
        bool on = true;
        switch (c.command->needs) {
            case FileCommand::Needs::Nothing: on = true; break;
            case FileCommand::Needs::Selection: on = selected; break;
            case FileCommand::Needs::Files: on = files_.Count() > 0; break;
        }
        if (c.action) c.action->setEnabled(on);
        if (c.button) c.button->setEnabled(on);
    }
    useSubtitle_->setEnabled(hasSubtitles);
    subtitleFiles_->setEnabled(hasSubtitles);
    subtitleStreams_->setEnabled(hasSubtitles);
    if (preview_) preview_->Controller().UpdateButtons();
}

void CAddFilePage::ClearAll() {
    {
        QSignalBlocker block(list_view_->selectionModel());
        files_.Clear();
    }
    ShowSelection();
    Changed();
}

void CAddFilePage::InsertEntry(int index, const VideoFileEntry& entry, const EntryTracks& tracks) {
    files_.Insert(index, entry, tracks);
    Changed();
}

}  // namespace kalvex

#pragma once
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "media/EntryFromPath.h"
#include "media/TrackChoice.h"
#include "media/VideoFileEntry.h"
#include "media/VideoFileList.h"
#include "media/page/VideoFileModel.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QTimer;
class QTreeView;

namespace kalvex {

class PreviewPanel;

// The "Video Files" page (dialog 130): the ordered list of videos to
// convert, with the selected file's information and subtitle choices. The
// list is read from filesv2.dat when the page is created and written back
// when it is destroyed.
class CAddFilePage : public QWidget {
    Q_OBJECT
public:
    // The file dialog's filter: "video file" and "all files".
    static const char* const kVideoFilter;

    explicit CAddFilePage(QWidget* parent = nullptr);
    ~CAddFilePage() override;

    // Commands.
    void AddFiles();              // file dialog, then AddFile for each path in dialog order
    bool AddFile(const QString& path);  // examine one file and append it; false when refused
    // Adds files chosen outside the file dialog, each as AddFile does, in
    // order; returns how many were added. No guard: the caller asked it.
    int AddPaths(const std::vector<std::string>& files);
    // Files and folders dropped on the list: under the add guard, expanded
    // as ExpandPathsToAdd says, then added; what is skipped is logged.
    // Returns how many entries were added.
    int AddDropped(const std::vector<std::string>& paths);
    void RemoveSelected();
    void MoveUp();
    void MoveDown();
    void ModifyTime();            // "Modify Time" for the first selected entry
    void ShowSelection();
    void UpdateControls();
    void ClearAll();
    void InsertEntry(int index, const VideoFileEntry& entry, const EntryTracks& tracks = {});
    // Shows the entry's Begin and Length again after its times changed.
    void RefreshRow(int index);

    // Subtitle commands: link a file chosen by hand to the first selected
    // entry; link the subtitles found beside every entry; open the subtitle
    // search dialog over the list.
    void LoadSubtitle();
    void AutoLoadSubtitles();
    void SearchSubtitles();

    // Access for the other pages.
    int Count() const { return files_.Count(); }
    VideoFileEntry& Entry(int index) { return files_.At(index); }
    const VideoFileEntry& Entry(int index) const { return files_.At(index); }
    std::vector<VideoFileEntry> Entries() const { return files_.Entries(); }
    // The tracks of the entry at index and its choice; every choice in list
    // order (beside Entries()).
    EntryTracks& Tracks(int index) { return files_.Tracks(index); }
    TrackChoice TrackChoiceOf(int index) const;
    std::vector<TrackChoice> TrackChoices() const { return files_.TrackChoices(); }
    int FirstSelected() const;  // -1 when no row is selected
    std::vector<int> SelectedRows() const;  // ascending
    void SelectRows(const std::vector<int>& rows);

    // Seams filled by the parts that own them: how a source is examined
    // (default: ExamineSource), how subtitles beside it are linked when it is
    // added (default: none), and how a playing preview is stopped before a
    // file is examined (default: nothing plays).
    // An empty examiner means ExamineSource.
    void SetExaminer(SourceExaminer examiner) { examiner_ = std::move(examiner); }
    // How a refused source is told to the user (default: a message box with
    // the refusal's text and caption).
    void SetRefusalHandler(std::function<void(const std::string& path, const SourceRefusal&)> handler) {
        onRefused_ = std::move(handler);
    }
    void SetSubtitleLinker(std::function<void(VideoFileEntry&)> linker) { linker_ = std::move(linker); }
    void SetPreviewStopper(std::function<void()> stopper) { stopPreview_ = std::move(stopper); }
    // Asked before files are added by the dialog or a drop; false refuses
    // (the guard tells the user why). Default: always allowed.
    void SetAddGuard(std::function<bool()> guard) { addGuard_ = std::move(guard); }

    // The playback controls (play, pause, slider, full screen, trim times).
    PreviewPanel* Preview() const { return preview_; }
    // Stops a playing preview; nothing when none plays.
    void StopPreview();

    // Controls, for the page's owner and for tests.
    QTreeView* ListControl() const { return list_view_; }
    QMenu* FilesMenu() const { return menu_; }
    QAction* MenuAction(int id) const;
    QLabel* InfoLabel() const { return info_; }

    // The page's commands: the right-click menu, the template's (hidden)
    // buttons and when each is enabled all come from this one table.
    struct FileCommand {
        enum class Needs {
            Nothing,    // always enabled
            Selection,  // a selected entry
            Files,      // at least one entry in the list
        };
        int menuId;              // 0: not in the menu
        const char* menuText;
        int buttonId;            // 0: no button
        const char* buttonText;
        Needs needs;
        void (CAddFilePage::*run)();
    };
    static const std::vector<FileCommand>& FileCommands();

signals:
    // The list gained, lost or reordered entries, or an entry's times changed.
    void listChanged();
    // Menu commands of the subtitle features.
    void loadSubtitleRequested();
    void autoLoadSubtitlesRequested();
    void searchSubtitlesRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    bool AddAllowed() const { return !addGuard_ || addGuard_(); }
    // AddFile for a path as the file system's bytes (a name need not be
    // valid text).
    bool AddPath(const std::string& path);
    // Drag and drop of local files onto the list.
    bool HandleDragEvent(QEvent* event);
    void FillStreams(const VideoFileEntry& entry, int item);
    void OnSoundTrackChosen(int index);
    void OnSubtitleFileChosen(int index);
    void OnStreamChosen(int index);
    void OnUseSubtitleClicked(bool checked);
    void Changed();
    // Saves the list once control is back in the event loop: every change is
    // on disk soon after it is made, and a burst of changes is saved once.
    void ScheduleSave();
    void SaveList();
    // Writes the companion file of the list's track choices at once.
    void SaveTracks();
    // Reads the tracks of an entry that has none yet (one kept by an older
    // list), so its choices can be shown.
    void EnsureTracksKnown(int row);

    // The list; the view shows the model and holds only the selection.
    VideoFileModel files_;
    QTimer* saveTimer_ = nullptr;
    QTreeView* list_view_ = nullptr;
    QLabel* info_ = nullptr;
    QComboBox* subtitleFiles_ = nullptr;
    QComboBox* subtitleStreams_ = nullptr;
    QCheckBox* useSubtitle_ = nullptr;
    QComboBox* soundTrack_ = nullptr;
    // The items of the subtitle box for the selected entry.
    std::vector<TrackMenu::SubtitleItem> subtitleItems_;
    QMenu* menu_ = nullptr;
    // The controls made for each command of FileCommands(), in its order.
    struct CommandControls {
        const FileCommand* command;
        QAction* action;
        QPushButton* button;
    };
    std::vector<CommandControls> commands_;
    std::vector<QPushButton*> previewButtons_;
    SourceExaminer examiner_;
    EntryLinker linker_;
    std::function<void(const std::string&, const SourceRefusal&)> onRefused_;
    std::function<void()> stopPreview_;
    std::function<bool()> addGuard_;
    PreviewPanel* preview_ = nullptr;
};

}  // namespace kalvex

// The subtitle commands of the "Video Files" page.
#include <QFile>

#include "common/ProgramLog.h"
#include "media/SubtitleLinker.h"
#include "media/page/CAddFilePage.h"
#include "media/page/CSearchSubtitleDlg.h"
#include "media/page/SubtitleReadBoxes.h"
#include "common/ui/Dialogs.h"

namespace kalvex {

namespace {

// The file dialog's filter: the patterns of list 1 as "*.srt *.sub ...".
QString SubtitleDialogFilter() {
    QString patterns;
    for (const char* p : kSubtitlePatterns1) {
        if (!patterns.isEmpty()) patterns += ' ';
        patterns += QString("*") + p;
    }
    return "Subtitle Files (" + patterns + ")";
}

}  // namespace

void CAddFilePage::LoadSubtitle() {
    const int row = FirstSelected();
    if (row < 0 || row >= files_.Count()) return;
    FileDialogRequest request;
    request.title = "Open";
    request.filter = SubtitleDialogFilter();
    request.multiple = false;
    const QStringList chosen = OpenFileDialog(request);
    if (chosen.isEmpty()) return;
    // The dialog is modal: the list may have changed while it was open.
    if (row >= files_.Count()) return;
    SubtitleLinker linker;
    linker.SetReport(SubtitleReadBoxes());
    linker.SetCandidates({QFile::encodeName(chosen.front()).toStdString()});
    VideoFileEntry& entry = files_.At(row);
    const int linked = linker.LinkSubtitles(entry);
    // The entry's links changed either way (a refused file leaves none):
    // the list goes to disk as after every change.
    ScheduleSave();  // the entry's new links go to disk
    if (linked < 1) {
        MessageBox("Load subtitle failed.");
    } else {
        // The file chosen by hand is the subtitle now, not a track of the video.
        TrackChoice& choice = files_.Tracks(row).choice;
        if (choice.subtitleTrack != 0) {
            choice.subtitleTrack = 0;
            choice.forcedOnly = false;
            SaveTracks();
        }
        if (stopPreview_) stopPreview_();
    }
    ShowSelection();
}

void CAddFilePage::AutoLoadSubtitles() {
    for (int i = 0; i < files_.Count(); ++i) {
        const int linked = AutoLinkOne(files_.At(i), SubtitleReadBoxes());
        // Saved entry by entry: a message box below runs the event loop, so
        // a save scheduled once would miss the entries linked after it.
        ScheduleSave();  // entry i's links may have changed
        if (linked < 1)
            MessageBox(QString("Can't auto load subtitle for movie %1")
                           .arg(QFile::decodeName(QByteArray::fromStdString(FieldText(files_.At(i).fileName)))));
    }
    // The selected entry's choices show its new links at once.
    ShowSelection();
}

void CAddFilePage::SearchSubtitles() {
    if (files_.Count() == 0) {
        MessageBox("Please add Video Files first.");
        return;
    }
    CSearchSubtitleDlg::Run(files_.Entries(), this);
}

}  // namespace kalvex

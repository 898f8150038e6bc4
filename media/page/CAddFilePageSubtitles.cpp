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
    if (row < 0 || row >= list_.Count()) return;
    FileDialogRequest request;
    request.title = "Open";
    request.filter = SubtitleDialogFilter();
    request.multiple = false;
    const QStringList chosen = OpenFileDialog(request);
    if (chosen.isEmpty()) return;
    // The dialog is modal: the list may have changed while it was open.
    if (row >= list_.Count()) return;
    SubtitleLinker linker;
    linker.SetReport(SubtitleReadBoxes());
    linker.SetCandidates({QFile::encodeName(chosen.front()).toStdString()});
    VideoFileEntry& entry = list_.At(row);
    if (linker.LinkSubtitles(entry) < 1) {
        MessageBox("Load subtitle failed.");
    } else {
        if (stopPreview_) stopPreview_();
    }
    ShowSelection();
}

void CAddFilePage::AutoLoadSubtitles() {
    for (int i = 0; i < list_.Count(); ++i) {
        if (AutoLinkOne(list_.At(i), SubtitleReadBoxes()) < 1)
            MessageBox(QString("Can't auto load subtitle for movie %1")
                           .arg(QFile::decodeName(QByteArray::fromStdString(FieldText(list_.At(i).fileName)))));
    }
    // The selected entry's choices show its new links at once.
    ShowSelection();
}

void CAddFilePage::SearchSubtitles() {
    if (list_.Count() == 0) {
        MessageBox("Please add Video Files first.");
        return;
    }
    CSearchSubtitleDlg::Run(list_.Entries(), this);
}

}  // namespace kalvex

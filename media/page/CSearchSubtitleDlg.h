#pragma once
#include <QDialog>
#include <vector>

#include "media/VideoFileEntry.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace kalvex {

// "Search Subtitles" (dialog 144): shows the words of the listed video file
// names so that the user can put the movie's name together, and opens the
// chosen subtitle site's search for that name in the user's browser.
class CSearchSubtitleDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSearchSubtitleDlg(std::vector<VideoFileEntry> entries, QWidget* parent = nullptr);

    // Fills the word box from the entries and the site box (first selected).
    void OnInitDialog();
    // Opens the search address of the selected site for the typed name; the
    // dialog stays open. False when no site is selected or the shell failed.
    bool OnSearchNow();

    QPlainTextEdit* WordsBox() const { return words_; }
    QLineEdit* MovieNameBox() const { return movieName_; }
    QComboBox* SiteBox() const { return sites_; }

    // The command: runs the dialog over the entries.
    static void Run(const std::vector<VideoFileEntry>& entries, QWidget* parent);

private:
    std::vector<VideoFileEntry> entries_;
    QPlainTextEdit* words_ = nullptr;
    QLineEdit* movieName_ = nullptr;
    QComboBox* sites_ = nullptr;
};

}  // namespace kalvex

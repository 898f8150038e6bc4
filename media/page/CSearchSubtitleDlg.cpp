#include "media/page/CSearchSubtitleDlg.h"

#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/ProgramLog.h"
#include "media/SubtitleSearch.h"
#include "common/ui/Dialogs.h"
#include "resources/resource.h"

namespace kalvex {

CSearchSubtitleDlg::CSearchSubtitleDlg(std::vector<VideoFileEntry> entries, QWidget* parent)
    : QDialog(parent), entries_(std::move(entries)) {
    setObjectName(res::ObjectName(res::IDD_SEARCH_SUBTITLES));
    setWindowTitle("Search Subtitles");
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        "Words extracted from the video file name, you can copy and paste from them to enter the movie's name to "
        "the downer edit box:",
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    words_ = new QPlainTextEdit(this);
    words_->setObjectName(res::ObjectName(res::IDC_SEARCH_WORDS));
    words_->setReadOnly(true);
    layout->addWidget(words_);
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(new QLabel("Move Name(need entered by yourself):", this));
    movieName_ = new QLineEdit(this);
    movieName_->setObjectName(res::ObjectName(res::IDC_SEARCH_MOVIE_NAME));
    nameRow->addWidget(movieName_, 1);
    layout->addLayout(nameRow);
    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(new QLabel("Subtitle Site", this));
    sites_ = new QComboBox(this);
    sites_->setObjectName(res::ObjectName(res::IDC_SUBTITLE_SITE));
    searchRow->addWidget(sites_, 1);
    auto* searchNow = new QPushButton("Search Now", this);
    searchNow->setObjectName(res::ObjectName(res::IDC_SEARCH_NOW));
    searchNow->setAutoDefault(false);
    searchRow->addWidget(searchNow);
    auto* close = new QPushButton("Close", this);
    close->setAutoDefault(false);
    searchRow->addWidget(close);
    layout->addLayout(searchRow);
    connect(searchNow, &QPushButton::clicked, this, [this] { OnSearchNow(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    resize(520, 300);
}

void CSearchSubtitleDlg::OnInitDialog() {
    words_->setPlainText(QFile::decodeName(QByteArray::fromStdString(SearchWordsText(ExtractSearchWords(entries_)))));
    sites_->clear();
    for (const SubtitleSite& site : kSubtitleSites) sites_->addItem(site.name);
    sites_->setCurrentIndex(0);
}

bool CSearchSubtitleDlg::OnSearchNow() {
    const int site = sites_->currentIndex();
    if (site < 0) return false;
    const std::string name = movieName_->text().toLocal8Bit().toStdString();
    const std::string address = SearchAddress(site, name);
    if (address.empty()) return false;
    LogLine("Search subtitles: %s", address.c_str());
    return ShellOpen(QString::fromStdString(address));
}

void CSearchSubtitleDlg::Run(const std::vector<VideoFileEntry>& entries, QWidget* parent) {
    CSearchSubtitleDlg dlg(entries, parent);
    dlg.OnInitDialog();
    dlg.exec();
}

}  // namespace kalvex

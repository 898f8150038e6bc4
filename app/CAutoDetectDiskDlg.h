#pragma once
#include <QDialog>
#include <cstdint>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace kalvex {

// One file system the first-run dialog offers: its mount point (with a
// trailing "/") and its free bytes.
struct DiskChoice {
    std::string root;
    int64_t freeBytes = 0;
};

// The file systems worth offering: mounted whole, a real (not a kernel or
// memory) file system, free space readable and above zero; mount order.
std::vector<DiskChoice> ListDiskChoices();

// The first-run dialog (143, "Choose a place to save temporary files"): lists
// the file systems with their free space, proposes a folder on the one with
// the most, lets the user pick another or browse. OK is the only way out.
class CAutoDetectDiskDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int64_t kWanted = 4294967296LL;  // 4 GiB

    explicit CAutoDetectDiskDlg(QWidget* parent = nullptr);
    // Fills the list and proposes a folder; runs before the dialog shows.
    void OnInitDialog(const std::vector<DiskChoice>& choices);

    QString Folder() const;
    // The folder proposed for a file system: its mount point + "dvd-vob/"
    // when the user can write there (that folder, or the mount point when
    // it does not exist yet); AppDataFolder + "dvd-vob/" on the one holding
    // "/" and on every one where the user cannot.
    static std::string FolderFor(const std::string& root);

public slots:
    void accept() override;  // OK takes the edit box's text
    void reject() override {}  // Escape and the close box do nothing

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void OnSelect(int row);
    void OnBrowse();

    QListWidget* list_;
    QLineEdit* folder_;
    QLabel* free_;
    QPushButton* browse_;
    QPushButton* ok_;
    std::vector<DiskChoice> choices_;
};

}  // namespace kalvex

#include "app/CAutoDetectDiskDlg.h"

#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

#include "convert/psp/FormatSize.h"
#include "common/ui/Dialogs.h"
#include "platform/storage/Storage.h"
#include "platform/system/Folders.h"
#include "resources/resource.h"

namespace kalvex {

std::vector<DiskChoice> ListDiskChoices() {
    // Kernel and memory file systems hold no place for video files.
    static const std::set<std::string> kPseudo = {
        "proc", "sysfs", "tmpfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "securityfs", "pstore",
        "debugfs", "tracefs", "mqueue", "hugetlbfs", "configfs", "fusectl", "bpf", "autofs",
        "binfmt_misc", "rpc_pipefs", "nsfs", "efivarfs", "ramfs", "squashfs", "selinuxfs", "fuse.portal"};
    std::vector<DiskChoice> out;
    std::set<std::string> seen;
    for (const auto& m : storage::ListMounts()) {
        if (m.root != "/" || kPseudo.count(m.fsType) || !seen.insert(m.mountPoint).second) continue;
        int64_t bytes = 0;
        if (storage::GetDiskFreeBytes(m.mountPoint, bytes) && bytes > 0) out.push_back({m.mountPoint, bytes});
    }
    return out;
}

namespace {
// True when the user may make files in the folder (it exists and is writable).
bool UserCanWriteIn(const std::string& folder) {
    struct stat st {};
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(folder.c_str(), W_OK | X_OK) == 0;
}
}  // namespace

std::string CAutoDetectDiskDlg::FolderFor(const std::string& root) {
    // The folder proposed must be one the user can make: on another file
    // system only when its folder exists for the user or its top may be
    // written (a separate /home, a system disk mounted elsewhere, may not);
    // otherwise under the user's own data folder.
    if (root != "/" && (UserCanWriteIn(root + "dvd-vob") || UserCanWriteIn(root))) return root + "dvd-vob/";
    return AppDataFolder() + "dvd-vob/";
}

CAutoDetectDiskDlg::CAutoDetectDiskDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(res::ObjectName(res::IDD_AUTO_DETECT_DISK));
    setWindowTitle("Choose a place to save temporary files");
    auto* layout = new QVBoxLayout(this);
    list_ = new QListWidget(this);
    list_->setObjectName(res::ObjectName(res::IDC_DISK_LIST));
    folder_ = new QLineEdit(this);
    folder_->setObjectName(res::ObjectName(res::IDC_DISK_FOLDER));
    free_ = new QLabel(this);
    free_->setObjectName(res::ObjectName(res::IDC_DISK_FREE));
    browse_ = new QPushButton("&Browse...", this);
    browse_->setObjectName(res::ObjectName(res::IDC_DISK_BROWSE));
    ok_ = new QPushButton("OK", this);
    ok_->setObjectName(res::ObjectName(1));
    ok_->setDefault(true);
    layout->addWidget(list_);
    layout->addWidget(folder_);
    layout->addWidget(free_);
    layout->addWidget(browse_);
    layout->addWidget(ok_);
    connect(list_, &QListWidget::currentRowChanged, this, &CAutoDetectDiskDlg::OnSelect);
    connect(browse_, &QPushButton::clicked, this, &CAutoDetectDiskDlg::OnBrowse);
    connect(ok_, &QPushButton::clicked, this, &CAutoDetectDiskDlg::accept);
}

void CAutoDetectDiskDlg::OnInitDialog(const std::vector<DiskChoice>& choices) {
    choices_ = choices;
    int best = -1;
    list_->blockSignals(true);
    list_->clear();
    for (size_t i = 0; i < choices_.size(); ++i) {
        list_->addItem(QString("%1 - %2").arg(QString::fromStdString(choices_[i].root),
                                              QString::fromStdString(FormatSize(choices_[i].freeBytes))));
        // Strictly more: on equal space the earlier one stays.
        if (best < 0 || choices_[i].freeBytes > choices_[size_t(best)].freeBytes) best = int(i);
    }
    list_->blockSignals(false);
    if (best < 0 || choices_[size_t(best)].freeBytes <= kWanted)
        MessageBox("We need a disk that has 4G bytes or more free space.");
    if (best < 0) return;
    const DiskChoice& c = choices_[size_t(best)];
    folder_->setText(QString::fromStdString(FolderFor(c.root)));
    free_->setText("Free Space: " + QString::fromStdString(FormatSize(c.freeBytes)));
    list_->blockSignals(true);
    list_->setCurrentRow(best);
    list_->blockSignals(false);
}

void CAutoDetectDiskDlg::OnSelect(int row) {
    if (row < 0 || row >= int(choices_.size())) return;
    const std::string& root = choices_[size_t(row)].root;
    folder_->setText(QString::fromStdString(FolderFor(root)));
    // The line's text after its "<mount point> -".
    free_->setText("Free Space:" + list_->item(row)->text().mid(int(root.size()) + 2));
}

void CAutoDetectDiskDlg::OnBrowse() {
    QString chosen = FolderDialog("Choose destination directory", folder_->text());
    if (chosen.isEmpty()) return;
    if (!chosen.endsWith('/')) chosen += '/';
    folder_->setText(chosen);
    int64_t bytes = 0;
    storage::GetDiskFreeBytesNearest(chosen.toStdString(), bytes);
    free_->setText("Disk Free Space = " + QString::fromStdString(FormatSize(bytes)));
    if (bytes < kWanted)
        MessageBox("We strongly recommend you choose a driver that has 4G bytes more free space for destination directory.");
}

QString CAutoDetectDiskDlg::Folder() const { return folder_->text(); }

void CAutoDetectDiskDlg::accept() { QDialog::accept(); }

void CAutoDetectDiskDlg::closeEvent(QCloseEvent* e) { e->ignore(); }

}  // namespace kalvex

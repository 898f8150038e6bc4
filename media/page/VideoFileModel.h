#pragma once
// The Video Files page's list as a table model: the one VideoFileList of the
// page, with its three columns (File Path, Begin, Length). Every change of
// the list goes through the model, which tells its views; a view never
// holds entries of its own.
#include <QAbstractTableModel>
#include <string>
#include <vector>

#include "media/VideoFileList.h"

namespace kalvex {

class VideoFileModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { PathColumn, BeginColumn, LengthColumn, ColumnCount };

    explicit VideoFileModel(QObject* parent = nullptr);

    // The cells' texts: the full path, the start time and the trim length in
    // the TimeText format.
    static QString CellText(const VideoFileEntry& entry, int column);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Reading, as VideoFileList.
    int Count() const { return list_.Count(); }
    const VideoFileEntry& At(int index) const { return list_.At(index); }
    // For in-place edits; an edit of the times shown must be followed by
    // Refresh(index).
    VideoFileEntry& At(int index) { return list_.At(index); }
    std::vector<VideoFileEntry> Entries() const { return list_.Entries(); }
    bool Save(const std::string& path) const { return list_.Save(path); }

    // Changes, each told to the views.
    int Load(const std::string& path);
    void Insert(int index, const VideoFileEntry& entry);  // index clamped to 0..Count()
    void Append(const VideoFileEntry& entry) { Insert(Count(), entry); }
    bool Remove(int index);
    void Clear();
    bool MoveUp(std::vector<int>& selected);    // as VideoFileList::MoveUp
    bool MoveDown(std::vector<int>& selected);  // as VideoFileList::MoveDown
    // The entry's cells changed (its times were edited).
    void Refresh(int index);

private:
    VideoFileList list_;
};

}  // namespace kalvex

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
    EntryTracks& Tracks(int index) { return list_.Tracks(index); }
    const EntryTracks& Tracks(int index) const { return list_.Tracks(index); }
    std::vector<TrackChoice> TrackChoices() const { return list_.TrackChoices(); }
    const VideoFileList& List() const { return list_; }
    VideoFileList& List() { return list_; }
    bool Save(const std::string& path) const { return list_.Save(path); }

    // Changes, each told to the views.
    int Load(const std::string& path);
    // index clamped to 0..Count()
    void Insert(int index, const VideoFileEntry& entry, const EntryTracks& tracks = {});
    void Append(const VideoFileEntry& entry, const EntryTracks& tracks = {}) { Insert(Count(), entry, tracks); }
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

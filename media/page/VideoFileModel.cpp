#include "media/page/VideoFileModel.h"

#include <QFile>
#include <algorithm>

#include "common/AppSettings.h"
#include "media/TimeText.h"

namespace kalvex {

namespace {

QString Text(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

// Length of the trim range; wraps instead of overflowing on a damaged record.
int64_t RangeLength(const VideoFileEntry& e) { return int64_t(uint64_t(e.endTime) - uint64_t(e.startTime)); }

}  // namespace

VideoFileModel::VideoFileModel(QObject* parent) : QAbstractTableModel(parent) {}

QString VideoFileModel::CellText(const VideoFileEntry& e, int column) {
    switch (column) {
        case PathColumn: return Text(FieldText(e.fullPath));
        case BeginColumn: return QString::fromStdString(TimeText(e.startTime, AppSettings.timeFormat));
        case LengthColumn: return QString::fromStdString(TimeText(RangeLength(e), AppSettings.timeFormat));
        default: return {};
    }
}

int VideoFileModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : list_.Count(); }

int VideoFileModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant VideoFileModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= list_.Count()) return {};
    return CellText(list_.At(index.row()), index.column());
}

QVariant VideoFileModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
    switch (section) {
        case PathColumn: return QStringLiteral("File Path");
        case BeginColumn: return QStringLiteral("Begin");
        case LengthColumn: return QStringLiteral("Length");
        default: return {};
    }
}

int VideoFileModel::Load(const std::string& path) {
    beginResetModel();
    const int loaded = list_.Load(path);
    endResetModel();
    return loaded;
}

void VideoFileModel::Insert(int index, const VideoFileEntry& entry, const EntryTracks& tracks) {
    index = std::clamp(index, 0, list_.Count());
    beginInsertRows({}, index, index);
    list_.Insert(index, entry, tracks);
    endInsertRows();
}

bool VideoFileModel::Remove(int index) {
    if (index < 0 || index >= list_.Count()) return false;
    beginRemoveRows({}, index, index);
    list_.Remove(index);
    endRemoveRows();
    return true;
}

void VideoFileModel::Clear() {
    beginResetModel();
    list_.Clear();
    endResetModel();
}

bool VideoFileModel::MoveUp(std::vector<int>& selected) {
    if (!list_.MoveUp(selected)) return false;
    // Each moved entry traded places with its neighbour below.
    for (int i : selected) emit dataChanged(index(i, 0), index(i + 1, ColumnCount - 1));
    return true;
}

bool VideoFileModel::MoveDown(std::vector<int>& selected) {
    if (!list_.MoveDown(selected)) return false;
    for (int i : selected) emit dataChanged(index(i - 1, 0), index(i, ColumnCount - 1));
    return true;
}

void VideoFileModel::Refresh(int row) {
    if (row < 0 || row >= list_.Count()) return;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

}  // namespace kalvex

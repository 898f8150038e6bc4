#pragma once
// Reads a list control's rows as the user sees them: through the view's
// model, so a test asserts what is shown, not how the page stores it.
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QString>

namespace kalvex::test {

inline int RowCount(const QAbstractItemView* view) { return view->model() ? view->model()->rowCount() : 0; }

// Empty for a cell that is not there.
inline QString CellText(const QAbstractItemView* view, int row, int column) {
    return view->model() ? view->model()->index(row, column).data().toString() : QString();
}

inline QString HeaderText(const QAbstractItemView* view, int column) {
    return view->model() ? view->model()->headerData(column, Qt::Horizontal).toString() : QString();
}

}  // namespace kalvex::test

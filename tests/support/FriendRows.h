#pragma once

#include <QComboBox>
#include <QAbstractItemView>
#include <QString>

#include <utility>
#include <vector>

// What a friend list shows: each row's text and the id it carries.
using Rows = std::vector<std::pair<QString, qint32>>;

inline Rows rowsOf(const QAbstractItemView* list) {
    Rows rows;
    const QAbstractItemModel* model = list->model();
    for (int i = 0; i < model->rowCount(); ++i) {
        const QModelIndex row = model->index(i, 0);
        rows.emplace_back(row.data().toString(), row.data(Qt::UserRole).value<qint32>());
    }
    return rows;
}

// The row that shows `text`; invalid when none does.
inline QModelIndex rowShowing(const QAbstractItemView* list, const QString& text) {
    const QModelIndexList found =
        list->model()->match(list->model()->index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchExactly);
    return found.isEmpty() ? QModelIndex() : found.first();
}

inline Rows rowsOf(const QComboBox* list) {
    Rows rows;
    for (int i = 0; i < list->count(); ++i) {
        rows.emplace_back(list->itemText(i), list->itemData(i).value<qint32>());
    }
    return rows;
}

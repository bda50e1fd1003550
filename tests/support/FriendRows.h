#pragma once

#include <QComboBox>
#include <QListWidget>
#include <QString>

#include <utility>
#include <vector>

// What a friend list shows: each row's text and the id it carries.
using Rows = std::vector<std::pair<QString, qint32>>;

inline Rows rowsOf(const QListWidget* list) {
    Rows rows;
    for (int i = 0; i < list->count(); ++i) {
        rows.emplace_back(list->item(i)->text(), list->item(i)->data(Qt::UserRole).value<qint32>());
    }
    return rows;
}

inline Rows rowsOf(const QComboBox* list) {
    Rows rows;
    for (int i = 0; i < list->count(); ++i) {
        rows.emplace_back(list->itemText(i), list->itemData(i).value<qint32>());
    }
    return rows;
}

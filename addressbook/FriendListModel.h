#pragma once

#include "addressbook/ab_friend.h"

#include <QAbstractListModel>
#include <QList>
#include <QString>

#include <vector>

// The rows of a friend list (the address book window's list, the main window's drop-down): one per
// friend, in the book's order, its text the name and its data (Qt::UserRole) the id as a 32-bit
// integer. A copy made when the list is filled, so that the list keeps showing what it was filled
// with until it is filled again.
class FriendListModel : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    // Replaces every row at once: one reset, which the view and a screen reader each take as one
    // change, not one per row.
    void setFriends(const std::vector<ab_friend>& friends);

    qint32 idAt(int row) const { return m_ids.at(row); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    QList<QString> m_names;
    QList<qint32> m_ids;
};

#include "addressbook/FriendListModel.h"

void FriendListModel::setFriends(const std::vector<ab_friend>& friends) {
    beginResetModel();
    m_names.clear();
    m_ids.clear();
    m_names.reserve(static_cast<qsizetype>(friends.size()));
    m_ids.reserve(static_cast<qsizetype>(friends.size()));
    for (const ab_friend& entry : friends) {
        m_names.append(QString::fromStdString(entry.name));
        m_ids.append(entry.id);
    }
    endResetModel();
}

int FriendListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_names.size());
}

QVariant FriendListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_names.size()) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        return m_names.at(index.row());
    case Qt::UserRole:
        return QVariant::fromValue<qint32>(m_ids.at(index.row()));
    default:
        return {};
    }
}

Qt::ItemFlags FriendListModel::flags(const QModelIndex& index) const {
    // What a list box row is: picked, never edited, dragged or checked.
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren : Qt::NoItemFlags;
}

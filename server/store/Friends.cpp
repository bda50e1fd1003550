// The friends table: each user's address book.

#include "server/store/ReadPool.h"
#include "server/store/Store.h"

namespace server {

namespace {

Friend ReadFriend(Statement& stmt) {
    return Friend{stmt.columnInt64(0), stmt.columnText(1), stmt.columnText(2), stmt.columnText(3)};
}

} // namespace

std::vector<Friend> Store::friends(std::int64_t userId) {
    ReadConnection connection = reading();
    Query stmt =
        connection.db().prepared("SELECT id, name, number, carrier FROM friends WHERE user_id = ?1 ORDER BY id");
    stmt->bind(1, userId);
    std::vector<Friend> result;
    while (stmt->step()) {
        result.push_back(ReadFriend(*stmt));
    }
    return result;
}

std::optional<Friend> Store::findFriend(std::int64_t userId, std::int64_t friendId) {
    ReadConnection connection = reading();
    Query stmt =
        connection.db().prepared("SELECT id, name, number, carrier FROM friends WHERE user_id = ?1 AND id = ?2");
    stmt->bind(1, userId).bind(2, friendId);
    if (!stmt->step()) {
        return std::nullopt;
    }
    return ReadFriend(*stmt);
}

std::optional<std::int64_t> Store::insertFriend(std::int64_t userId, const Friend& entry) {
    Query stmt =
        m_writer.prepared("INSERT INTO friends(user_id, name, number, carrier) VALUES (?1, ?2, ?3, ?4) RETURNING id");
    stmt->bind(1, userId).bind(2, entry.name).bind(3, entry.number).bind(4, entry.carrier).step();
    const std::int64_t id = stmt->columnInt64(0);
    if (id > kMaxFriendId) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::int64_t> Store::addFriend(std::int64_t userId, const Friend& entry) {
    return write([&]() -> std::optional<std::int64_t> {
        Transaction transaction(m_writer);
        lockUser(userId);
        Query count = m_writer.prepared("SELECT count(*) FROM friends WHERE user_id = ?1");
        count->bind(1, userId);
        if (count->step() && count->columnInt64(0) >= kMaxFriendsPerUser) {
            return std::nullopt;
        }
        count->reset();
        const auto id = insertFriend(userId, entry);
        if (!id) {
            return std::nullopt; // the transaction rolls the insert back
        }
        transaction.commit();
        return id;
    });
}

bool Store::updateFriend(std::int64_t userId, const Friend& entry) {
    return write([&] {
        m_writer.prepared("UPDATE friends SET name = ?1, number = ?2, carrier = ?3 WHERE user_id = ?4 AND id = ?5")
            ->bind(1, entry.name)
            .bind(2, entry.number)
            .bind(3, entry.carrier)
            .bind(4, userId)
            .bind(5, entry.id)
            .run();
        return m_writer.changes() == 1;
    });
}

bool Store::deleteFriend(std::int64_t userId, std::int64_t friendId) {
    return write([&] {
        m_writer.prepared("DELETE FROM friends WHERE user_id = ?1 AND id = ?2")
            ->bind(1, userId)
            .bind(2, friendId)
            .run();
        return m_writer.changes() == 1;
    });
}

} // namespace server

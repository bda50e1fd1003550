#include "Store.h"

#include "DemoData.h"

#include <chrono>
#include <ctime>

namespace server {

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE users (
    id       INTEGER PRIMARY KEY AUTOINCREMENT,
    login    TEXT NOT NULL UNIQUE,
    password TEXT NOT NULL,
    created  TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now'))
);
CREATE TABLE friends (
    id      INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    name    TEXT NOT NULL,
    number  TEXT NOT NULL,
    carrier TEXT NOT NULL
);
CREATE INDEX friends_by_user ON friends(user_id, id);
CREATE TABLE outbox (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id   INTEGER NOT NULL REFERENCES users(id),
    friend_id INTEGER,
    number    TEXT NOT NULL,
    carrier   TEXT NOT NULL,
    subject   TEXT NOT NULL,
    body      TEXT NOT NULL,
    sent_at   TEXT NOT NULL
);
)sql";

// The outbox is also the delivery queue. Added to stores of every version that lack them;
// messages accepted before there was delivery stay "off" and are never sent.
constexpr const char* kDeliveryColumns = R"sql(
ALTER TABLE outbox ADD COLUMN state TEXT NOT NULL DEFAULT 'off';
ALTER TABLE outbox ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE outbox ADD COLUMN next_attempt TEXT;
ALTER TABLE outbox ADD COLUMN last_reply TEXT;
CREATE INDEX outbox_queue ON outbox(state, next_attempt);
)sql";

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

User ReadUser(const Statement& stmt) { return User{stmt.columnInt64(0), stmt.columnText(1), stmt.columnText(2)}; }

Friend ReadFriend(const Statement& stmt) {
    return Friend{stmt.columnInt64(0), stmt.columnText(1), stmt.columnText(2), stmt.columnText(3)};
}

} // namespace

Store::Store(const std::string& path) : m_db(path) {
    m_db.execute("PRAGMA foreign_keys = ON");
    createSchemaOnFirstStart();
    addDeliveryColumns();
    addCodeMessages();
}

// The account pages' codes go through the outbox too. They belong to no user (a registration
// code is sent before there is one) and must not outlive the code, so the outbox is rebuilt once
// with user_id optional and an expiry.
constexpr const char* kCodeMessages = R"sql(
CREATE TABLE outbox_rebuilt (
    id           INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id      INTEGER REFERENCES users(id),
    friend_id    INTEGER,
    number       TEXT NOT NULL,
    carrier      TEXT NOT NULL,
    subject      TEXT NOT NULL,
    body         TEXT NOT NULL,
    sent_at      TEXT NOT NULL,
    state        TEXT NOT NULL DEFAULT 'off',
    attempts     INTEGER NOT NULL DEFAULT 0,
    next_attempt TEXT,
    last_reply   TEXT,
    expires_at   TEXT
);
INSERT INTO outbox_rebuilt(id, user_id, friend_id, number, carrier, subject, body, sent_at, state, attempts,
                           next_attempt, last_reply)
    SELECT id, user_id, friend_id, number, carrier, subject, body, sent_at, state, attempts, next_attempt, last_reply
    FROM outbox;
DROP TABLE outbox;
ALTER TABLE outbox_rebuilt RENAME TO outbox;
CREATE INDEX outbox_queue ON outbox(state, next_attempt);
)sql";

void Store::addCodeMessages() {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    {
        Statement columns(m_db, "SELECT 1 FROM pragma_table_info('outbox') WHERE name = 'expires_at'");
        if (columns.step()) {
            return;
        }
    }
    m_db.execute(kCodeMessages);
    transaction.commit();
}

void Store::queueCode(std::string_view number, std::string_view carrier, std::string_view subject,
                      std::string_view body, std::int64_t expiresAt) {
    std::lock_guard lock(m_mutex);
    const std::string now = UtcNow();
    const std::string expires = UtcText(std::chrono::system_clock::from_time_t(static_cast<std::time_t>(expiresAt)));
    Statement stmt(m_db, "INSERT INTO outbox(user_id, number, carrier, subject, body, sent_at, state, next_attempt, "
                         "expires_at) VALUES (NULL, ?1, ?2, ?3, ?4, ?5, 'queued', ?5, ?6)");
    stmt.bind(1, number).bind(2, carrier).bind(3, subject).bind(4, body).bind(5, now).bind(6, expires).run();
}

void Store::retireCodes(const std::string& now, std::optional<std::int64_t> id) {
    // A code's text leaves the store once it is sent or failed, and a code that would only be
    // tried again once it has expired is not tried at all. An empty `now` expires nothing by
    // time alone (every time text sorts after it).
    Statement stmt(m_db, "UPDATE outbox SET body = '', "
                         "state = CASE WHEN state = 'queued' THEN 'failed' ELSE state END, "
                         "last_reply = CASE WHEN state = 'queued' THEN 'expired before delivery: ' || "
                         "coalesce(last_reply, 'no attempt') ELSE last_reply END, next_attempt = NULL "
                         "WHERE expires_at IS NOT NULL AND body != '' AND (?2 IS NULL OR id = ?2) "
                         "AND (state != 'queued' OR next_attempt >= expires_at OR expires_at <= ?1)");
    stmt.bind(1, now);
    if (id) {
        stmt.bind(2, *id);
    } else {
        stmt.bindNull(2);
    }
    stmt.run();
}

void Store::addDeliveryColumns() {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    {
        Statement columns(m_db, "SELECT 1 FROM pragma_table_info('outbox') WHERE name = 'state'");
        if (columns.step()) {
            return;
        }
    }
    m_db.execute(kDeliveryColumns);
    transaction.commit();
}

void Store::createSchemaOnFirstStart() {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement version(m_db, "PRAGMA user_version");
    version.step();
    const std::int64_t current = version.columnInt64(0);
    if (current == kSchemaVersion) {
        return;
    }
    if (current != 0) {
        throw SqliteError("SQLite: the store was written by another version of the service (schema version " +
                          std::to_string(current) + ")");
    }
    m_db.execute(kSchema);

    Statement addUser(m_db, "INSERT INTO users(login, password) VALUES (?1, ?2)");
    addUser.bind(1, kDemoLogin).bind(2, kDemoPassword).run();
    const std::int64_t demoUser = m_db.lastInsertRowId();
    for (const DemoFriend& demo : kDemoFriends) {
        insertFriend(demoUser, Friend{0, std::string(demo.name), std::string(demo.number), std::string(demo.carrier)});
    }
    m_db.execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    transaction.commit();
}

std::optional<User> Store::findUserByLogin(std::string_view login) {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db, "SELECT id, login, password FROM users WHERE login = ?1");
    stmt.bind(1, login);
    if (!stmt.step()) {
        return std::nullopt;
    }
    return ReadUser(stmt);
}

std::optional<User> Store::findUser(std::int64_t userId) {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db, "SELECT id, login, password FROM users WHERE id = ?1");
    stmt.bind(1, userId);
    if (!stmt.step()) {
        return std::nullopt;
    }
    return ReadUser(stmt);
}

std::optional<std::int64_t> Store::registerUser(std::string_view login, std::string_view password) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement taken(m_db, "SELECT 1 FROM users WHERE login = ?1");
    taken.bind(1, login);
    if (taken.step()) {
        return std::nullopt;
    }
    Statement add(m_db, "INSERT INTO users(login, password) VALUES (?1, ?2)");
    add.bind(1, login).bind(2, password).run();
    const std::int64_t id = m_db.lastInsertRowId();
    transaction.commit();
    return id;
}

bool Store::setPassword(std::int64_t userId, std::string_view password) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement stmt(m_db, "UPDATE users SET password = ?1 WHERE id = ?2");
    stmt.bind(1, password).bind(2, userId).run();
    if (m_db.changes() != 1) {
        return false;
    }
    transaction.commit();
    return true;
}

std::vector<Friend> Store::friends(std::int64_t userId) {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db, "SELECT id, name, number, carrier FROM friends WHERE user_id = ?1 ORDER BY id");
    stmt.bind(1, userId);
    std::vector<Friend> result;
    while (stmt.step()) {
        result.push_back(ReadFriend(stmt));
    }
    return result;
}

std::optional<Friend> Store::findFriend(std::int64_t userId, std::int64_t friendId) {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db, "SELECT id, name, number, carrier FROM friends WHERE user_id = ?1 AND id = ?2");
    stmt.bind(1, userId).bind(2, friendId);
    if (!stmt.step()) {
        return std::nullopt;
    }
    return ReadFriend(stmt);
}

std::optional<std::int64_t> Store::insertFriend(std::int64_t userId, const Friend& entry) {
    Statement add(m_db, "INSERT INTO friends(user_id, name, number, carrier) VALUES (?1, ?2, ?3, ?4)");
    add.bind(1, userId).bind(2, entry.name).bind(3, entry.number).bind(4, entry.carrier).run();
    const std::int64_t id = m_db.lastInsertRowId();
    if (id > kMaxFriendId) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::int64_t> Store::addFriend(std::int64_t userId, const Friend& entry) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    const auto id = insertFriend(userId, entry);
    if (!id) {
        return std::nullopt; // the transaction rolls the insert back
    }
    transaction.commit();
    return id;
}

bool Store::updateFriend(std::int64_t userId, const Friend& entry) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement stmt(m_db, "UPDATE friends SET name = ?1, number = ?2, carrier = ?3 WHERE user_id = ?4 AND id = ?5");
    stmt.bind(1, entry.name).bind(2, entry.number).bind(3, entry.carrier).bind(4, userId).bind(5, entry.id).run();
    if (m_db.changes() != 1) {
        return false;
    }
    transaction.commit();
    return true;
}

bool Store::deleteFriend(std::int64_t userId, std::int64_t friendId) {
    std::lock_guard lock(m_mutex);
    Transaction transaction(m_db);
    Statement stmt(m_db, "DELETE FROM friends WHERE user_id = ?1 AND id = ?2");
    stmt.bind(1, userId).bind(2, friendId).run();
    if (m_db.changes() != 1) {
        return false;
    }
    transaction.commit();
    return true;
}

OutboxMessage Store::addToOutbox(OutboxMessage message) {
    std::lock_guard lock(m_mutex);
    message.sentAt = UtcNow();
    Transaction transaction(m_db);
    const bool queued = message.state == delivery::kQueued;
    message.state = queued ? delivery::kQueued : delivery::kOff;
    message.attempts = 0;
    message.nextAttempt = queued ? message.sentAt : std::string();
    message.lastReply.clear();
    Statement stmt(m_db, "INSERT INTO outbox(user_id, friend_id, number, carrier, subject, body, sent_at, state, "
                         "next_attempt) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    stmt.bind(1, message.userId);
    if (message.friendId != 0) {
        stmt.bind(2, message.friendId);
    } else {
        stmt.bindNull(2);
    }
    stmt.bind(3, message.number).bind(4, message.carrier).bind(5, message.subject);
    stmt.bind(6, message.body).bind(7, message.sentAt).bind(8, message.state);
    if (queued) {
        stmt.bind(9, message.nextAttempt);
    } else {
        stmt.bindNull(9);
    }
    stmt.run();
    message.id = m_db.lastInsertRowId();
    transaction.commit();
    return message;
}

std::vector<OutboxMessage> Store::outbox() {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db, "SELECT id, user_id, friend_id, number, carrier, subject, body, sent_at, state, attempts, "
                         "next_attempt, last_reply FROM outbox ORDER BY id");
    std::vector<OutboxMessage> result;
    while (stmt.step()) {
        OutboxMessage message;
        message.id = stmt.columnInt64(0);
        message.userId = stmt.columnInt64(1);
        message.friendId = stmt.columnIsNull(2) ? 0 : stmt.columnInt64(2);
        message.number = stmt.columnText(3);
        message.carrier = stmt.columnText(4);
        message.subject = stmt.columnText(5);
        message.body = stmt.columnText(6);
        message.sentAt = stmt.columnText(7);
        message.state = stmt.columnText(8);
        message.attempts = static_cast<int>(stmt.columnInt64(9));
        message.nextAttempt = stmt.columnIsNull(10) ? std::string() : stmt.columnText(10);
        message.lastReply = stmt.columnIsNull(11) ? std::string() : stmt.columnText(11);
        result.push_back(std::move(message));
    }
    return result;
}

std::optional<QueuedMessage> Store::nextDue(TimePoint now) {
    std::lock_guard lock(m_mutex);
    retireCodes(UtcText(now), std::nullopt);
    // The times are all written alike, so text order is time order.
    Statement stmt(m_db, "SELECT id, number, carrier, subject, body, sent_at, attempts FROM outbox "
                         "WHERE state = 'queued' AND next_attempt <= ?1 ORDER BY next_attempt, id LIMIT 1");
    stmt.bind(1, UtcText(now));
    if (!stmt.step()) {
        return std::nullopt;
    }
    return QueuedMessage{stmt.columnInt64(0),
                         stmt.columnText(1),
                         stmt.columnText(2),
                         stmt.columnText(3),
                         stmt.columnText(4),
                         stmt.columnText(5),
                         static_cast<int>(stmt.columnInt64(6))};
}

std::optional<TimePoint> Store::nextAttempt() {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db, "SELECT min(next_attempt) FROM outbox WHERE state = 'queued'");
    if (!stmt.step() || stmt.columnIsNull(0)) {
        return std::nullopt;
    }
    return ParseUtcText(stmt.columnText(0));
}

void Store::setDeliveryState(std::int64_t id, std::string_view state, int attempts, const std::string* next,
                             std::string_view reply) {
    std::lock_guard lock(m_mutex);
    Statement stmt(m_db,
                   "UPDATE outbox SET state = ?1, attempts = ?2, next_attempt = ?3, last_reply = ?4 WHERE id = ?5");
    stmt.bind(1, state).bind(2, std::int64_t{attempts});
    if (next != nullptr) {
        stmt.bind(3, *next);
    } else {
        stmt.bindNull(3);
    }
    stmt.bind(4, reply).bind(5, id).run();
    retireCodes({}, id);
}

void Store::markSent(std::int64_t id, int attempts, std::string_view reply) {
    setDeliveryState(id, delivery::kSent, attempts, nullptr, reply);
}

void Store::markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) {
    const std::string nextText = UtcText(next);
    setDeliveryState(id, delivery::kQueued, attempts, &nextText, reply);
}

void Store::markFailed(std::int64_t id, int attempts, std::string_view reply) {
    setDeliveryState(id, delivery::kFailed, attempts, nullptr, reply);
}

} // namespace server

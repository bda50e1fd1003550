#include "server/store/Store.h"

#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/store/XmlText.h"

#include <atomic>
#include <ctime>

namespace server {

namespace {

// 1: plain-text passwords. 2: argon2id hashes, sessions, stored texts valid for XML 1.0.
// 3: the outbox is the delivery queue.
constexpr int kSchemaVersion = 3;

constexpr const char* kSchemaVersion1 = R"sql(
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

// The session's token itself is not kept, only its digest (Passwords.h).
constexpr const char* kSchemaVersion2 = R"sql(
CREATE TABLE sessions (
    digest    TEXT PRIMARY KEY,
    user_id   INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    last_used INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX sessions_by_user ON sessions(user_id);
CREATE INDEX outbox_by_user_time ON outbox(user_id, sent_at);
)sql";

// Messages accepted before there was delivery stay "off" and are never sent.
constexpr const char* kSchemaVersion3 = R"sql(
ALTER TABLE outbox ADD COLUMN state TEXT NOT NULL DEFAULT 'off';
ALTER TABLE outbox ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE outbox ADD COLUMN next_attempt TEXT;
ALTER TABLE outbox ADD COLUMN last_reply TEXT;
CREATE INDEX outbox_queue ON outbox(state, next_attempt);
)sql";

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
CREATE INDEX outbox_by_user_time ON outbox(user_id, sent_at);
)sql";

// A session's last use is written at most this often, so that reading with a token is not a
// write each time.
constexpr std::int64_t kSessionTouchSeconds = 60;

Friend ReadFriend(Statement& stmt) {
    return Friend{stmt.columnInt64(0), stmt.columnText(1), stmt.columnText(2), stmt.columnText(3)};
}

bool IsTokenShaped(std::string_view token) {
    if (token.size() != 32) {
        return false;
    }
    for (const char c : token) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string UtcText(std::int64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A connection for reading: one of the pool's, or the only one of an in-memory store.
class Store::ReadConnection {
public:
    explicit ReadConnection(Store& store) : m_store(store) {
        if (store.m_inMemory) {
            m_lock = std::unique_lock(store.m_writeMutex);
        } else {
            m_reader = store.takeReader();
        }
    }
    ~ReadConnection() {
        if (m_reader) {
            m_store.giveBackReader(std::move(m_reader));
        }
    }
    ReadConnection(const ReadConnection&) = delete;
    ReadConnection& operator=(const ReadConnection&) = delete;

    Database& db() { return m_reader ? *m_reader : m_store.m_writer; }

private:
    Store& m_store;
    std::unique_lock<std::mutex> m_lock;
    std::unique_ptr<Database> m_reader;
};

// Moves the write-ahead log into the database file on a thread and connection of its own. SQLite
// would otherwise do it inside the commit that fills the log, syncing the disk twice while every
// other write waits.
//
// The log starts over only when a write begins with every frame copied and no read still using
// it. Under steady load some write always lands during the copy, and the log would grow for as
// long as the load lasts (gigabytes in a minute), every read searching all of it. So the bulk is
// copied while writes go on, and the next commit copies the few frames written meanwhile, holding
// the write lock it already has until the reads in progress are done: the write after it starts
// the log over.
class Store::Checkpointer {
public:
    explicit Checkpointer(const std::string& path) : m_db(path) {
        // A connection learns that the file is in WAL mode when it first reads it; until then a
        // checkpoint does nothing at all.
        m_db.execute("PRAGMA journal_mode = WAL");
        m_thread = std::thread([this] { run(); });
    }
    ~Checkpointer() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // SQLite's hook after each commit of the writing connection, with the frames now in the log.
    static int onCommit(void* self, sqlite3* writer, const char*, int frames) {
        auto* checkpointer = static_cast<Checkpointer*>(self);
        if (checkpointer->m_finishDue.exchange(false)) {
            sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
        } else if (frames >= kFramesBeforeCheckpoint) {
            {
                std::lock_guard lock(checkpointer->m_mutex);
                if (checkpointer->m_due) {
                    return SQLITE_OK;
                }
                checkpointer->m_due = true;
            }
            checkpointer->m_wake.notify_one();
        }
        return SQLITE_OK;
    }

    // Reads take microseconds: a connection that waits for them does so in short steps rather
    // than SQLite's first millisecond.
    static int waitBriefly(void*, int count) {
        constexpr int kTries = 50000; // about 5 s
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        return count < kTries ? 1 : 0;
    }

private:
    static constexpr int kFramesBeforeCheckpoint = 1000; // SQLite's own default
    static constexpr int kMostPasses = 4;
    static constexpr int kFramesLeftToCommit = 64; // well under a millisecond's copy

    void run() {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            m_wake.wait(lock, [this] { return m_due || m_stopping; });
            if (m_stopping) {
                break;
            }
            lock.unlock();
            // Each pass copies what the one before left behind; under load that shrinks quickly.
            int before = 0;
            int logged = 0;
            int passes = 0;
            do {
                before = logged;
                sqlite3_wal_checkpoint_v2(m_db.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, nullptr);
            } while (++passes < kMostPasses && logged - before > kFramesLeftToCommit);
            m_finishDue = true;
            lock.lock();
            m_due = false; // commits during the copy asked for what has just been done
        }
    }

    Database m_db;
    std::atomic<bool> m_finishDue = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_due = false;
    bool m_stopping = false;
    std::thread m_thread;
};

Store::Store(const std::string& path, StoreSettings settings)
    : m_path(path), m_inMemory(path == ":memory:" || path.empty()), m_settings(std::move(settings)), m_writer(path) {
    m_writer.execute("PRAGMA foreign_keys = ON");
    if (!m_inMemory) {
        // WAL: readers see the last commit while a write goes on. NORMAL: a commit is not synced to
        // disk on its own, only at checkpoints; a power cut may lose the last commits but never
        // corrupts the file.
        m_writer.execute("PRAGMA journal_mode = WAL");
        m_writer.execute("PRAGMA synchronous = NORMAL");
    }
    openOrUpgrade();
    addCodeMessages();
    if (!m_inMemory) {
        m_checkpointer = std::make_unique<Checkpointer>(path);
        sqlite3_busy_handler(m_writer.handle(), &Checkpointer::waitBriefly, nullptr);
        sqlite3_wal_hook(m_writer.handle(), &Checkpointer::onCommit, m_checkpointer.get());
    }
}

void Store::addCodeMessages() {
    std::lock_guard lock(m_writeMutex);
    {
        Statement columns(m_writer, "SELECT 1 FROM pragma_table_info('outbox') WHERE name = 'expires_at'");
        if (columns.step()) {
            return;
        }
    }
    Transaction transaction(m_writer);
    m_writer.execute(kCodeMessages);
    transaction.commit();
}

void Store::queueCode(std::string_view number, std::string_view carrier, std::string_view subject,
                      std::string_view body, std::int64_t expiresAt) {
    const std::string queuedAt = UtcText(now());
    std::lock_guard lock(m_writeMutex);
    m_writer
        .prepared("INSERT INTO outbox(user_id, number, carrier, subject, body, sent_at, state, next_attempt, "
                  "expires_at) VALUES (NULL, ?1, ?2, ?3, ?4, ?5, 'queued', ?5, ?6)")
        ->bind(1, number)
        .bind(2, carrier)
        .bind(3, subject)
        .bind(4, body)
        .bind(5, queuedAt)
        .bind(6, UtcText(expiresAt))
        .run();
}

void Store::retireCodes(const std::string& now, std::optional<std::int64_t> id) {
    // A code's text leaves the store once it is sent or failed, and a code that would only be
    // tried again once it has expired is not tried at all. An empty `now` expires nothing by
    // time alone (every time text sorts after it).
    Query stmt = m_writer.prepared("UPDATE outbox SET body = '', "
                                   "state = CASE WHEN state = 'queued' THEN 'failed' ELSE state END, "
                                   "last_reply = CASE WHEN state = 'queued' THEN 'expired before delivery: ' || "
                                   "coalesce(last_reply, 'no attempt') ELSE last_reply END, next_attempt = NULL "
                                   "WHERE expires_at IS NOT NULL AND body != '' AND (?2 IS NULL OR id = ?2) "
                                   "AND (state != 'queued' OR next_attempt >= expires_at OR expires_at <= ?1)");
    stmt->bind(1, now);
    if (id) {
        stmt->bind(2, *id);
    } else {
        stmt->bindNull(2);
    }
    stmt->run();
}

Store::~Store() {
    if (m_checkpointer) {
        sqlite3_wal_hook(m_writer.handle(), nullptr, nullptr);
        m_checkpointer.reset();
    }
}

std::int64_t Store::now() const { return m_settings.clock ? m_settings.clock() : std::time(nullptr); }

std::unique_ptr<Database> Store::takeReader() {
    {
        std::lock_guard lock(m_readersMutex);
        if (!m_idleReaders.empty()) {
            auto reader = std::move(m_idleReaders.back());
            m_idleReaders.pop_back();
            return reader;
        }
    }
    return std::make_unique<Database>(m_path, true);
}

void Store::giveBackReader(std::unique_ptr<Database> reader) {
    std::lock_guard lock(m_readersMutex);
    m_idleReaders.push_back(std::move(reader));
}

void Store::openOrUpgrade() {
    std::lock_guard lock(m_writeMutex);
    std::int64_t current = 0;
    {
        Query version = m_writer.prepared("PRAGMA user_version");
        version->step();
        current = version->columnInt64(0);
    }
    if (current == kSchemaVersion) {
        return;
    }
    if (current > kSchemaVersion || current < 0) {
        throw SqliteError("SQLite: the store was written by another version of the service (schema version " +
                          std::to_string(current) + ")");
    }
    Transaction transaction(m_writer);
    if (current == 0) {
        m_writer.execute(kSchemaVersion1);
        m_writer.execute(kSchemaVersion2);
        m_writer.execute(kSchemaVersion3);
        Statement addUser(m_writer, "INSERT INTO users(login, password) VALUES (?1, ?2)");
        addUser.bind(1, kDemoLogin).bind(2, HashPassword(kDemoPassword)).run();
        const std::int64_t demoUser = m_writer.lastInsertRowId();
        for (const DemoFriend& demo : kDemoFriends) {
            insertFriend(demoUser,
                         Friend{0, std::string(demo.name), std::string(demo.number), std::string(demo.carrier)});
        }
    } else {
        if (current < 2) {
            m_writer.execute(kSchemaVersion2);
            upgradeFromPlainPasswords();
        }
        m_writer.execute(kSchemaVersion3);
    }
    m_writer.execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    transaction.commit();
}

void Store::upgradeFromPlainPasswords() {
    struct Row {
        std::int64_t id;
        std::string text;
    };
    const auto readAll = [this](const char* sql) {
        std::vector<Row> rows;
        Statement stmt(m_writer, sql);
        while (stmt.step()) {
            rows.push_back({stmt.columnInt64(0), stmt.columnText(1)});
        }
        return rows;
    };
    for (const Row& user : readAll("SELECT id, password FROM users")) {
        if (!IsPasswordHash(user.text)) {
            Statement set(m_writer, "UPDATE users SET password = ?1 WHERE id = ?2");
            set.bind(1, HashPassword(user.text)).bind(2, user.id).run();
        }
    }
    // Texts an answer may show, or that the outbox will hand on.
    const struct {
        const char* table;
        const char* column;
    } texts[] = {{"users", "login"},   {"friends", "name"},   {"friends", "number"}, {"friends", "carrier"},
                 {"outbox", "number"}, {"outbox", "carrier"}, {"outbox", "subject"}, {"outbox", "body"}};
    for (const auto& [table, column] : texts) {
        const std::string select = std::string("SELECT id, ") + column + " FROM " + table;
        const std::string update = std::string("UPDATE ") + table + " SET " + column + " = ?1 WHERE id = ?2";
        for (const Row& row : readAll(select.c_str())) {
            if (!IsXmlText(row.text)) {
                Statement set(m_writer, update.c_str());
                set.bind(1, ToXmlText(row.text)).bind(2, row.id).run();
            }
        }
    }
}

std::optional<User> Store::findUserByLogin(std::string_view login) {
    ReadConnection connection(*this);
    Query stmt = connection.db().prepared("SELECT id, login, password FROM users WHERE login = ?1");
    stmt->bind(1, login);
    if (!stmt->step()) {
        return std::nullopt;
    }
    return User{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2)};
}

std::optional<std::int64_t> Store::registerUser(std::string_view login, std::string_view passwordHash) {
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    {
        Query taken = m_writer.prepared("SELECT 1 FROM users WHERE login = ?1");
        taken->bind(1, login);
        if (taken->step()) {
            return std::nullopt;
        }
    }
    m_writer.prepared("INSERT INTO users(login, password) VALUES (?1, ?2)")->bind(1, login).bind(2, passwordHash).run();
    const std::int64_t id = m_writer.lastInsertRowId();
    transaction.commit();
    return id;
}

void Store::setPassword(std::int64_t userId, std::string_view passwordHash) {
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    m_writer.prepared("UPDATE users SET password = ?1 WHERE id = ?2")->bind(1, passwordHash).bind(2, userId).run();
    m_writer.prepared("DELETE FROM sessions WHERE user_id = ?1")->bind(1, userId).run();
    transaction.commit();
}

std::string Store::startSession(std::int64_t userId) {
    const std::string token = NewSessionToken();
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    // Sessions idle for too long go when a new one comes, so the table does not grow forever.
    m_writer.prepared("DELETE FROM sessions WHERE user_id = ?1 AND last_used < ?2")
        ->bind(1, userId)
        .bind(2, now() - m_settings.sessionIdleSeconds)
        .run();
    m_writer.prepared("INSERT INTO sessions(digest, user_id, last_used) VALUES (?1, ?2, ?3)")
        ->bind(1, TokenDigest(token))
        .bind(2, userId)
        .bind(3, now())
        .run();
    transaction.commit();
    return token;
}

std::optional<User> Store::sessionUser(std::string_view token) {
    if (!IsTokenShaped(token)) {
        return std::nullopt;
    }
    const std::string digest = TokenDigest(token);
    const std::int64_t time = now();
    User user;
    std::int64_t lastUsed = 0;
    {
        ReadConnection connection(*this);
        Query stmt = connection.db().prepared("SELECT u.id, u.login, u.password, s.last_used FROM sessions s "
                                              "JOIN users u ON u.id = s.user_id WHERE s.digest = ?1");
        stmt->bind(1, digest);
        if (!stmt->step()) {
            return std::nullopt;
        }
        user = User{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2)};
        lastUsed = stmt->columnInt64(3);
    }
    if (time - lastUsed > m_settings.sessionIdleSeconds) {
        std::lock_guard lock(m_writeMutex);
        m_writer.prepared("DELETE FROM sessions WHERE digest = ?1")->bind(1, digest).run();
        return std::nullopt;
    }
    if (time - lastUsed >= kSessionTouchSeconds) {
        std::lock_guard lock(m_writeMutex);
        m_writer.prepared("UPDATE sessions SET last_used = ?1 WHERE digest = ?2 AND last_used < ?1")
            ->bind(1, time)
            .bind(2, digest)
            .run();
    }
    return user;
}

std::vector<Friend> Store::friends(std::int64_t userId) {
    ReadConnection connection(*this);
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
    ReadConnection connection(*this);
    Query stmt =
        connection.db().prepared("SELECT id, name, number, carrier FROM friends WHERE user_id = ?1 AND id = ?2");
    stmt->bind(1, userId).bind(2, friendId);
    if (!stmt->step()) {
        return std::nullopt;
    }
    return ReadFriend(*stmt);
}

std::optional<std::int64_t> Store::insertFriend(std::int64_t userId, const Friend& entry) {
    m_writer.prepared("INSERT INTO friends(user_id, name, number, carrier) VALUES (?1, ?2, ?3, ?4)")
        ->bind(1, userId)
        .bind(2, entry.name)
        .bind(3, entry.number)
        .bind(4, entry.carrier)
        .run();
    const std::int64_t id = m_writer.lastInsertRowId();
    if (id > kMaxFriendId) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::int64_t> Store::addFriend(std::int64_t userId, const Friend& entry) {
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    const auto id = insertFriend(userId, entry);
    if (!id) {
        return std::nullopt; // the transaction rolls the insert back
    }
    transaction.commit();
    return id;
}

bool Store::updateFriend(std::int64_t userId, const Friend& entry) {
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    m_writer.prepared("UPDATE friends SET name = ?1, number = ?2, carrier = ?3 WHERE user_id = ?4 AND id = ?5")
        ->bind(1, entry.name)
        .bind(2, entry.number)
        .bind(3, entry.carrier)
        .bind(4, userId)
        .bind(5, entry.id)
        .run();
    if (m_writer.changes() != 1) {
        return false;
    }
    transaction.commit();
    return true;
}

bool Store::deleteFriend(std::int64_t userId, std::int64_t friendId) {
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    m_writer.prepared("DELETE FROM friends WHERE user_id = ?1 AND id = ?2")->bind(1, userId).bind(2, friendId).run();
    if (m_writer.changes() != 1) {
        return false;
    }
    transaction.commit();
    return true;
}

OutboxResult Store::addToOutbox(OutboxMessage message) {
    OutboxResult result;
    const std::int64_t time = now();
    std::lock_guard lock(m_writeMutex);
    Transaction transaction(m_writer);
    if (message.friendId != 0) {
        Query entry = m_writer.prepared("SELECT number, carrier FROM friends WHERE user_id = ?1 AND id = ?2");
        entry->bind(1, message.userId).bind(2, message.friendId);
        if (!entry->step()) {
            result.status = OutboxResult::Status::UnknownFriend;
            return result;
        }
        message.number = entry->columnText(0);
        message.carrier = entry->columnText(1);
    }
    // Over a limit of N messages in a window when the N-th latest message lies inside it; the user
    // may send again once that one has left the window.
    const auto overLimit = [&](int limit, std::int64_t window) -> std::optional<std::int64_t> {
        if (limit <= 0) {
            return std::nullopt;
        }
        Query nth = m_writer.prepared("SELECT CAST(strftime('%s', sent_at) AS INTEGER) FROM outbox "
                                      "WHERE user_id = ?1 AND sent_at > ?2 ORDER BY sent_at DESC LIMIT 1 OFFSET ?3");
        nth->bind(1, message.userId).bind(2, UtcText(time - window)).bind(3, std::int64_t{limit} - 1);
        if (!nth->step()) {
            return std::nullopt;
        }
        return nth->columnInt64(0) + window;
    };
    if (const auto retry = overLimit(m_settings.sendsPerMinute, 60)) {
        result.status = OutboxResult::Status::OverMinuteLimit;
        result.retryAt = *retry;
        return result;
    }
    if (const auto retry = overLimit(m_settings.sendsPerDay, 24 * 60 * 60)) {
        result.status = OutboxResult::Status::OverDayLimit;
        result.retryAt = *retry;
        return result;
    }
    message.sentAt = UtcText(time);
    // A queued message is due at once.
    const bool queued = message.state == delivery::kQueued;
    message.state = queued ? delivery::kQueued : delivery::kOff;
    message.attempts = 0;
    message.nextAttempt = queued ? message.sentAt : std::string();
    message.lastReply.clear();
    Query stmt = m_writer.prepared("INSERT INTO outbox(user_id, friend_id, number, carrier, subject, body, sent_at, "
                                   "state, next_attempt) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    stmt->bind(1, message.userId);
    if (message.friendId != 0) {
        stmt->bind(2, message.friendId);
    } else {
        stmt->bindNull(2);
    }
    stmt->bind(3, message.number).bind(4, message.carrier).bind(5, message.subject);
    stmt->bind(6, message.body).bind(7, message.sentAt).bind(8, message.state);
    if (queued) {
        stmt->bind(9, message.nextAttempt);
    } else {
        stmt->bindNull(9);
    }
    stmt->run();
    message.id = m_writer.lastInsertRowId();
    transaction.commit();
    result.message = std::move(message);
    return result;
}

std::vector<OutboxMessage> Store::outbox() {
    ReadConnection connection(*this);
    Query stmt = connection.db().prepared(
        "SELECT id, user_id, friend_id, number, carrier, subject, body, sent_at, state, attempts, next_attempt, "
        "last_reply FROM outbox ORDER BY id");
    std::vector<OutboxMessage> result;
    while (stmt->step()) {
        OutboxMessage message;
        message.id = stmt->columnInt64(0);
        message.userId = stmt->columnInt64(1);
        message.friendId = stmt->columnIsNull(2) ? 0 : stmt->columnInt64(2);
        message.number = stmt->columnText(3);
        message.carrier = stmt->columnText(4);
        message.subject = stmt->columnText(5);
        message.body = stmt->columnText(6);
        message.sentAt = stmt->columnText(7);
        message.state = stmt->columnText(8);
        message.attempts = static_cast<int>(stmt->columnInt64(9));
        message.nextAttempt = stmt->columnIsNull(10) ? std::string() : stmt->columnText(10);
        message.lastReply = stmt->columnIsNull(11) ? std::string() : stmt->columnText(11);
        result.push_back(std::move(message));
    }
    return result;
}

std::optional<QueuedMessage> Store::nextDue(TimePoint now) {
    {
        std::lock_guard lock(m_writeMutex);
        retireCodes(UtcText(now), std::nullopt);
    }
    ReadConnection connection(*this);
    // The times are all written alike, so text order is time order.
    Query stmt = connection.db().prepared("SELECT id, number, carrier, subject, body, sent_at, attempts FROM outbox "
                                          "WHERE state = 'queued' AND next_attempt <= ?1 "
                                          "ORDER BY next_attempt, id LIMIT 1");
    stmt->bind(1, UtcText(now));
    if (!stmt->step()) {
        return std::nullopt;
    }
    return QueuedMessage{stmt->columnInt64(0),
                         stmt->columnText(1),
                         stmt->columnText(2),
                         stmt->columnText(3),
                         stmt->columnText(4),
                         stmt->columnText(5),
                         static_cast<int>(stmt->columnInt64(6))};
}

std::optional<TimePoint> Store::nextAttempt() {
    ReadConnection connection(*this);
    Query stmt = connection.db().prepared("SELECT min(next_attempt) FROM outbox WHERE state = 'queued'");
    if (!stmt->step() || stmt->columnIsNull(0)) {
        return std::nullopt;
    }
    return ParseUtcText(stmt->columnText(0));
}

void Store::setDeliveryState(std::int64_t id, std::string_view state, int attempts, const std::string* next,
                             std::string_view reply) {
    std::lock_guard lock(m_writeMutex);
    Query stmt = m_writer.prepared(
        "UPDATE outbox SET state = ?1, attempts = ?2, next_attempt = ?3, last_reply = ?4 WHERE id = ?5");
    stmt->bind(1, state).bind(2, std::int64_t{attempts});
    if (next != nullptr) {
        stmt->bind(3, *next);
    } else {
        stmt->bindNull(3);
    }
    stmt->bind(4, reply).bind(5, id).run();
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

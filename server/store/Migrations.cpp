#include "server/store/Migrations.h"

#include "server/store/Passwords.h"
#include "server/store/PostgresSchema.h"
#include "server/store/XmlText.h"

#include <iterator>
#include <string>
#include <vector>

namespace server {

namespace {

// Step 1: users with plain-text passwords, their address books, the outbox.
constexpr const char* kUsersFriendsOutbox = R"sql(
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

// Step 2: sessions, and the send limits' index; the passwords are hashed and the texts made valid
// for XML 1.0 (HashPlainPasswords). The session's token itself is not kept, only its digest
// (Passwords.h).
constexpr const char* kSessions = R"sql(
CREATE TABLE sessions (
    digest    TEXT PRIMARY KEY,
    user_id   INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    last_used INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX sessions_by_user ON sessions(user_id);
CREATE INDEX outbox_by_user_time ON outbox(user_id, sent_at);
)sql";

// Step 3: the outbox is the delivery queue. Messages accepted before there was delivery stay "off"
// and are never sent.
constexpr const char* kDeliveryColumns = R"sql(
ALTER TABLE outbox ADD COLUMN state TEXT NOT NULL DEFAULT 'off';
ALTER TABLE outbox ADD COLUMN attempts INTEGER NOT NULL DEFAULT 0;
ALTER TABLE outbox ADD COLUMN next_attempt TEXT;
ALTER TABLE outbox ADD COLUMN last_reply TEXT;
CREATE INDEX outbox_queue ON outbox(state, next_attempt);
)sql";

// Step 4: the account pages' codes go through the outbox too. They belong to no user (a
// registration code is sent before there is one) and must not outlive the code, so the outbox is
// rebuilt with user_id optional and an expiry.
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

// Step 5: the account codes (Codes.h): pending codes, the requests counted against the limits, the
// numbers proven with their carrier. "IF NOT EXISTS": before this was a step, the account pages
// created these tables themselves, in stores that say version 3 or 4.
constexpr const char* kCodeTables = R"sql(
CREATE TABLE IF NOT EXISTS verification_codes (
    purpose    INTEGER NOT NULL,
    number     TEXT NOT NULL,
    code_hash  TEXT NOT NULL,
    expires_at INTEGER NOT NULL,
    tries      INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (purpose, number)
);
CREATE TABLE IF NOT EXISTS code_requests (
    subject      TEXT NOT NULL,
    requested_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS code_requests_by_subject ON code_requests(subject, requested_at);
CREATE TABLE IF NOT EXISTS verified_numbers (
    number      TEXT PRIMARY KEY,
    carrier     TEXT NOT NULL,
    verified_at INTEGER NOT NULL
);
)sql";

// Step 6: the SMS gateway's delivery reports. Each message keeps the hash of the secret its
// reports must carry, and every change of its state with the time of the change. "sent" (the relay
// took it) is now called "accepted"; messages already in the outbox get the one change whose time
// is known, their queueing. Codes whose text is still kept get an index of their own: the queue
// looks for them before every attempt.
constexpr const char* kDeliveryReports = R"sql(
ALTER TABLE outbox ADD COLUMN report_hash TEXT;
CREATE TABLE outbox_states (
    message_id INTEGER NOT NULL REFERENCES outbox(id) ON DELETE CASCADE,
    state      TEXT NOT NULL,
    at         TEXT NOT NULL,
    reason     TEXT
);
CREATE INDEX outbox_states_by_message ON outbox_states(message_id);
CREATE INDEX outbox_pending_codes ON outbox(expires_at) WHERE expires_at IS NOT NULL AND body != '';
INSERT INTO outbox_states(message_id, state, at)
    SELECT id, CASE WHEN state = 'off' THEN 'off' ELSE 'queued' END, sent_at FROM outbox;
UPDATE outbox SET state = 'accepted' WHERE state = 'sent';
)sql";

struct Row {
    std::int64_t id;
    std::string text;
};

std::vector<Row> ReadAll(Database& db, const char* sql) {
    std::vector<Row> rows;
    const auto stmt = db.statement(sql);
    while (stmt->step()) {
        rows.push_back({stmt->columnInt64(0), stmt->columnText(1)});
    }
    return rows;
}

// Part of step 2: a store written before passwords were hashed gets its passwords hashed, and any
// stored character that XML 1.0 does not allow replaced by U+FFFD.
void HashPlainPasswords(Database& db) {
    for (const Row& user : ReadAll(db, "SELECT id, password FROM users")) {
        if (!IsPasswordHash(user.text)) {
            db.statement("UPDATE users SET password = ?1 WHERE id = ?2")
                ->bind(1, HashPassword(user.text))
                .bind(2, user.id)
                .run();
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
        for (const Row& row : ReadAll(db, select.c_str())) {
            if (!IsXmlText(row.text)) {
                db.statement(update)->bind(1, ToXmlText(row.text)).bind(2, row.id).run();
            }
        }
    }
}

// Step 7: runs of failed logins per login and per client address (LoginFailures.cpp), kept in the
// store so that every service process sharing it holds off the same guesser.
constexpr const char* kLoginFailures = R"sql(
CREATE TABLE login_failures (
    subject      TEXT PRIMARY KEY,
    failures     INTEGER NOT NULL,
    last_failure INTEGER NOT NULL,
    paused_until INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX login_failures_by_time ON login_failures(last_failure);
)sql";

// Step 8: sessions of the web pages ("My messages"), apart from the program's and, like them, kept
// only as the digest of their token; and an index for the sweep that blanks the text of messages
// some days after their final state.
constexpr const char* kPageSessions = R"sql(
CREATE TABLE page_sessions (
    digest     TEXT PRIMARY KEY,
    user_id    INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    expires_at INTEGER NOT NULL
);
CREATE INDEX page_sessions_by_user ON page_sessions(user_id);
CREATE INDEX outbox_states_by_state_time ON outbox_states(state, at);
)sql";

// Step 9: a delivery worker claims the messages it is about to attempt until the time in
// claimed_until (OutboxQueue.cpp), so that the workers of several service processes never attempt the
// same message at once, and the claims of a worker that died run out.
constexpr const char* kDeliveryClaims = R"sql(
ALTER TABLE outbox ADD COLUMN claimed_until TEXT;
)sql";

struct Step {
    std::int64_t version; // what the store's version says once the step is done
    const char* sql;
    const char* postgres;    // the same step as PostgreSQL writes it (PostgresSchema.h)
    void (*then)(Database&); // data the step changes, after its SQL; may be null
};

// Never change a step that has shipped: add one.
constexpr Step kSteps[] = {
    {1, kUsersFriendsOutbox, postgres::kUsersFriendsOutbox, nullptr},
    {2, kSessions, postgres::kSessions, HashPlainPasswords},
    {3, kDeliveryColumns, postgres::kDeliveryColumns, nullptr},
    {4, kCodeMessages, postgres::kCodeMessages, nullptr},
    {5, kCodeTables, postgres::kCodeTables, nullptr},
    {6, kDeliveryReports, postgres::kDeliveryReports, nullptr},
    {7, kLoginFailures, postgres::kLoginFailures, nullptr},
    {8, kPageSessions, postgres::kPageSessions, nullptr},
    {9, kDeliveryClaims, kDeliveryClaims, nullptr},
};
constexpr std::int64_t kLatest = std::size(kSteps);

// SQLite keeps the version in the file's user_version; PostgreSQL in a table of one row.
std::int64_t StoredVersion(Database& db) {
    if (db.dialect() == Dialect::Postgres) {
        Query exists = db.prepared("SELECT CASE WHEN to_regclass('schema_version') IS NULL THEN 0 ELSE 1 END");
        if (!exists->step() || exists->columnInt64(0) == 0) {
            return 0;
        }
        const auto version = db.statement("SELECT coalesce(max(version), 0) FROM schema_version");
        version->step();
        return version->columnInt64(0);
    }
    Query version = db.prepared("PRAGMA user_version");
    version->step();
    return version->columnInt64(0);
}

void StoreVersion(Database& db, std::int64_t version) {
    if (db.dialect() == Dialect::Postgres) {
        db.execute("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT NOT NULL)");
        db.execute("DELETE FROM schema_version");
        db.statement("INSERT INTO schema_version(version) VALUES (?1)")->bind(1, version).run();
        return;
    }
    db.execute(("PRAGMA user_version = " + std::to_string(version)).c_str());
}

bool HasColumn(Database& db, const char* table, const char* column) {
    const auto stmt = db.statement("SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    stmt->bind(1, table).bind(2, column);
    return stmt->step();
}

} // namespace

bool IsSchemaCurrent(Database& db) { return StoredVersion(db) == kLatest; }

std::int64_t MigrateSchema(Database& db) {
    if (db.dialect() == Dialect::Postgres) {
        // Service processes starting together: one climbs the ladder, the others wait for it and
        // then find the store current. The lock ends with the caller's transaction.
        db.execute("SELECT pg_advisory_xact_lock(7261)");
    }
    const std::int64_t found = StoredVersion(db);
    if (found > kLatest || found < 0) {
        throw StoreError("the store was written by another version of the service (schema version " +
                         std::to_string(found) + ")");
    }
    std::int64_t current = found;
    // Before the code messages were a step, the service rebuilt the outbox for them without
    // counting it, in SQLite stores that say version 3.
    if (current == 3 && db.dialect() == Dialect::Sqlite && HasColumn(db, "outbox", "expires_at")) {
        current = 4;
    }
    for (const Step& step : kSteps) {
        if (step.version > current) {
            db.execute(db.dialect() == Dialect::Postgres ? step.postgres : step.sql);
            if (step.then != nullptr) {
                step.then(db);
            }
        }
    }
    if (found != kLatest) {
        StoreVersion(db, kLatest);
    }
    return found;
}

} // namespace server

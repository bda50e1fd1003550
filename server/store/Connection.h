#pragma once

// What the store's tables need of a database connection: statements prepared once and kept,
// parameters bound by position, rows read column by column, transactions and savepoints. SQLite
// (Sqlite.h) and PostgreSQL (Postgres.h) implement it, so that every table's SQL is written once;
// where the two dialects differ, the caller asks dialect().
//
// SQL is written with SQLite's numbered parameters (?1, ?2, ...); the PostgreSQL connection reads
// them as $1, $2, ... A number may appear several times and in any order.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace server {

// Any failure reported by the database, with its message.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Dialect { Sqlite, Postgres };

// One prepared statement. Parameters are numbered from 1, result columns from 0.
class Statement {
public:
    virtual ~Statement() = default;

    virtual Statement& bind(int index, std::int64_t value) = 0;
    virtual Statement& bind(int index, std::string_view text) = 0;
    virtual Statement& bindNull(int index) = 0;

    // Advances to the next row: true when there is one, false when the statement is done.
    virtual bool step() = 0;
    // Runs a statement that returns no rows (or whose rows nobody reads).
    void run() {
        while (step()) {
        }
    }

    virtual std::int64_t columnInt64(int column) const = 0;
    virtual std::string columnText(int column) const = 0;
    virtual bool columnIsNull(int column) const = 0;

    // Ready to run again, parameters cleared.
    virtual void reset() noexcept = 0;
};

class Query;

// One connection and the statements prepared on it. One thread at a time may use it.
class Database {
public:
    virtual ~Database() = default;
    Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    virtual Dialect dialect() const noexcept = 0;

    // Runs one or more statements that take no parameters and return no rows.
    virtual void execute(const char* sql) = 0;
    // The same, for a clean-up that may fail without harm (a rollback on the way out).
    virtual void executeQuietly(const char* sql) noexcept = 0;
    // Rows changed by the last statement run.
    virtual int changes() const noexcept = 0;
    // True while a transaction is open.
    virtual bool inTransaction() const noexcept = 0;
    // Opens a transaction that writes: SQLite takes the write lock at once.
    virtual void begin() = 0;

    // The steps of a group commit (GroupCommit.h): one transaction, a savepoint around each step.
    // openStep() begins the transaction when none is open; undoStep() undoes the open step alone.
    virtual void openStep();
    virtual void closeStep();
    virtual void undoStep() noexcept { executeQuietly("ROLLBACK TO step; RELEASE step"); }
    virtual void commitSteps();

    // A statement for `sql` that is not kept.
    virtual std::unique_ptr<Statement> statement(const std::string& sql) = 0;

    // The statement for `sql`, prepared on first use and kept for the connection's lifetime, so
    // that a busy service does not parse its SQL again for every request. `sql` must be a string
    // literal (it is the key). The returned Query resets the statement when it goes.
    Query prepared(const char* sql);

protected:
    // Kept statements go before the connection: an implementation calls this first in its
    // destructor.
    void dropPrepared() noexcept { m_prepared.clear(); }

private:
    std::unordered_map<const char*, std::unique_ptr<Statement>> m_prepared;
};

// A kept statement in use; resets it on destruction so that it holds no read lock meanwhile.
class Query {
public:
    explicit Query(Statement& statement) : m_statement(statement) {}
    ~Query() { m_statement.reset(); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Statement* operator->() { return &m_statement; }
    Statement& operator*() { return m_statement; }

private:
    Statement& m_statement;
};

inline Query Database::prepared(const char* sql) {
    auto& kept = m_prepared[sql];
    if (!kept) {
        kept = statement(sql);
    }
    return Query(*kept);
}

inline void Database::openStep() {
    if (!inTransaction()) {
        begin();
    }
    prepared("SAVEPOINT step")->run();
}

inline void Database::closeStep() { prepared("RELEASE step")->run(); }

inline void Database::commitSteps() { prepared("COMMIT")->run(); }

// Opens a transaction on construction; rolls it back on destruction unless commit() was called.
// Inside a transaction already open (a step of a group commit, GroupCommit.h) it is a savepoint
// instead, so that undoing it undoes only its own changes.
class Transaction {
public:
    explicit Transaction(Database& db) : m_db(db), m_nested(db.inTransaction()) {
        if (m_nested) {
            m_db.prepared("SAVEPOINT part")->run();
        } else {
            m_db.begin();
        }
    }
    ~Transaction() {
        if (!m_done) {
            m_db.executeQuietly(m_nested ? "ROLLBACK TO part; RELEASE part" : "ROLLBACK");
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() {
        m_db.prepared(m_nested ? "RELEASE part" : "COMMIT")->run();
        m_done = true;
    }

private:
    Database& m_db;
    bool m_nested = false;
    bool m_done = false;
};

// True for a libpq connection URI, which selects the PostgreSQL store; anything else is the path
// of an SQLite file.
inline bool IsPostgresUri(std::string_view location) {
    return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

} // namespace server

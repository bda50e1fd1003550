#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include <sqlite3.h>

namespace server {

// Any failure reported by SQLite, with its message.
class SqliteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Statement;
class Query;

// Owns one sqlite3 connection and the statements prepared on it; closes it on destruction. One
// thread at a time may use it.
class Database {
public:
    // Opens (and creates when missing) the file at `path`; ":memory:" gives a private in-memory
    // store. A read-only connection never creates the file.
    explicit Database(const std::string& path, bool readOnly = false);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* handle() const noexcept { return m_db; }

    // Runs one or more statements that take no parameters and return no rows.
    void execute(const char* sql);

    std::int64_t lastInsertRowId() const noexcept;
    int changes() const noexcept;

    // The statement for `sql`, prepared on first use and kept for the connection's lifetime, so
    // that a busy service does not parse its SQL again for every request. `sql` must be a string
    // literal (it is the key). The returned Query resets the statement when it goes.
    Query prepared(const char* sql);

private:
    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, std::unique_ptr<Statement>> m_prepared;
};

// Owns one prepared statement; finalizes it on destruction. Parameters are numbered from 1,
// result columns from 0, as in SQLite.
class Statement {
public:
    Statement(Database& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, std::string_view text);
    Statement& bindNull(int index);

    // Advances to the next row: true when there is one, false when the statement is done.
    bool step();
    // Runs a statement that returns no rows.
    void run();

    std::int64_t columnInt64(int column) const;
    std::string columnText(int column) const;
    bool columnIsNull(int column) const;

    // Ready to run again, parameters cleared.
    void reset() noexcept;

private:
    void check(int rc, const char* what) const;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
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

// BEGIN IMMEDIATE on construction; ROLLBACK on destruction unless commit() was called. Inside a
// transaction already open (a step of a group commit, GroupCommit.h) it is a savepoint instead, so
// that undoing it undoes only its own changes.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit();

private:
    Database& m_db;
    bool m_nested = false;
    bool m_done = false;
};

} // namespace server

#pragma once

// The store's connection to an SQLite file (Connection.h).

#include "server/store/Connection.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <sqlite3.h>

namespace server {

// Any failure reported by SQLite, with its message.
class SqliteError : public StoreError {
public:
    using StoreError::StoreError;
};

// Owns one sqlite3 connection and the statements prepared on it; closes it on destruction.
class SqliteDatabase : public Database {
public:
    // Opens (and creates when missing) the file at `path`; ":memory:" gives a private in-memory
    // store. A read-only connection never creates the file.
    explicit SqliteDatabase(const std::string& path, bool readOnly = false);
    ~SqliteDatabase() override;

    sqlite3* handle() const noexcept { return m_db; }

    Dialect dialect() const noexcept override { return Dialect::Sqlite; }
    void execute(const char* sql) override;
    void executeQuietly(const char* sql) noexcept override;
    int changes() const noexcept override;
    bool inTransaction() const noexcept override;
    void begin() override;
    std::unique_ptr<Statement> statement(const std::string& sql) override;

private:
    sqlite3* m_db = nullptr;
};

// Owns one prepared statement; finalizes it on destruction.
class SqliteStatement : public Statement {
public:
    SqliteStatement(sqlite3* db, const std::string& sql);
    ~SqliteStatement() override;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    Statement& bind(int index, std::int64_t value) override;
    Statement& bind(int index, std::string_view text) override;
    Statement& bindNull(int index) override;
    bool step() override;
    std::int64_t columnInt64(int column) const override;
    std::string columnText(int column) const override;
    bool columnIsNull(int column) const override;
    void reset() noexcept override;

private:
    void check(int rc, const char* what) const;

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
};

} // namespace server

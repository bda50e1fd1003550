#pragma once

// The store's connection to a PostgreSQL server through libpq (Connection.h). The location is a
// libpq connection URI; a password comes from the operator's service file or .pgpass, never from
// the URI on a command line.

#include "server/store/Connection.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <libpq-fe.h>

namespace server {

// Any failure reported by PostgreSQL or libpq, with its message.
class PostgresError : public StoreError {
public:
    using StoreError::StoreError;
};

class PostgresDatabase : public Database {
public:
    // Connects to `uri`; throws PostgresError when it cannot.
    explicit PostgresDatabase(const std::string& uri);
    ~PostgresDatabase() override;

    Dialect dialect() const noexcept override { return Dialect::Postgres; }
    void execute(const char* sql) override;
    void executeQuietly(const char* sql) noexcept override;
    int changes() const noexcept override { return m_changes; }
    bool inTransaction() const noexcept override;
    void begin() override;
    std::unique_ptr<Statement> statement(const std::string& sql) override;
    // Each command is a round trip to the server: a step's savepoint is released together with
    // the next step's opening or with the commit, and the transaction begins with the first
    // savepoint.
    void openStep() override;
    void closeStep() override { m_stepToRelease = true; }
    void undoStep() noexcept override;
    void commitSteps() override;

    // The server's value of a setting (SHOW).
    std::string setting(const char* name);

    PGconn* handle() const noexcept { return m_conn; }
    // After the server went away (a restart, a fail-over), the command that noticed failed; the
    // next one connects again, and the kept statements prepare themselves again on the new
    // session (generation() tells them).
    void reconnectIfLost();
    std::int64_t generation() const noexcept { return m_generation; }
    void setChanges(int changes) noexcept { m_changes = changes; }
    // A name for the next statement prepared on this connection.
    std::string nextStatementName() {
        std::string name = "s";
        name += std::to_string(++m_statements);
        return name;
    }

private:
    PGconn* m_conn = nullptr;
    int m_changes = 0;
    bool m_stepToRelease = false;
    std::int64_t m_generation = 0;
    std::int64_t m_statements = 0;
};

// A statement prepared on the server. Parameters travel as text, and PostgreSQL gives each the
// type its place in the statement calls for; rows come back as text.
class PostgresStatement : public Statement {
public:
    PostgresStatement(PostgresDatabase& db, const std::string& sql);
    ~PostgresStatement() override;
    PostgresStatement(const PostgresStatement&) = delete;
    PostgresStatement& operator=(const PostgresStatement&) = delete;

    Statement& bind(int index, std::int64_t value) override;
    Statement& bind(int index, std::string_view text) override;
    Statement& bindNull(int index) override;
    bool step() override;
    std::int64_t columnInt64(int column) const override;
    std::string columnText(int column) const override;
    bool columnIsNull(int column) const override;
    void reset() noexcept override;

private:
    void prepare();
    void execute();

    PostgresDatabase& m_db;
    std::string m_sql;
    std::vector<bool> m_used;
    std::int64_t m_generation = -1;
    std::string m_name;
    std::vector<std::optional<std::string>> m_params;
    PGresult* m_result = nullptr;
    int m_row = -1;
};

// `sql` with SQLite's numbered parameters (?1) written as PostgreSQL's ($1); `used` tells which
// numbers up to the highest appear. Text in quotes is left alone.
std::string PostgresParameters(std::string_view sql, std::vector<bool>& used);

// Throws PostgresError unless the server makes a commit durable before it reports it: fsync and
// synchronous_commit must both be on.
void RequireDurableCommits(PostgresDatabase& db);

} // namespace server

#include "server/store/Sqlite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace server {

namespace {

// A new store file is made here, readable and writable by the service's user alone, whatever the
// umask: it holds password hashes, session tokens and everyone's messages. SQLite gives its -wal
// and -shm files the mode of the store file, so they follow. An existing file keeps its mode.
void CreatePrivately(const std::string& path) {
    if (path.empty() || path == ":memory:" || path.starts_with("file:")) {
        return;
    }
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        fchmod(fd, S_IRUSR | S_IWUSR);
        close(fd);
    }
    // Any failure (it exists, or the folder is not writable) is left to SQLite to report.
}

std::string Describe(sqlite3* db, int rc, const char* what) {
    std::string message = "SQLite: ";
    message += what;
    message += ": ";
    message += (db != nullptr) ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return message;
}

} // namespace

SqliteDatabase::SqliteDatabase(const std::string& path, bool readOnly) {
    // Each connection serves one thread at a time (the store hands them out), so SQLite's own
    // per-connection mutex is not needed.
    const int flags =
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) | SQLITE_OPEN_NOMUTEX;
    if (!readOnly) {
        CreatePrivately(path);
    }
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = Describe(m_db, rc, ("cannot open " + path).c_str());
        sqlite3_close(m_db);
        m_db = nullptr;
        throw SqliteError(message);
    }
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_timeout(m_db, 5000);
}

SqliteDatabase::~SqliteDatabase() {
    // Every statement is finalized before the connection goes, so close cannot be busy.
    dropPrepared();
    sqlite3_close(m_db);
}

std::unique_ptr<Statement> SqliteDatabase::statement(const std::string& sql) {
    return std::make_unique<SqliteStatement>(m_db, sql);
}

void SqliteDatabase::execute(const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = "SQLite: ";
        message += (error != nullptr) ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw SqliteError(message);
    }
}

void SqliteDatabase::executeQuietly(const char* sql) noexcept { sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }

int SqliteDatabase::changes() const noexcept { return sqlite3_changes(m_db); }

bool SqliteDatabase::inTransaction() const noexcept { return sqlite3_get_autocommit(m_db) == 0; }

void SqliteDatabase::begin() { prepared("BEGIN IMMEDIATE")->run(); }

SqliteStatement::SqliteStatement(sqlite3* db, const std::string& sql) : m_db(db) {
    check(sqlite3_prepare_v3(m_db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr), "prepare");
}

void SqliteStatement::reset() noexcept {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(m_stmt); }

void SqliteStatement::check(int rc, const char* what) const {
    if (rc != SQLITE_OK) {
        throw SqliteError(Describe(m_db, rc, what));
    }
}

Statement& SqliteStatement::bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(m_stmt, index, value), "bind");
    return *this;
}

Statement& SqliteStatement::bind(int index, std::string_view text) {
    // SQLITE_TRANSIENT: SQLite copies the text, so the caller's buffer may go away.
    check(sqlite3_bind_text64(m_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8), "bind");
    return *this;
}

Statement& SqliteStatement::bindNull(int index) {
    check(sqlite3_bind_null(m_stmt, index), "bind");
    return *this;
}

bool SqliteStatement::step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    throw SqliteError(Describe(m_db, rc, "step"));
}

std::int64_t SqliteStatement::columnInt64(int column) const { return sqlite3_column_int64(m_stmt, column); }

std::string SqliteStatement::columnText(int column) const {
    const auto* text = sqlite3_column_text(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    if (text == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)};
}

bool SqliteStatement::columnIsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

} // namespace server

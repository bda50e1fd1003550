#include "server/store/Postgres.h"

#include <charconv>

namespace server {

namespace {

std::string Describe(const char* what, const char* detail) {
    std::string message = "PostgreSQL: ";
    message += what;
    message += ": ";
    message += detail;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

// Frees a result whatever happens.
struct Result {
    PGresult* result;
    ~Result() { PQclear(result); }
};

void RequireOk(PGconn* conn, PGresult* result, const char* what) {
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw PostgresError(Describe(what, result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(conn)));
    }
}

} // namespace

std::string PostgresParameters(std::string_view sql, std::vector<bool>& used) {
    std::string out;
    out.reserve(sql.size());
    used.clear();
    bool quoted = false;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c == '\'') {
            quoted = !quoted;
        }
        if (quoted || c != '?') {
            out += c;
            continue;
        }
        std::size_t end = i + 1;
        while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') {
            ++end;
        }
        int number = 0;
        std::from_chars(sql.data() + i + 1, sql.data() + end, number);
        if (number > 0) {
            used.resize(std::max(used.size(), static_cast<std::size_t>(number)));
            used[static_cast<std::size_t>(number) - 1] = true;
        }
        out += '$';
        out.append(sql.substr(i + 1, end - i - 1));
        i = end - 1;
    }
    return out;
}

namespace {

// A password in the URI would stand in the process list and the settings file: it belongs in the
// service user's .pgpass or service file, where libpq finds it.
void RefusePassword(const std::string& uri) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    if (options == nullptr) {
        const std::string message = Describe("not a connection URI", error != nullptr ? error : "out of memory");
        PQfreemem(error);
        throw PostgresError(message);
    }
    bool hasPassword = false;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        hasPassword = hasPassword || (std::string_view(option->keyword) == "password" && option->val != nullptr);
    }
    PQconninfoFree(options);
    if (hasPassword) {
        throw PostgresError("PostgreSQL: the connection URI holds a password; put it in ~/.pgpass or a service file");
    }
}

} // namespace

PostgresDatabase::PostgresDatabase(const std::string& uri) {
    RefusePassword(uri);
    // The URI is expanded as a connection string; the service's own settings come after it, so
    // that the URI cannot change them.
    const char* keys[] = {"dbname", "client_encoding", "application_name", nullptr};
    const char* values[] = {uri.c_str(), "UTF8", "vantro-server", nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    if (m_conn == nullptr || PQstatus(m_conn) != CONNECTION_OK) {
        const std::string message =
            Describe("cannot connect", m_conn != nullptr ? PQerrorMessage(m_conn) : "out of memory");
        PQfinish(m_conn);
        m_conn = nullptr;
        throw PostgresError(message);
    }
    // Notices (a table already there, and the like) are not for the service's log.
    PQsetNoticeProcessor(
        m_conn, [](void*, const char*) {}, nullptr);
}

PostgresDatabase::~PostgresDatabase() {
    dropPrepared();
    PQfinish(m_conn);
}

void PostgresDatabase::reconnectIfLost() {
    if (PQstatus(m_conn) == CONNECTION_OK) {
        return;
    }
    PQreset(m_conn);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        throw PostgresError(Describe("cannot connect again", PQerrorMessage(m_conn)));
    }
    m_stepToRelease = false;
    ++m_generation;
}

void PostgresDatabase::execute(const char* sql) {
    reconnectIfLost();
    const Result result{PQexec(m_conn, sql)};
    RequireOk(m_conn, result.result, "execute");
    m_changes = 0;
}

void PostgresDatabase::executeQuietly(const char* sql) noexcept { PQclear(PQexec(m_conn, sql)); }

bool PostgresDatabase::inTransaction() const noexcept {
    // A connection lost is in no transaction: the server rolled it back.
    const PGTransactionStatusType status = PQtransactionStatus(m_conn);
    return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

void PostgresDatabase::begin() { prepared("BEGIN")->run(); }

std::unique_ptr<Statement> PostgresDatabase::statement(const std::string& sql) {
    return std::make_unique<PostgresStatement>(*this, sql);
}

void PostgresDatabase::openStep() {
    if (!inTransaction()) {
        execute("BEGIN; SAVEPOINT step");
    } else {
        execute(m_stepToRelease ? "RELEASE step; SAVEPOINT step" : "SAVEPOINT step");
    }
    m_stepToRelease = false;
}

void PostgresDatabase::undoStep() noexcept {
    m_stepToRelease = false;
    executeQuietly("ROLLBACK TO step; RELEASE step");
}

void PostgresDatabase::commitSteps() {
    m_stepToRelease = false; // the commit releases it
    execute("COMMIT");
}

std::string PostgresDatabase::setting(const char* name) {
    const Result result{PQexec(m_conn, (std::string("SHOW ") + name).c_str())};
    RequireOk(m_conn, result.result, name);
    return PQntuples(result.result) > 0 ? PQgetvalue(result.result, 0, 0) : std::string();
}

void RequireDurableCommits(PostgresDatabase& db) {
    // The service answers "sent" once the commit returns; with either of these off, a crash of the
    // database's machine could take back what was answered.
    for (const char* name : {"fsync", "synchronous_commit"}) {
        if (db.setting(name) == "off") {
            throw PostgresError(std::string("PostgreSQL: the server runs with ") + name +
                                " = off, so a commit is not durable when it returns; turn it on");
        }
    }
}

PostgresStatement::PostgresStatement(PostgresDatabase& db, const std::string& sql) : m_db(db) {
    m_sql = PostgresParameters(sql, m_used);
    m_params.resize(m_used.size());
    prepare();
}

void PostgresStatement::prepare() {
    m_db.reconnectIfLost();
    m_name = m_db.nextStatementName();
    const std::vector<bool>& used = m_used;
    const std::string& text = m_sql;
    // A parameter the statement skips (the SQL binds the same numbers in every form of a
    // statement) gets a type of its own, as PostgreSQL cannot infer one; the others get theirs
    // from where they stand.
    constexpr Oid kText = 25;
    std::vector<Oid> types;
    for (const bool isUsed : used) {
        types.push_back(isUsed ? 0 : kText);
    }
    const Result result{
        PQprepare(m_db.handle(), m_name.c_str(), text.c_str(), static_cast<int>(types.size()), types.data())};
    RequireOk(m_db.handle(), result.result, "prepare");
    m_generation = m_db.generation();
}

PostgresStatement::~PostgresStatement() {
    PQclear(m_result);
    // The connection may be gone bad; the statement goes with the session anyway.
    m_db.executeQuietly(("DEALLOCATE " + m_name).c_str());
}

Statement& PostgresStatement::bind(int index, std::int64_t value) { return bind(index, std::to_string(value)); }

Statement& PostgresStatement::bind(int index, std::string_view text) {
    if (index < 1 || static_cast<std::size_t>(index) > m_params.size()) {
        throw PostgresError("PostgreSQL: bind: no parameter " + std::to_string(index));
    }
    m_params[static_cast<std::size_t>(index) - 1] = std::string(text);
    return *this;
}

Statement& PostgresStatement::bindNull(int index) {
    if (index < 1 || static_cast<std::size_t>(index) > m_params.size()) {
        throw PostgresError("PostgreSQL: bind: no parameter " + std::to_string(index));
    }
    m_params[static_cast<std::size_t>(index) - 1].reset();
    return *this;
}

void PostgresStatement::execute() {
    m_db.reconnectIfLost();
    if (m_generation != m_db.generation()) {
        prepare();
    }
    std::vector<const char*> values;
    values.reserve(m_params.size());
    for (const auto& param : m_params) {
        values.push_back(param ? param->c_str() : nullptr);
    }
    m_result = PQexecPrepared(m_db.handle(), m_name.c_str(), static_cast<int>(values.size()), values.data(), nullptr,
                              nullptr, 0);
    try {
        RequireOk(m_db.handle(), m_result, "step");
    } catch (...) {
        PQclear(m_result);
        m_result = nullptr;
        throw;
    }
    const char* tuples = PQcmdTuples(m_result);
    int changed = 0;
    std::from_chars(tuples, tuples + std::char_traits<char>::length(tuples), changed);
    m_db.setChanges(changed);
    m_row = -1;
}

bool PostgresStatement::step() {
    if (m_result == nullptr) {
        execute();
    }
    ++m_row;
    return m_row < PQntuples(m_result);
}

std::int64_t PostgresStatement::columnInt64(int column) const {
    const char* text = PQgetvalue(m_result, m_row, column);
    std::int64_t value = 0;
    std::from_chars(text, text + PQgetlength(m_result, m_row, column), value);
    return value;
}

std::string PostgresStatement::columnText(int column) const {
    return {PQgetvalue(m_result, m_row, column), static_cast<std::size_t>(PQgetlength(m_result, m_row, column))};
}

bool PostgresStatement::columnIsNull(int column) const { return PQgetisnull(m_result, m_row, column) == 1; }

void PostgresStatement::reset() noexcept {
    PQclear(m_result);
    m_result = nullptr;
    m_row = -1;
    for (auto& param : m_params) {
        param.reset();
    }
}

} // namespace server

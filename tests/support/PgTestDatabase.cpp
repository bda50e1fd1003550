#include "PgTestDatabase.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#include <libpq-fe.h>
#include <unistd.h>

namespace lstest {

namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string StartCluster(const std::string& state, const std::string& settings) {
    const std::string start = std::string(VANTRO_PG_CLUSTER) + " start " + state + " " + settings;
    if (std::system(start.c_str()) != 0) {
        throw std::runtime_error("cannot start a PostgreSQL cluster: " + start);
    }
    return ReadLine(state + "/uri");
}

void StopCluster(const std::string& state) { std::system((std::string(VANTRO_PG_CLUSTER) + " stop " + state).c_str()); }

// The cluster this program started for itself, stopped at exit.
struct OwnCluster {
    std::string state = std::string("/tmp/vantro-pg-state.") + program_invocation_short_name;
    std::string uri = StartCluster(state, "");

    ~OwnCluster() { StopCluster(state); }
};

void Run(const std::string& uri, const std::string& sql) {
    const std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(uri.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error(std::string("test cluster: ") + PQerrorMessage(conn.get()));
    }
    const std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw std::runtime_error("test cluster: " + sql + ": " + PQresultErrorMessage(result.get()));
    }
}

} // namespace

std::string TestClusterUri() {
    if (const char* state = std::getenv("VANTRO_PG_STATE")) {
        const std::string uri = ReadLine(std::string(state) + "/uri");
        if (!uri.empty()) {
            return uri;
        }
    }
    static OwnCluster own;
    return own.uri;
}

PgTestCluster::PgTestCluster(const std::string& settings)
    : m_state("/tmp/vantro-pg-state." + std::to_string(getpid()) + "-own"), m_uri(StartCluster(m_state, settings)) {}

PgTestCluster::~PgTestCluster() { StopCluster(m_state); }

PgTestDatabase::PgTestDatabase() {
    static std::atomic<int> counter{0};
    m_schema = "t" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    const std::string cluster = TestClusterUri();
    Run(cluster, "CREATE SCHEMA " + m_schema);
    m_uri = cluster + "&options=-csearch_path%3D" + m_schema;
}

PgTestDatabase::~PgTestDatabase() {
    try {
        Run(TestClusterUri(), "DROP SCHEMA " + m_schema + " CASCADE");
    } catch (const std::exception&) {
        // The cluster goes at the end of the run, and the schema with it.
    }
}

void PgTestDatabase::execute(const std::string& sql) const { Run(m_uri, sql); }

void PgTestDatabase::executeOn(const std::string& uri, const std::string& sql) { Run(uri, sql); }

} // namespace lstest

#pragma once

// A PostgreSQL database of its own for one test: a schema on the tests' throwaway cluster
// (pg-cluster), dropped when the test ends. The cluster is the one the test command started
// (VANTRO_PG_STATE names its folder); a test program run by hand starts one for itself and stops
// it when it ends.

#include <string>

namespace lstest {

// The cluster's connection URI; starts the program's own cluster on first use when the test
// command gave none.
std::string TestClusterUri();

// A cluster of the test's own, with server settings of its own ("fsync=off"); stopped and removed
// when it goes.
class PgTestCluster {
public:
    explicit PgTestCluster(const std::string& settings);
    ~PgTestCluster();
    PgTestCluster(const PgTestCluster&) = delete;
    PgTestCluster& operator=(const PgTestCluster&) = delete;
    const std::string& uri() const { return m_uri; }

private:
    std::string m_state;
    std::string m_uri;
};

class PgTestDatabase {
public:
    PgTestDatabase();
    ~PgTestDatabase();
    PgTestDatabase(const PgTestDatabase&) = delete;
    PgTestDatabase& operator=(const PgTestDatabase&) = delete;

    // A connection URI whose tables are this test's alone.
    const std::string& uri() const { return m_uri; }
    // Runs SQL on this test's schema as the cluster's superuser; throws on failure.
    void execute(const std::string& sql) const;
    // Runs SQL on the database at `uri`; throws on failure.
    static void executeOn(const std::string& uri, const std::string& sql);

private:
    std::string m_schema;
    std::string m_uri;
};

} // namespace lstest

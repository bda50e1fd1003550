#pragma once

// The store's tests that hold for both backends run once on SQLite (a file in a folder of its
// own) and once on PostgreSQL (a schema of its own on the tests' throwaway cluster).

#include "PgTestDatabase.h"
#include "server/store/Store.h"
#include "support/ClientRequests.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

enum class Backend { Sqlite, Postgres };

class StoreBackendTest : public ::testing::TestWithParam<Backend> {
protected:
    // In the constructor, so that a fixture's members may open the store.
    StoreBackendTest() {
        if (GetParam() == Backend::Postgres) {
            m_postgres = std::make_unique<lstest::PgTestDatabase>();
            m_location = m_postgres->uri();
        } else {
            m_location = m_dir.file("store.db");
        }
    }

    // Where the store lives; two Store objects on it stand for two service processes.
    const std::string& location() const { return m_location; }

    lstest::TempDir m_dir;
    std::unique_ptr<lstest::PgTestDatabase> m_postgres;
    std::string m_location;
};

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Postgres ? "Postgres" : "Sqlite";
}

#define VANTRO_STORE_BACKENDS(fixture)                                                                                 \
    INSTANTIATE_TEST_SUITE_P(Backends, fixture, ::testing::Values(Backend::Sqlite, Backend::Postgres), BackendName)

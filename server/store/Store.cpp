#include "server/store/Store.h"

#include "server/store/Checkpointer.h"
#include "server/store/Migrations.h"
#include "server/store/Postgres.h"
#include "server/store/ReadPool.h"
#include "server/store/Sqlite.h"

#include <ctime>

namespace server {

std::string UtcText(std::int64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

namespace {

std::unique_ptr<Database> OpenWriter(const std::string& location) {
    if (!IsPostgresUri(location)) {
        return std::make_unique<SqliteDatabase>(location);
    }
    auto db = std::make_unique<PostgresDatabase>(location);
    RequireDurableCommits(*db);
    return db;
}

} // namespace

Store::Store(const std::string& location, StoreSettings settings)
    : m_inMemory(location == ":memory:" || location.empty()), m_settings(std::move(settings)),
      m_writing(OpenWriter(location)), m_writer(*m_writing) {
    if (m_writer.dialect() == Dialect::Postgres) {
        openSchema();
        m_readPool = std::make_unique<ReadPool>([location] { return std::make_unique<PostgresDatabase>(location); });
        return;
    }
    m_writer.execute("PRAGMA foreign_keys = ON");
    if (!m_inMemory) {
        // WAL: readers see the last commit while a write goes on. FULL: every commit is synced to
        // disk before it returns, so what the service has answered survives a power cut or a
        // crash of the system; concurrent writes share that sync (GroupCommit.h).
        m_writer.execute("PRAGMA journal_mode = WAL");
        m_writer.execute("PRAGMA synchronous = FULL");
    }
    openSchema();
    releaseStaleClaims();
    if (!m_inMemory) {
        m_readPool =
            std::make_unique<ReadPool>([location] { return std::make_unique<SqliteDatabase>(location, true); });
        m_checkpointer = std::make_unique<Checkpointer>(location, static_cast<SqliteDatabase&>(m_writer));
    }
}

Store::~Store() = default;

void Store::openSchema() {
    std::lock_guard lock(m_writeMutex);
    if (IsSchemaCurrent(m_writer)) {
        return;
    }
    // The ladder and the demo user in one transaction: a store is never left half made.
    Transaction transaction(m_writer);
    if (MigrateSchema(m_writer) == 0) {
        seedDemoData();
    }
    transaction.commit();
}

std::int64_t Store::now() const { return m_settings.clock ? m_settings.clock() : std::time(nullptr); }

ReadConnection Store::reading() { return ReadConnection(m_readPool.get(), m_writeMutex, m_writer); }

} // namespace server

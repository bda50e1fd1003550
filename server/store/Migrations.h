#pragma once

// The store's schema as one ladder of numbered steps, for SQLite and PostgreSQL alike (the SQL of a
// step written per dialect where they differ): every table and column change is a step, and a
// store of any earlier version climbs the steps it lacks. The version is kept in the SQLite file's
// `user_version`, or in PostgreSQL's table schema_version.

#include "server/store/Connection.h"

#include <cstdint>

namespace server {

// True when the store on `db` is at the last step: nothing to do, no transaction needed.
bool IsSchemaCurrent(Database& db);

// Runs the steps the store on `db` lacks, inside the caller's transaction, and returns the version
// it was at (0: a new, empty store). Throws StoreError for a store this ladder does not know (a
// newer service wrote it).
std::int64_t MigrateSchema(Database& db);

} // namespace server

#pragma once

// The store's schema as one ladder of numbered steps, kept in the file's `user_version`: every
// table and column change is a step, and a store of any earlier version climbs the steps it lacks.

#include "server/store/Sqlite.h"

#include <cstdint>

namespace server {

// True when the store on `db` is at the last step: nothing to do, no transaction needed.
bool IsSchemaCurrent(Database& db);

// Runs the steps the store on `db` lacks, inside the caller's transaction, and returns the version
// it was at (0: a new, empty store). Throws SqliteError for a store this ladder does not know (a
// newer service wrote it).
std::int64_t MigrateSchema(Database& db);

} // namespace server

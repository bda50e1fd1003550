#pragma once

// Commits the writes of concurrent requests together: one transaction and one disk sync for all
// the writes that arrived while the previous group was being synced. The store syncs every commit
// (synchronous = FULL), so a write returns only once it is durable, and an answer that reports it
// is never given for a change a power cut could still take back. One sync costs a millisecond or
// more; syncing each request on its own would cap the service at a few hundred writes a second.
//
// Each request's write is one step: it runs inside a savepoint of the group's transaction, so a
// step that fails is undone alone and the others still commit. Whoever arrives while no group is
// being committed leads the next one: it runs every waiting step, commits, and wakes the others.

#include "server/store/Connection.h"

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace server {

class GroupCommit {
public:
    // `db` is the writing connection and `dbMutex` the lock that every other use of it takes.
    GroupCommit(Database& db, std::mutex& dbMutex) : m_db(db), m_dbMutex(dbMutex) {}
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    // Runs `step` on the writing connection as part of the next group and returns once that group
    // is committed. Rethrows what the step threw (its changes undone), or the commit's failure
    // (nothing of the group kept).
    void run(const std::function<void()>& step);

private:
    struct Pending {
        const std::function<void()>* step = nullptr;
        std::exception_ptr error;
        bool done = false;
    };

    void commit(const std::vector<Pending*>& group);

    Database& m_db;
    std::mutex& m_dbMutex;
    std::mutex m_mutex; // guards m_waiting, m_leading and each Pending's `done`
    std::condition_variable m_committed;
    std::vector<Pending*> m_waiting;
    bool m_leading = false;
};

} // namespace server

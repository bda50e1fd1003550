#include "server/store/GroupCommit.h"

namespace server {

void GroupCommit::run(const std::function<void()>& step) {
    Pending mine;
    mine.step = &step;
    std::unique_lock lock(m_mutex);
    m_waiting.push_back(&mine);
    while (!mine.done) {
        if (m_leading) {
            m_committed.wait(lock);
            continue;
        }
        // Lead: everything that waits now, this step included, is one group.
        m_leading = true;
        std::vector<Pending*> group;
        group.swap(m_waiting);
        lock.unlock();
        try {
            commit(group);
        } catch (...) {
            // Whatever went wrong, nothing of the group is kept, its callers hear of it, and the
            // next group gets a leader: none of them waits for ever.
            {
                std::lock_guard dbLock(m_dbMutex);
                if (m_db.inTransaction()) {
                    m_db.executeQuietly("ROLLBACK");
                }
            }
            for (Pending* pending : group) {
                if (!pending->error) {
                    pending->error = std::current_exception();
                }
            }
        }
        lock.lock();
        for (Pending* pending : group) {
            pending->done = true;
        }
        m_leading = false;
        m_committed.notify_all();
    }
    lock.unlock();
    if (mine.error) {
        std::rethrow_exception(mine.error);
    }
}

void GroupCommit::commit(const std::vector<Pending*>& group) {
    std::lock_guard dbLock(m_dbMutex);
    // The steps already run whose changes the open transaction holds.
    std::vector<Pending*> held;
    const auto failHeld = [&](const std::exception_ptr& error) {
        for (Pending* pending : held) {
            pending->error = error;
        }
        held.clear();
    };
    for (Pending* pending : group) {
        try {
            m_db.openStep();
        } catch (...) {
            pending->error = std::current_exception();
            if (!m_db.inTransaction()) {
                // The transaction is gone (the connection was lost): so are the steps it held.
                failHeld(pending->error);
            }
            continue;
        }
        try {
            (*pending->step)();
            m_db.closeStep();
            held.push_back(pending);
        } catch (...) {
            pending->error = std::current_exception();
            if (m_db.inTransaction()) {
                m_db.undoStep();
            } else {
                // The database rolled the whole transaction back (a full disk, an I/O error): the
                // steps before this one went with it.
                failHeld(pending->error);
            }
        }
    }
    if (!m_db.inTransaction()) {
        return; // every step failed, nothing to commit
    }
    try {
        m_db.commitSteps();
    } catch (...) {
        m_db.executeQuietly("ROLLBACK");
        failHeld(std::current_exception());
    }
}

} // namespace server

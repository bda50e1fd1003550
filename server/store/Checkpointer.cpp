#include "server/store/Checkpointer.h"

#include <chrono>

namespace server {

Checkpointer::Checkpointer(const std::string& path, SqliteDatabase& writer) : m_writer(writer), m_db(path) {
    // A connection learns that the file is in WAL mode when it first reads it; until then a
    // checkpoint does nothing at all.
    m_db.execute("PRAGMA journal_mode = WAL");
    // The copy syncs the log before it and the database file after it, so that the log never
    // starts over on top of commits the file does not hold on disk yet.
    m_db.execute("PRAGMA synchronous = FULL");
    m_thread = std::thread([this] { run(); });
    sqlite3_busy_handler(m_writer.handle(), &Checkpointer::waitBriefly, nullptr);
    sqlite3_wal_hook(m_writer.handle(), &Checkpointer::onCommit, this);
}

Checkpointer::~Checkpointer() {
    sqlite3_wal_hook(m_writer.handle(), nullptr, nullptr);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

int Checkpointer::onCommit(void* self, sqlite3* writer, const char*, int frames) {
    auto* checkpointer = static_cast<Checkpointer*>(self);
    if (checkpointer->m_finishDue.exchange(false)) {
        sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
    } else if (frames >= kFramesBeforeCheckpoint) {
        {
            std::lock_guard lock(checkpointer->m_mutex);
            if (checkpointer->m_due) {
                return SQLITE_OK;
            }
            checkpointer->m_due = true;
        }
        checkpointer->m_wake.notify_one();
    }
    return SQLITE_OK;
}

int Checkpointer::waitBriefly(void*, int count) {
    constexpr int kTries = 50000; // about 5 s
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    return count < kTries ? 1 : 0;
}

void Checkpointer::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait(lock, [this] { return m_due || m_stopping; });
        if (m_stopping) {
            break;
        }
        lock.unlock();
        // Each pass copies what the one before left behind; under load that shrinks quickly.
        int before = 0;
        int logged = 0;
        int passes = 0;
        do {
            before = logged;
            sqlite3_wal_checkpoint_v2(m_db.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, nullptr);
        } while (++passes < kMostPasses && logged - before > kFramesLeftToCommit);
        m_finishDue = true;
        lock.lock();
        m_due = false; // commits during the copy asked for what has just been done
    }
}

} // namespace server

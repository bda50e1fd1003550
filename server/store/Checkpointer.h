#pragma once

// Moves the write-ahead log into the database file on a thread and connection of its own. SQLite
// would otherwise do it inside the commit that fills the log, syncing the disk twice while every
// other write waits.
//
// The log starts over only when a write begins with every frame copied and no read still using
// it. Under steady load some write always lands during the copy, and the log would grow for as
// long as the load lasts (gigabytes in a minute), every read searching all of it. So the bulk is
// copied while writes go on, and the next commit copies the few frames written meanwhile, holding
// the write lock it already has until the reads in progress are done: the write after it starts
// the log over.

#include "server/store/Sqlite.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace server {

class Checkpointer {
public:
    // Hooks itself to the commits of `writer`, which must outlive it.
    Checkpointer(const std::string& path, SqliteDatabase& writer);
    ~Checkpointer();
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

private:
    static constexpr int kFramesBeforeCheckpoint = 1000; // SQLite's own default
    static constexpr int kMostPasses = 4;
    static constexpr int kFramesLeftToCommit = 64; // well under a millisecond's copy

    // SQLite's hook after each commit of the writing connection, with the frames now in the log.
    static int onCommit(void* self, sqlite3* writer, const char*, int frames);
    // Reads take microseconds: a connection that waits for them does so in short steps rather
    // than SQLite's first millisecond.
    static int waitBriefly(void*, int count);
    void run();

    SqliteDatabase& m_writer;
    SqliteDatabase m_db;
    std::atomic<bool> m_finishDue = false;
    std::mutex m_mutex; // guards m_due and m_stopping
    std::condition_variable m_wake;
    bool m_due = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace server

#pragma once

// The store's connections for reading. A read on a connection of its own sees the last commit and
// never waits for the writer (SQLite in WAL mode; PostgreSQL always), so reads take an idle
// connection from the pool (or open one) and give it back when done.

#include "server/store/Connection.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace server {

class ReadPool {
public:
    using Open = std::function<std::unique_ptr<Database>()>;

    // `open` makes a new connection for reading.
    explicit ReadPool(Open open) : m_open(std::move(open)) {}
    ReadPool(const ReadPool&) = delete;
    ReadPool& operator=(const ReadPool&) = delete;

    // An idle connection, or a new one when none is idle.
    std::unique_ptr<Database> take();
    void giveBack(std::unique_ptr<Database> reader);

private:
    Open m_open;
    std::mutex m_mutex; // guards m_idle
    std::vector<std::unique_ptr<Database>> m_idle;
};

// A connection to read on for as long as this lives: one of the pool's, or, with no pool (an
// in-memory store, which has no connection but the writing one), the writing connection under its
// lock.
class ReadConnection {
public:
    ReadConnection(ReadPool* pool, std::mutex& writeMutex, Database& writer);
    ~ReadConnection();
    ReadConnection(const ReadConnection&) = delete;
    ReadConnection& operator=(const ReadConnection&) = delete;

    Database& db() { return m_reader ? *m_reader : m_writer; }

private:
    ReadPool* m_pool;
    Database& m_writer;
    std::unique_lock<std::mutex> m_lock;
    std::unique_ptr<Database> m_reader;
};

} // namespace server

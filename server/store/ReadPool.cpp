#include "server/store/ReadPool.h"

namespace server {

std::unique_ptr<Database> ReadPool::take() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            auto reader = std::move(m_idle.back());
            m_idle.pop_back();
            return reader;
        }
    }
    return m_open();
}

void ReadPool::giveBack(std::unique_ptr<Database> reader) {
    std::lock_guard lock(m_mutex);
    m_idle.push_back(std::move(reader));
}

ReadConnection::ReadConnection(ReadPool* pool, std::mutex& writeMutex, Database& writer)
    : m_pool(pool), m_writer(writer) {
    if (pool != nullptr) {
        m_reader = pool->take();
    } else {
        m_lock = std::unique_lock(writeMutex);
    }
}

ReadConnection::~ReadConnection() {
    if (m_reader) {
        m_pool->giveBack(std::move(m_reader));
    }
}

} // namespace server

#include "server/http/WorkerPool.h"

#include <chrono>

namespace server::http {

WorkerPool::WorkerPool(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        m_threads.emplace_back([this] { work(); });
    }
}

void WorkerPool::post(Job job) {
    {
        std::lock_guard lock(m_mutex);
        ++m_unfinished;
        if (!m_stopping) {
            m_jobs.push_back(std::move(job));
            m_wake.notify_one();
            return;
        }
    }
    job(true); // arrived while stopping: refused at once
}

void WorkerPool::finished() {
    std::lock_guard lock(m_mutex);
    --m_unfinished;
    m_idle.notify_all();
}

void WorkerPool::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            return;
        }
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
    std::unique_lock lock(m_mutex);
    m_idle.wait_for(lock, std::chrono::seconds(3), [this] { return m_unfinished == 0; });
}

void WorkerPool::work() {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty()) {
            return; // stopping, nothing left
        }
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        const bool stopping = m_stopping;
        lock.unlock();
        job(stopping);
        lock.lock();
    }
}

} // namespace server::http

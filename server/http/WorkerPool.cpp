#include "server/http/WorkerPool.h"

#include <chrono>

namespace server::http {

WorkerPool::WorkerPool(unsigned count, std::size_t waitingPerAddress, std::size_t waitingInAll)
    : m_perAddress(waitingPerAddress), m_inAll(waitingInAll) {
    for (unsigned i = 0; i < count; ++i) {
        m_threads.emplace_back([this] { work(); });
    }
}

bool WorkerPool::post(const std::string& address, Job job) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping) {
            std::deque<Job>& queue = m_waiting[address];
            if (queue.size() >= m_perAddress || m_waitingCount >= m_inAll) {
                if (queue.empty()) {
                    m_waiting.erase(address);
                }
                return false;
            }
            if (queue.empty()) {
                // An address with nothing waiting goes first: a client that asks now and then is
                // served before the addresses that keep their share of the queue full.
                m_turns.push_front(address);
            }
            queue.push_back(std::move(job));
            ++m_waitingCount;
            ++m_unfinished;
            m_wake.notify_one();
            return true;
        }
        ++m_unfinished;
    }
    job(true); // arrived while stopping: refused at once
    return true;
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
        m_wake.wait(lock, [this] { return m_stopping || !m_turns.empty(); });
        if (m_turns.empty()) {
            return; // stopping, nothing left
        }
        // One job from the address whose turn it is; it goes to the back if it has more.
        const std::string address = std::move(m_turns.front());
        m_turns.pop_front();
        std::deque<Job>& queue = m_waiting[address];
        Job job = std::move(queue.front());
        queue.pop_front();
        --m_waitingCount;
        if (queue.empty()) {
            m_waiting.erase(address);
        } else {
            m_turns.push_back(address);
        }
        const bool stopping = m_stopping;
        lock.unlock();
        job(stopping);
        lock.lock();
    }
}

} // namespace server::http

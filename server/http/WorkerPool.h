#pragma once

// Threads of their own for the routes whose answers take a core for a long while. Their
// connections are set aside meanwhile, so that the threads serving connections stay free for
// the other requests however many slow ones arrive.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace server::http {

class WorkerPool {
public:
    // `stopping`: the job is run only to be refused, at once.
    using Job = std::function<void(bool stopping)>;

    explicit WorkerPool(unsigned count);
    ~WorkerPool() { stop(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void post(Job job);
    // A job's connection has had its answer queued (or has gone).
    void finished();
    // Jobs not yet started are run with `stopping` set, which answers them at once; then waits,
    // for a bounded time, until every set-aside connection has had its answer queued: the
    // library must not be stopped while one is still set aside.
    void stop();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_jobs;
    std::size_t m_unfinished = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace server::http

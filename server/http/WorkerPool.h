#pragma once

// Threads of their own for the routes whose answers take a core for a long while. Their
// connections are set aside meanwhile, so that the threads serving connections stay free for
// the other requests however many slow ones arrive.
//
// The jobs waiting are bounded, per client address and in all, and the workers take them from the
// addresses in turn, an address that had nothing waiting first: a flood from a few addresses is
// refused beyond its share instead of making everyone else wait behind it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace server::http {

class WorkerPool {
public:
    // `stopping`: the job is run only to be refused, at once.
    using Job = std::function<void(bool stopping)>;

    WorkerPool(unsigned count, std::size_t waitingPerAddress, std::size_t waitingInAll);
    ~WorkerPool() { stop(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // False, and the job is not taken, when as many jobs from `address` or in all are waiting as
    // the bounds allow.
    bool post(const std::string& address, Job job);
    // A job's connection has had its answer queued (or has gone).
    void finished();
    // Jobs not yet started are run with `stopping` set, which answers them at once; then waits,
    // for a bounded time, until every set-aside connection has had its answer queued: the
    // library must not be stopped while one is still set aside.
    void stop();

private:
    void work();

    std::size_t m_perAddress;
    std::size_t m_inAll;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::unordered_map<std::string, std::deque<Job>> m_waiting;
    std::deque<std::string> m_turns; // the addresses with jobs waiting, the next to be served first
    std::size_t m_waitingCount = 0;
    std::size_t m_unfinished = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace server::http

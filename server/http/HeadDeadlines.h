#pragma once

// Closes connections whose request head has not arrived in time. The HTTP library bounds the
// time between two reads, not the whole head, so a client sending a byte every few seconds
// would otherwise hold its connection for ever.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

struct MHD_Connection;

namespace server::http {

class HeadDeadlines {
public:
    explicit HeadDeadlines(std::chrono::seconds limit);
    ~HeadDeadlines();
    HeadDeadlines(const HeadDeadlines&) = delete;
    HeadDeadlines& operator=(const HeadDeadlines&) = delete;

    // A connection opened: its first head is awaited.
    void opened(MHD_Connection* connection, int fd);
    // Its head has arrived.
    void headArrived(MHD_Connection* connection);
    // Its answer has gone: the next head is awaited.
    void answered(MHD_Connection* connection);
    // Called before the library closes the socket, so the watcher never touches a reused one.
    void closed(MHD_Connection* connection);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        int fd = -1;
        Clock::time_point since;
        bool awaitingHead = true;
    };

    void watch();

    std::chrono::seconds m_limit;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<MHD_Connection*, Entry> m_connections;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace server::http

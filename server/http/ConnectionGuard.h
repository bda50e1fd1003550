#pragma once

// Keeps slow and idle clients from holding the connections that others need. The HTTP library
// bounds the time between two reads, not the whole request, so a client sending a byte every few
// seconds would otherwise hold its connection for ever; and once its connection limit is reached
// it refuses everyone new, however idle the connections it holds.
//
// - The whole request, head and body, must arrive within a deadline, counted from the connection's
//   start or from the previous answer.
// - A body must keep up a minimum rate once a short grace time has passed.
// - When the open connections come close to the limit, each new one ends the connection that has
//   waited longest for its request (idle, or the slowest), so that a newcomer always gets in.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <unordered_map>

struct MHD_Connection;

namespace server::http {

struct GuardLimits {
    std::chrono::seconds request{10};
    std::chrono::seconds bodyGrace{2};
    std::size_t minBodyBytesPerSecond = 1024;
    // Open connections beyond which each new one ends the one that has waited longest.
    std::size_t budget = 448;
    // Only connections that have waited this long for their request are ended for a newcomer. A
    // burst of connections that send nothing must not fill the budget before any is old enough,
    // so by default any waiting one is, the oldest first.
    std::chrono::milliseconds evictableAfter{0};
};

class ConnectionGuard {
public:
    explicit ConnectionGuard(GuardLimits limits);
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // A connection opened: its first request is awaited. Ends older waiting ones when the budget
    // is short.
    void opened(MHD_Connection* connection, int fd);
    // Its head has arrived; the body, if any, is still to come.
    void headArrived(MHD_Connection* connection);
    void bodyReceived(MHD_Connection* connection, std::size_t bytes);
    // The whole request is in: no deadline while it is answered.
    void requestRead(MHD_Connection* connection);
    // Its answer has gone: the next request is awaited.
    void answered(MHD_Connection* connection);
    // Called before the library closes the socket, so the watcher never touches a reused one.
    void closed(MHD_Connection* connection);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        int fd = -1;
        Clock::time_point since;
        bool awaiting = true; // the request is not complete yet
        bool headIn = false;
        Clock::time_point headAt{};
        std::size_t bodyBytes = 0;
        bool ended = false; // shut down, not yet closed by the library
    };

    void end(Entry& entry);
    void watch();

    GuardLimits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<MHD_Connection*, Entry> m_connections;
    std::size_t m_live = 0; // open and not ended
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace server::http

#include "server/http/ConnectionGuard.h"

#include <algorithm>
#include <vector>

#include <sys/socket.h>

namespace server::http {

ConnectionGuard::ConnectionGuard(GuardLimits limits) : m_limits(limits), m_thread([this] { watch(); }) {}

ConnectionGuard::~ConnectionGuard() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void ConnectionGuard::end(Entry& entry) {
    // The library sees the connection fail and closes it on its own thread.
    shutdown(entry.fd, SHUT_RDWR);
    entry.ended = true;
    entry.awaiting = false;
    --m_live;
}

void ConnectionGuard::opened(MHD_Connection* connection, int fd) {
    std::lock_guard lock(m_mutex);
    const Clock::time_point now = Clock::now();
    if (m_live >= m_limits.budget) {
        // The one that has waited longest for its request goes; one in the middle of an answer
        // never does.
        Entry* oldest = nullptr;
        for (auto& [other, entry] : m_connections) {
            if (entry.awaiting && now - entry.since >= m_limits.evictableAfter &&
                (oldest == nullptr || entry.since < oldest->since)) {
                oldest = &entry;
            }
        }
        if (oldest != nullptr) {
            end(*oldest);
        }
    }
    m_connections[connection] = Entry{fd, now};
    ++m_live;
}

void ConnectionGuard::headArrived(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end()) {
        found->second.headIn = true;
        found->second.headAt = Clock::now();
    }
}

void ConnectionGuard::bodyReceived(MHD_Connection* connection, std::size_t bytes) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end()) {
        found->second.bodyBytes += bytes;
    }
}

void ConnectionGuard::requestRead(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end()) {
        found->second.awaiting = false;
    }
}

void ConnectionGuard::answered(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end() && !found->second.ended) {
        found->second = Entry{found->second.fd, Clock::now()};
    }
}

void ConnectionGuard::closed(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end()) {
        if (!found->second.ended) {
            --m_live;
        }
        m_connections.erase(found);
    }
}

void ConnectionGuard::watch() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait_for(lock, std::chrono::milliseconds(250));
        const Clock::time_point now = Clock::now();
        for (auto& [connection, entry] : m_connections) {
            if (!entry.awaiting) {
                continue;
            }
            const bool late = now - entry.since > m_limits.request;
            const auto reading = std::chrono::duration<double>(now - entry.headAt);
            const bool slow = entry.headIn && reading > m_limits.bodyGrace &&
                              static_cast<double>(entry.bodyBytes) <
                                  reading.count() * static_cast<double>(m_limits.minBodyBytesPerSecond);
            if (late || slow) {
                end(entry);
            }
        }
    }
}

} // namespace server::http

#include "server/http/HeadDeadlines.h"

#include <sys/socket.h>

namespace server::http {

HeadDeadlines::HeadDeadlines(std::chrono::seconds limit) : m_limit(limit), m_thread([this] { watch(); }) {}

HeadDeadlines::~HeadDeadlines() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HeadDeadlines::opened(MHD_Connection* connection, int fd) {
    std::lock_guard lock(m_mutex);
    m_connections[connection] = Entry{fd, Clock::now(), true};
}

void HeadDeadlines::headArrived(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end()) {
        found->second.awaitingHead = false;
    }
}

void HeadDeadlines::answered(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    if (auto found = m_connections.find(connection); found != m_connections.end()) {
        found->second = Entry{found->second.fd, Clock::now(), true};
    }
}

void HeadDeadlines::closed(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    m_connections.erase(connection);
}

void HeadDeadlines::watch() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait_for(lock, std::chrono::milliseconds(250));
        const Clock::time_point now = Clock::now();
        for (auto& [connection, entry] : m_connections) {
            if (entry.awaitingHead && now - entry.since > m_limit) {
                // The library sees the connection fail and closes it on its own thread.
                shutdown(entry.fd, SHUT_RDWR);
                entry.awaitingHead = false;
            }
        }
    }
}

} // namespace server::http

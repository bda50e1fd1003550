#pragma once

// A socket bound and listening, IPv4 or IPv6. It is bound here rather than by the HTTP library,
// so that the port is known before the first request can arrive.

#include <string>

namespace server::http {

class ListeningSocket {
public:
    // `host`: an IPv4 or IPv6 address, or "localhost"; `port` 0: any free port. Throws
    // std::runtime_error when the address is not one or cannot be bound.
    ListeningSocket(const std::string& host, int port, unsigned backlog);
    ~ListeningSocket();
    ListeningSocket(ListeningSocket&& other) noexcept
        : m_fd(other.release()), m_port(other.m_port), m_ipv6(other.m_ipv6) {}
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;
    ListeningSocket& operator=(ListeningSocket&&) = delete;

    int port() const noexcept { return m_port; }
    bool ipv6() const noexcept { return m_ipv6; }
    // Hands the socket over (to the library); -1 once handed over.
    int release() noexcept;

private:
    int m_fd = -1;
    int m_port = 0;
    bool m_ipv6 = false;
};

} // namespace server::http

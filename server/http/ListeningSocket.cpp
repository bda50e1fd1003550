#include "server/http/ListeningSocket.h"

#include <cstdint>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace server::http {

namespace {

sockaddr_storage AddressOf(const std::string& host, int port) {
    sockaddr_storage address{};
    static_assert(sizeof address >= sizeof(sockaddr_in6));
    if (host.find(':') != std::string::npos) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET6, host.c_str(), &in6.sin6_addr) != 1) {
            throw std::runtime_error("not an IPv6 address: " + host);
        }
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<std::uint16_t>(port));
        const std::string numeric = host == "localhost" ? "127.0.0.1" : host;
        if (inet_pton(AF_INET, numeric.c_str(), &in4.sin_addr) != 1) {
            throw std::runtime_error("not an IP address: " + host);
        }
    }
    return address;
}

} // namespace

ListeningSocket::ListeningSocket(const std::string& host, int port, unsigned backlog) {
    if (port < 0 || port > 65535) {
        throw std::runtime_error("cannot listen at port " + std::to_string(port));
    }
    sockaddr_storage address = AddressOf(host, port);
    m_ipv6 = address.ss_family == AF_INET6;
    m_fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        throw std::runtime_error("cannot open a socket");
    }
    // SO_REUSEADDR alone allows a quick restart but refuses a port that another service listens on.
    int yes = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // A connection is handed over only once its first bytes have arrived: connections that send
    // nothing stay with the kernel and never take one of the service's.
    int firstBytesWithin = 10;
    setsockopt(m_fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &firstBytesWithin, sizeof firstBytesWithin);
    const socklen_t addressSize = m_ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), addressSize) != 0 ||
        listen(m_fd, static_cast<int>(backlog)) != 0) {
        close(m_fd);
        throw std::runtime_error("cannot listen on " + host + " at port " + std::to_string(port));
    }
    socklen_t boundSize = sizeof address;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &boundSize);
    m_port = ntohs(m_ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                          : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

ListeningSocket::~ListeningSocket() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

int ListeningSocket::release() noexcept {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

} // namespace server::http

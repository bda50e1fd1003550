#pragma once

// The listening end of a loopback test server: a socket on a free port of 127.0.0.1 and a pipe
// that wakes the server's thread out of poll(), both closed with the object.

#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

class LoopbackListener {
public:
    // `owner` names the server in the exception thrown when it cannot listen.
    explicit LoopbackListener(const char* owner, int backlog = 16) {
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(m_socket, backlog) != 0 ||
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
            ::pipe2(m_wakePipe, O_CLOEXEC) != 0) {
            close();
            throw std::runtime_error(std::string(owner) + ": cannot listen on 127.0.0.1");
        }
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackListener() { close(); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int socket() const noexcept { return m_socket; }
    int port() const noexcept { return m_port; }
    // Readable once wake() was called; poll it beside the socket.
    int wakeEnd() const noexcept { return m_wakePipe[0]; }
    void wake() const {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(m_wakePipe[1], &byte, 1);
    }

private:
    void close() {
        for (int fd : {m_socket, m_wakePipe[0], m_wakePipe[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        m_socket = m_wakePipe[0] = m_wakePipe[1] = -1;
    }

    int m_socket = -1;
    int m_port = 0;
    int m_wakePipe[2] = {-1, -1};
};

} // namespace testsupport

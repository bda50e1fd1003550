#pragma once

// The floods of vantro-server-flood (FloodCheck.cpp): their kinds and sizes, and the flooding
// connections, opened from loopback addresses of their own and driven from one thread with epoll.
// Also the socket and the request both the floods and the timed probes open.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flood {

using Clock = std::chrono::steady_clock;

constexpr const char* kDemoLogin = "<QVRLogin>    <Login>4125551212</Login>    <Password>demo</Password></QVRLogin>";

enum class Kind { SlowBody, Idle, Logins };

struct Flood {
    Kind kind;
    const char* name;
    int connections;
    int addresses; // 127.0.0.2 onwards
    double loginGoalMs;
    double sendGoalMs = 100;
};

const Flood kFloods[] = {
    {Kind::SlowBody, "slow-body", 600, 6, 1000},
    {Kind::Idle, "idle", 2000, 20, 1000},
    {Kind::Logins, "logins", 300, 3, 2000},
};

inline in_addr Loopback(const std::string& text) {
    in_addr address{};
    inet_pton(AF_INET, text.c_str(), &address);
    return address;
}

inline std::string FloodAddress(int index) { return "127.0.0." + std::to_string(2 + index); }

// A TCP socket bound to `source`, connecting to 127.0.0.1:port. Non-blocking when asked; the
// connection may then still be in progress. -1 when no socket could be had.
inline int Connect(const std::string& source, int port, bool nonBlocking) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
        return -1;
    }
    // Closed without TIME_WAIT, so that reopening thousands of connections keeps finding ports.
    linger off{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = Loopback(source);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    remote.sin_addr = Loopback("127.0.0.1");
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

inline std::string Post(const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nConnection: close\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The flooding connections, driven from one thread with epoll.
class Flooder {
public:
    Flooder(const Flood& flood, int port) : m_flood(flood), m_port(port), m_slots(flood.connections) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
    }
    ~Flooder() {
        closeAll();
        close(m_epoll);
    }
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    // Runs until `end`: opens every connection (at a bounded rate), feeds them, and opens again
    // those the service closed.
    void run(Clock::time_point end) {
        while (Clock::now() < end) {
            const Clock::time_point now = Clock::now();
            int opened = 0;
            for (std::size_t i = 0; i < m_slots.size() && opened < kOpensPerRound; ++i) {
                Slot& slot = m_slots[i];
                if (slot.fd < 0 && now >= slot.reopenAt) {
                    open(slot, static_cast<int>(i));
                    ++opened;
                } else if (slot.fd >= 0 && m_flood.kind == Kind::SlowBody && slot.headSent && now >= slot.nextByte) {
                    trickle(slot);
                }
            }
            epoll_event events[256];
            const int count = epoll_wait(m_epoll, events, 256, 20);
            for (int i = 0; i < count; ++i) {
                Slot& slot = m_slots[events[i].data.u32];
                if (slot.fd >= 0) {
                    ready(slot, events[i].events);
                }
            }
        }
    }

    void closeAll() {
        for (Slot& slot : m_slots) {
            drop(slot);
        }
    }

    std::size_t opened() const { return m_opened; }
    std::size_t closedByService() const { return m_closed; }
    std::size_t loginsAnswered() const { return m_answered; }
    std::size_t loginsAccepted() const { return m_accepted; }
    int openNow() const {
        return static_cast<int>(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.fd >= 0; }));
    }

private:
    struct Slot {
        int fd = -1;
        bool headSent = false;
        std::size_t sent = 0;
        std::string request;
        std::string answer;
        Clock::time_point nextByte{};
        Clock::time_point reopenAt{};
    };
    static constexpr int kOpensPerRound = 50; // at most 2,500 new connections a second

    void open(Slot& slot, int index) {
        const std::string source = FloodAddress(index % m_flood.addresses);
        slot = Slot{};
        slot.fd = Connect(source, m_port, true);
        if (slot.fd < 0) {
            slot.reopenAt = Clock::now() + std::chrono::milliseconds(100);
            return;
        }
        ++m_opened;
        switch (m_flood.kind) {
        case Kind::SlowBody:
            // A login whose body never quite arrives.
            slot.request = "POST /vantro_login.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n"
                           "Content-Length: 1000\r\n\r\n";
            break;
        case Kind::Idle:
            break;
        case Kind::Logins:
            slot.request = Post("/vantro_login.aspx", kDemoLogin);
            break;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | (slot.request.empty() ? 0U : static_cast<unsigned>(EPOLLOUT));
        event.data.u32 = static_cast<std::uint32_t>(index);
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, slot.fd, &event);
    }

    void drop(Slot& slot) {
        if (slot.fd >= 0) {
            close(slot.fd); // also leaves the epoll set
            slot.fd = -1;
        }
    }

    void closedByService(Slot& slot) {
        if (m_flood.kind == Kind::Logins && !slot.answer.empty()) {
            ++m_answered;
            m_accepted += slot.answer.find("<result>TRUE</result>") != std::string::npos ? 1 : 0;
        } else {
            ++m_closed;
        }
        drop(slot);
        slot.reopenAt = Clock::now() + std::chrono::milliseconds(100);
    }

    void trickle(Slot& slot) {
        const ssize_t n = send(slot.fd, " ", 1, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) {
            closedByService(slot);
            return;
        }
        slot.nextByte = Clock::now() + std::chrono::seconds(5);
    }

    void ready(Slot& slot, std::uint32_t events) {
        if ((events & EPOLLOUT) != 0 && slot.sent < slot.request.size()) {
            const ssize_t n =
                send(slot.fd, slot.request.data() + slot.sent, slot.request.size() - slot.sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN) {
                closedByService(slot);
                return;
            }
            slot.sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            if (slot.sent == slot.request.size()) {
                slot.headSent = true;
                slot.nextByte = Clock::now() + std::chrono::seconds(5);
                epoll_event event{};
                event.events = EPOLLIN | EPOLLRDHUP;
                event.data.u32 = static_cast<std::uint32_t>(&slot - m_slots.data());
                epoll_ctl(m_epoll, EPOLL_CTL_MOD, slot.fd, &event);
            }
        }
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
            char buffer[4096];
            while (true) {
                const ssize_t n = recv(slot.fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    slot.answer.append(buffer, static_cast<std::size_t>(std::min<ssize_t>(n, 512)));
                    continue;
                }
                if (n == 0 || errno != EAGAIN) {
                    closedByService(slot);
                }
                return;
            }
        }
    }

    const Flood& m_flood;
    int m_port;
    int m_epoll = -1;
    std::vector<Slot> m_slots;
    std::size_t m_opened = 0;
    std::size_t m_closed = 0;
    std::size_t m_answered = 0;
    std::size_t m_accepted = 0;
};

} // namespace flood

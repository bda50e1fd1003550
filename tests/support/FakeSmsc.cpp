#include "FakeSmsc.h"
#include "SmppPdu.h"

#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fakesmsc {

namespace {

bool SendAll(int socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(std::size_t(sent));
    }
    return true;
}

} // namespace

struct FakeSmsc::Connection {
    int socket = -1;
    std::string input;
    // The answers to what one read brought, sent together once it is handled: written one PDU
    // at a time, the second would wait for the gateway's delayed ACK (Nagle), 40 ms each time.
    std::string output;
    bool bound = false;
};

FakeSmsc::FakeSmsc() : m_listener("fake SMSC") { m_thread = std::thread([this] { serve(); }); }

FakeSmsc::~FakeSmsc() {
    {
        std::lock_guard lock(m_mutex);
        m_binds = -1; // tells the thread to end
    }
    wakeThread();
    m_thread.join();
}

void FakeSmsc::wakeThread() { m_listener.wake(); }

void FakeSmsc::refuseNext(std::uint32_t status, int count) {
    std::lock_guard lock(m_mutex);
    for (int i = 0; i < count; ++i) {
        m_refusals.push_back(status);
    }
}

void FakeSmsc::receiptEveryMessage(bool on) {
    std::lock_guard lock(m_mutex);
    m_autoReceipt = on;
}

std::vector<SubmitSm> FakeSmsc::submits() const {
    std::lock_guard lock(m_mutex);
    return m_submits;
}

std::size_t FakeSmsc::submitCount() const {
    std::lock_guard lock(m_mutex);
    return m_submits.size();
}

bool FakeSmsc::waitForSubmits(std::size_t count, std::chrono::seconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_submits.size() >= count; });
}

bool FakeSmsc::bound() const {
    std::lock_guard lock(m_mutex);
    return m_binds > 0;
}

bool FakeSmsc::sendReceipt(const SubmitSm& submit, std::string_view stat, std::string_view err) {
    {
        std::lock_guard lock(m_mutex);
        if (m_binds <= 0) {
            return false;
        }
        m_pendingOut.push_back(Pdu(kDeliverSm, 0, m_nextSequence++, ReceiptBody(submit, stat, err)));
    }
    wakeThread();
    return true;
}

void FakeSmsc::serve() {
    std::vector<Connection> connections;
    for (;;) {
        std::vector<pollfd> fds{{m_listener.socket(), POLLIN, 0}, {m_listener.wakeEnd(), POLLIN, 0}};
        for (const auto& connection : connections) {
            fds.push_back({connection.socket, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            break;
        }
        std::deque<std::string> out;
        {
            std::lock_guard lock(m_mutex);
            if (m_binds < 0) {
                break;
            }
            out.swap(m_pendingOut);
        }
        if ((fds[1].revents & POLLIN) != 0) {
            char drain[64];
            [[maybe_unused]] const auto got = ::read(m_listener.wakeEnd(), drain, sizeof drain);
        }
        for (const auto& pdu : out) {
            for (auto& connection : connections) {
                if (connection.bound) {
                    connection.output += pdu;
                    break;
                }
            }
        }
        for (std::size_t i = 0; i < connections.size(); ++i) {
            auto& connection = connections[i];
            if ((fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            char chunk[16384];
            const ssize_t got = ::recv(connection.socket, chunk, sizeof chunk, 0);
            bool open = got > 0;
            if (open) {
                connection.input.append(chunk, std::size_t(got));
            }
            while (open && connection.input.size() >= kHeaderSize) {
                const std::uint32_t length = ReadU32(connection.input, 0);
                if (length < kHeaderSize || length > kMaxPduSize) {
                    open = false;
                    break;
                }
                if (connection.input.size() < length) {
                    break;
                }
                const std::string pdu = connection.input.substr(0, length);
                connection.input.erase(0, length);
                const std::uint32_t command = ReadU32(pdu, 4);
                handle(connection, command, ReadU32(pdu, 12), std::string_view(pdu).substr(kHeaderSize));
                if (command == kUnbind) {
                    open = false;
                }
            }
            if (!open) {
                SendAll(connection.socket, connection.output);
                ::close(connection.socket);
                connection.socket = -1;
                if (connection.bound) {
                    std::lock_guard lock(m_mutex);
                    --m_binds;
                }
            }
        }
        std::erase_if(connections, [](const Connection& c) { return c.socket < 0; });
        for (auto& connection : connections) {
            SendAll(connection.socket, connection.output);
            connection.output.clear();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int client = ::accept4(m_listener.socket(), nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int on = 1; // each round's answers at once, not after the gateway's ACK
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                connections.push_back({client, {}, {}, false});
            }
        }
    }
    for (const auto& connection : connections) {
        ::close(connection.socket);
    }
}

void FakeSmsc::handle(Connection& connection, std::uint32_t command, std::uint32_t sequence, std::string_view body) {
    switch (command) {
    case kBindTransceiver:
    case kBindTransmitter:
    case kBindReceiver: {
        connection.output += Pdu(command | kResponse, 0, sequence, std::string_view("fakesmsc\0", 9));
        if (!connection.bound) {
            connection.bound = true;
            std::lock_guard lock(m_mutex);
            ++m_binds;
        }
        m_changed.notify_all();
        return;
    }
    case kEnquireLink:
    case kUnbind:
        connection.output += Pdu(command | kResponse, 0, sequence, {});
        return;
    case kSubmitSm: {
        SubmitSm submit;
        if (!ParseSubmit(body, submit)) {
            connection.output += Pdu(kSubmitSm | kResponse, 0x00000002 /* ESME_RINVCMDLEN */, sequence, {});
            return;
        }
        std::string receipt;
        {
            std::lock_guard lock(m_mutex);
            if (!m_refusals.empty()) {
                submit.status = m_refusals.front();
                m_refusals.pop_front();
            } else {
                submit.messageId = std::to_string(m_nextId++);
            }
            if (m_autoReceipt && submit.status == 0) {
                receipt = Pdu(kDeliverSm, 0, m_nextSequence++, ReceiptBody(submit, "DELIVRD", "000"));
            }
            m_submits.push_back(submit);
        }
        // A refusal carries no body at all, as SMPP 3.4 allows for a failed submit_sm_resp.
        const std::string answer = submit.status == 0 ? submit.messageId + '\0' : std::string();
        connection.output += Pdu(kSubmitSm | kResponse, submit.status, sequence, answer);
        connection.output += receipt;
        m_changed.notify_all();
        return;
    }
    default:
        if ((command & kResponse) != 0) {
            return; // deliver_sm_resp, enquire_link_resp: nothing to do
        }
        connection.output += Pdu(kGenericNack, 0x00000003 /* ESME_RINVCMDID */, sequence, {});
    }
}

} // namespace fakesmsc

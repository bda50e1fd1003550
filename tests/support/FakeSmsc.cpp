#include "FakeSmsc.h"

#include <ctime>
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

constexpr std::uint16_t kMessagePayloadTag = 0x0424;
constexpr std::size_t kHeaderSize = 16;
// A PDU larger than this is not something a gateway sends; the connection is dropped.
constexpr std::uint32_t kMaxPduSize = 64 * 1024;

std::uint32_t ReadU32(std::string_view bytes, std::size_t at) {
    return (std::uint32_t(std::uint8_t(bytes[at])) << 24) | (std::uint32_t(std::uint8_t(bytes[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(bytes[at + 2])) << 8) | std::uint32_t(std::uint8_t(bytes[at + 3]));
}

void PutU32(std::string& out, std::uint32_t value) {
    out += char(value >> 24);
    out += char(value >> 16);
    out += char(value >> 8);
    out += char(value);
}

std::string Pdu(std::uint32_t command, std::uint32_t status, std::uint32_t sequence, std::string_view body) {
    std::string out;
    PutU32(out, std::uint32_t(kHeaderSize + body.size()));
    PutU32(out, command);
    PutU32(out, status);
    PutU32(out, sequence);
    out += body;
    return out;
}

// Reads the fields of a PDU body in order; any read past the end marks it malformed.
class BodyReader {
public:
    explicit BodyReader(std::string_view body) : m_body(body) {}
    bool ok() const { return m_ok; }
    bool atEnd() const { return m_at >= m_body.size(); }

    std::string cString() {
        const auto end = m_body.find('\0', m_at);
        if (end == std::string_view::npos) {
            m_ok = false;
            m_at = m_body.size();
            return {};
        }
        std::string value(m_body.substr(m_at, end - m_at));
        m_at = end + 1;
        return value;
    }
    int byte() {
        if (m_at >= m_body.size()) {
            m_ok = false;
            return 0;
        }
        return std::uint8_t(m_body[m_at++]);
    }
    int u16() { return (byte() << 8) | byte(); }
    std::string bytes(std::size_t count) {
        if (m_body.size() - m_at < count) {
            m_ok = false;
            m_at = m_body.size();
            return {};
        }
        std::string value(m_body.substr(m_at, count));
        m_at += count;
        return value;
    }

private:
    std::string_view m_body;
    std::size_t m_at = 0;
    bool m_ok = true;
};

bool ParseSubmit(std::string_view body, SubmitSm& submit) {
    BodyReader read(body);
    submit.serviceType = read.cString();
    submit.sourceTon = read.byte();
    submit.sourceNpi = read.byte();
    submit.source = read.cString();
    submit.destinationTon = read.byte();
    submit.destinationNpi = read.byte();
    submit.destination = read.cString();
    submit.esmClass = read.byte();
    read.byte(); // protocol_id
    read.byte(); // priority_flag
    read.cString(); // schedule_delivery_time
    read.cString(); // validity_period
    submit.registeredDelivery = read.byte();
    read.byte(); // replace_if_present_flag
    submit.dataCoding = read.byte();
    read.byte(); // sm_default_msg_id
    const int length = read.byte();
    submit.shortMessage = read.bytes(std::size_t(length));
    while (read.ok() && !read.atEnd()) {
        const int tag = read.u16();
        const int size = read.u16();
        std::string value = read.bytes(std::size_t(size));
        if (tag == kMessagePayloadTag) {
            submit.payload = std::move(value);
        }
    }
    const std::string& data = submit.payload.empty() ? submit.shortMessage : submit.payload;
    submit.userData = data;
    if ((submit.esmClass & kEsmClassUdhi) != 0 && !data.empty()) {
        const std::size_t udhLength = std::uint8_t(data[0]) + 1u;
        if (udhLength <= data.size()) {
            submit.udh = data.substr(0, udhLength);
            submit.userData = data.substr(udhLength);
        }
    }
    return read.ok();
}

std::string Utc(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[16] = {};
    std::strftime(text, sizeof text, "%y%m%d%H%M", &utc);
    return text;
}

// deliver_sm from the handset's number back to the sender, carrying the receipt text.
std::string ReceiptBody(const SubmitSm& submit, std::string_view stat, std::string_view err) {
    const std::time_t now = std::time(nullptr);
    const bool delivered = stat == "DELIVRD";
    std::string text = "id:" + submit.messageId + " sub:001 dlvrd:" + (delivered ? "001" : "000") +
                       " submit date:" + Utc(now) + " done date:" + Utc(now) + " stat:" + std::string(stat) +
                       " err:" + std::string(err) + " text:";
    // The first 20 characters of the message, as SMSCs quote them; only plain ones, so that the
    // receipt stays in the default alphabet whatever the message's coding.
    for (const char c : submit.userData.substr(0, 20)) {
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    std::string body;
    body += '\0'; // service_type
    body += char(submit.destinationTon);
    body += char(submit.destinationNpi);
    body += submit.destination + '\0';
    body += char(submit.sourceTon);
    body += char(submit.sourceNpi);
    body += submit.source + '\0';
    body += char(kEsmClassReceipt);
    body += '\0';       // protocol_id
    body += '\0';       // priority_flag
    body += '\0';       // schedule_delivery_time
    body += '\0';       // validity_period
    body += '\0';       // registered_delivery
    body += '\0';       // replace_if_present_flag
    body += '\0';       // data_coding: default alphabet
    body += '\0';       // sm_default_msg_id
    body += char(text.size());
    body += text;
    return body;
}

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

bool ReadConcat(std::string_view udh, ConcatInfo& info) {
    // udh: its length byte, then information elements (id, length, data).
    std::size_t at = 1;
    while (at + 2 <= udh.size()) {
        const int id = std::uint8_t(udh[at]);
        const std::size_t length = std::uint8_t(udh[at + 1]);
        const std::string_view data = udh.substr(at + 2, length);
        if (data.size() != length) {
            return false;
        }
        if (id == 0x00 && length == 3) {
            info = {std::uint8_t(data[0]), std::uint8_t(data[1]), std::uint8_t(data[2])};
            return true;
        }
        if (id == 0x08 && length == 4) {
            info = {(std::uint8_t(data[0]) << 8) | std::uint8_t(data[1]), std::uint8_t(data[2]),
                    std::uint8_t(data[3])};
            return true;
        }
        at += 2 + length;
    }
    return false;
}

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

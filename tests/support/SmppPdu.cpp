#include "SmppPdu.h"

#include <ctime>

namespace fakesmsc {

namespace {

constexpr std::uint16_t kMessagePayloadTag = 0x0424;

void PutU32(std::string& out, std::uint32_t value) {
    out += char(value >> 24);
    out += char(value >> 16);
    out += char(value >> 8);
    out += char(value);
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

std::string Utc(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[16] = {};
    std::strftime(text, sizeof text, "%y%m%d%H%M", &utc);
    return text;
}

} // namespace

std::uint32_t ReadU32(std::string_view bytes, std::size_t at) {
    return (std::uint32_t(std::uint8_t(bytes[at])) << 24) | (std::uint32_t(std::uint8_t(bytes[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(bytes[at + 2])) << 8) | std::uint32_t(std::uint8_t(bytes[at + 3]));
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

} // namespace fakesmsc

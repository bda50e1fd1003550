#include "server/exchanges/ConsoleLine.h"

#include <cstdio>

namespace server {

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                out += hex;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string ConsoleLine(const OutboxMessage& message, std::string_view senderLogin, const GatewayTable& gateways) {
    std::string line = message.sentAt;
    line += " SMS #" + std::to_string(message.id);
    line += " from " + std::string(senderLogin);
    line += " to " + message.number;
    line += " via " + message.carrier;
    const std::string gateway = gateways.address(message.number, message.carrier);
    line += gateway.empty() ? std::string(" (no email gateway known)") : " <" + gateway + ">";
    line += ": subject " + Quoted(message.subject);
    line += " body " + Quoted(message.body);
    return line;
}

} // namespace server

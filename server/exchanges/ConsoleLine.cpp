#include "server/exchanges/ConsoleLine.h"

#include <cstdio>

namespace server {

namespace {

// The UTF-8 characters that some terminals and log viewers take as a line break or a control:
// C1 controls (U+0080 to U+009F, NEL among them), and U+2028 and U+2029. Their code point, or 0.
unsigned LineBreakingCharacter(std::string_view rest) {
    const auto byte = [&rest](std::size_t i) { return static_cast<unsigned char>(rest[i]); };
    if (rest.size() >= 2 && byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) {
        return byte(1);
    }
    if (rest.size() >= 3 && byte(0) == 0xE2 && byte(1) == 0x80 && (byte(2) == 0xA8 || byte(2) == 0xA9)) {
        return 0x2000U + byte(2) - 0x80U;
    }
    return 0;
}

} // namespace

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (const unsigned character = LineBreakingCharacter(text.substr(i))) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", character);
            out += escaped;
            i += character < 0x100 ? 1 : 2;
            continue;
        }
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

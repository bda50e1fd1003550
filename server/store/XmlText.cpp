#include "server/store/XmlText.h"

#include <cstdint>

namespace server {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool IsXmlChar(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes the UTF-8 sequence at `pos`: its length, or 0 when it is not valid UTF-8 (overlong
// forms and surrogates included).
std::size_t Decode(std::string_view text, std::size_t pos, std::uint32_t& c) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char first = byte(0);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if (first < 0x80) {
        c = first;
        return 1;
    }
    if ((first & 0xE0U) == 0xC0U) {
        length = 2, c = first & 0x1FU, minimum = 0x80;
    } else if ((first & 0xF0U) == 0xE0U) {
        length = 3, c = first & 0x0FU, minimum = 0x800;
    } else if ((first & 0xF8U) == 0xF0U) {
        length = 4, c = first & 0x07U, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0U) != 0x80U) {
            return 0;
        }
        c = (c << 6U) | (byte(i) & 0x3FU);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    return length;
}

} // namespace

bool IsXmlText(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        std::uint32_t c = 0;
        const std::size_t length = Decode(text, pos, c);
        if (length == 0 || !IsXmlChar(c)) {
            return false;
        }
        pos += length;
    }
    return true;
}

std::string ToXmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        std::uint32_t c = 0;
        const std::size_t length = Decode(text, pos, c);
        if (length == 0) {
            out += kReplacement;
            ++pos;
        } else {
            out += IsXmlChar(c) ? text.substr(pos, length) : kReplacement;
            pos += length;
        }
    }
    return out;
}

} // namespace server

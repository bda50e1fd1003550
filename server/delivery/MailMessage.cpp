#include "server/delivery/MailMessage.h"

#include <algorithm>
#include <ctime>

#include <sodium.h>

namespace server {

namespace {

// SMTP's limit is 1000 octets a line with CR LF; a header line should stay under 78.
constexpr std::size_t kMaxLineOctets = 998;
constexpr std::size_t kMaxPlainSubject = 60;

// Standard base64 with padding, as MIME bodies and encoded words take it.
std::string Base64(std::string_view bytes) {
    std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    out.pop_back(); // the terminating NUL
    return out;
}

bool IsPrintableAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// Every line break (CR LF, lone CR, lone LF) as CR LF.
std::string WithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    return out;
}

bool HasLongLine(std::string_view crlfText) {
    std::size_t start = 0;
    while (start <= crlfText.size()) {
        const auto end = crlfText.find("\r\n", start);
        const std::size_t length = (end == std::string_view::npos ? crlfText.size() : end) - start;
        if (length > kMaxLineOctets) {
            return true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 2;
    }
    return false;
}

std::string Base64Lines(std::string_view bytes) {
    const std::string encoded = Base64(bytes);
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); i += 76) {
        out += encoded.substr(i, 76);
        out += "\r\n";
    }
    return out;
}

} // namespace

std::string EncodeHeaderWords(std::string_view text) {
    // "=?UTF-8?B?" + "?=" is 12 characters; 39 octets make 52 characters of base64, so a word
    // fits on a header line with "Subject: " in front within 78 characters.
    constexpr std::size_t kMaxOctetsPerWord = 39;
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = std::min(text.size(), start + kMaxOctetsPerWord);
        // Back up to the start of a UTF-8 character: continuation bytes are 10xxxxxx.
        while (end < text.size() && end > start + 1 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        if (!out.empty()) {
            out += "\r\n ";
        }
        out += "=?UTF-8?B?" + Base64(text.substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

std::string MailDate(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    // Day and month names are English whatever the locale, so no strftime %a or %b.
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64] = {};
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday], utc.tm_mday,
                  kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string MessageIdFor(std::int64_t outboxId, std::string_view queuedAt, std::string_view fromAddress) {
    std::string stamp;
    for (const char c : queuedAt) {
        if ((c >= '0' && c <= '9') || c == 'T' || c == 'Z') {
            stamp += c;
        }
    }
    const auto at = fromAddress.rfind('@');
    const std::string_view domain =
        at == std::string_view::npos ? std::string_view("localhost") : fromAddress.substr(at + 1);
    return "vantro." + std::to_string(outboxId) + "." + stamp + "@" + std::string(domain);
}

bool IsPlainMailAddress(std::string_view address) {
    const auto at = address.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size() ||
        address.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    return std::none_of(address.begin(), address.end(), [](char c) {
        return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '<' || c == '>' || c == ',' || c == ';' ||
               c == '"' || c == '(' || c == ')' || c == '\\';
    });
}

std::string ComposeMail(const MailFields& fields) {
    // A subject is one header line: line breaks and other control characters in it would start
    // new headers, so they become spaces.
    std::string subject = fields.subject;
    std::replace_if(
        subject.begin(), subject.end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7F; }, ' ');

    const std::string body = WithCrLf(fields.body);
    const bool asciiBody = std::all_of(body.begin(), body.end(), [](char c) { return c >= 0; });
    const bool longLines = HasLongLine(body);

    std::string mail;
    mail += "From: <" + fields.from + ">\r\n";
    mail += "To: <" + fields.to + ">\r\n";
    mail += "Date: " + MailDate(fields.date) + "\r\n";
    mail += "Message-ID: <" + fields.messageId + ">\r\n";
    mail += "Subject: ";
    mail += IsPrintableAscii(subject) && subject.size() <= kMaxPlainSubject ? subject : EncodeHeaderWords(subject);
    mail += "\r\n";
    mail += "MIME-Version: 1.0\r\n";
    mail += "Content-Type: text/plain; charset=UTF-8\r\n";
    if (longLines) {
        mail += "Content-Transfer-Encoding: base64\r\n\r\n";
        mail += Base64Lines(body);
    } else {
        mail += asciiBody ? "Content-Transfer-Encoding: 7bit\r\n\r\n" : "Content-Transfer-Encoding: 8bit\r\n\r\n";
        mail += body;
        if (!body.ends_with("\r\n")) {
            mail += "\r\n";
        }
    }
    return mail;
}

} // namespace server

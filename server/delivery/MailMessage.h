#pragma once

// The e-mail that carries one text message to a carrier's e-mail-to-SMS gateway.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace server {

struct MailFields {
    std::string from;      // the relay's sender address, "sms@example.org"
    std::string to;        // "number@gateway"
    std::string subject;   // UTF-8, may be empty
    std::string body;      // UTF-8, as the user wrote it
    std::string messageId; // without angle brackets, see MessageIdFor
    std::chrono::system_clock::time_point date;
};

// The whole message as it goes after DATA: headers and body, every line ended by CR LF. The body
// keeps its line breaks (a lone CR or LF becomes CR LF, which SMTP requires). A subject that is
// not plain printable ASCII, or too long for one header line, goes as RFC 2047 encoded words.
// Lines starting with "." are left as they are: the SMTP client doubles the dot.
std::string ComposeMail(const MailFields& fields);

// A Message-ID that depends only on the outbox entry, so that every attempt at the same message
// carries the same one and a repeat after a crash can be recognised.
std::string MessageIdFor(std::int64_t outboxId, std::string_view queuedAt, std::string_view fromAddress);

// RFC 5322 date in UTC: "Mon, 07 Dec 2026 10:15:00 +0000".
std::string MailDate(std::chrono::system_clock::time_point when);

// "=?UTF-8?B?...?=" words, each at most 64 characters and never splitting a UTF-8 character,
// joined by CR LF and a space (a folded header).
std::string EncodeHeaderWords(std::string_view text);

// True when the address can stand in a header and an SMTP command as it is: no blanks, control
// characters, angle brackets or commas, exactly one "@" with text on both sides.
bool IsPlainMailAddress(std::string_view address);

} // namespace server

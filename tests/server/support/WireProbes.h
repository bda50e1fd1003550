#pragma once

// What an attacker's client does on the wire, for the service's tests: raw bytes from a chosen
// loopback address, and TLS handshakes limited to chosen versions and suites.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lstest {

struct RawResult {
    std::string received;
    bool closedByService = false; // the service ended the connection (end of stream or reset)
};

// Connects to 127.0.0.1:port from `source` (a 127.0.0.0/8 address), sends `bytes`, and reads
// until the service closes the connection or `quietMs` pass without a byte.
RawResult RawExchange(int port, std::string_view bytes, int quietMs = 1500, const char* source = "127.0.0.1");

// The status lines in what came back ("HTTP/1.1 400 Bad Request", ...), in order, wherever they
// stand.
std::vector<std::string> StatusLines(std::string_view received);

// A TLS connection to 127.0.0.1:port offering only what the GnuTLS `priority` string allows (the
// certificate is not checked). Sends `request` and returns everything the service answered before
// closing; nothing when the handshake is refused.
std::optional<std::string> TlsExchange(int port, const char* priority, std::string_view request);

// RawExchange over TLS (the certificate is not checked); nothing when the handshake is refused.
std::optional<RawResult> TlsRawExchange(int port, const char* priority, std::string_view bytes, int quietMs = 1500);

} // namespace lstest

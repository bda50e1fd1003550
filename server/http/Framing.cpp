#include "server/http/Framing.h"

#include <string>

#include <microhttpd.h>
#include <strings.h>
#include <sys/socket.h>

namespace server::http {

namespace {

MHD_Result CollectFraming(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto& framing = *static_cast<Framing*>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
        framing.lengths.emplace_back(value != nullptr ? value : "");
    } else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
        framing.transferEncoding = true;
    }
    return MHD_YES;
}

} // namespace

Framing ReadFraming(MHD_Connection* connection) {
    Framing framing;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectFraming, &framing);
    return framing;
}

// True when the request head at the start of `bytes` is complete and has a Content-Length that is
// not plain digits (a sign, a minus, anything else). The library refuses such a head, but writes
// its status line twice, which a proxy in front may read as two answers; so the service refuses it
// first, with one clean answer. Heads the library reads first (HTTPS, later requests) and lengths
// only the library finds wrong are refused by LengthRefusals.
bool HasMalformedLength(std::string_view bytes) {
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) {
        return false;
    }
    std::string_view head = bytes.substr(0, headEnd + 2);
    for (std::size_t lineEnd = head.find("\r\n"); lineEnd != std::string_view::npos; lineEnd = head.find("\r\n")) {
        const std::string_view line = head.substr(0, lineEnd);
        head.remove_prefix(lineEnd + 2);
        constexpr std::string_view kName = "content-length:";
        if (line.size() < kName.size() || strncasecmp(line.data(), kName.data(), kName.size()) != 0) {
            continue;
        }
        std::string_view value = line.substr(kName.size());
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
            value.remove_suffix(1);
        }
        if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

// Reads what a new plain connection has sent so far (its first bytes are there at once: the
// listening socket hands over connections only once they have sent something) and, when its head
// has a malformed Content-Length, answers 400 itself and ends the connection, before the library
// reads a byte.
void RefuseMalformedLength(int fd) {
    char buffer[8192];
    const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
    if (got <= 0 || !HasMalformedLength(std::string_view(buffer, static_cast<std::size_t>(got)))) {
        return;
    }
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    const std::string body = "400 Bad Request: malformed Content-Length\n";
    const std::string answer = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Type: text/plain; "
                               "charset=utf-8\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body;
    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(fd, SHUT_RDWR);
}

} // namespace server::http

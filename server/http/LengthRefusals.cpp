#include "server/http/LengthRefusals.h"

#include "server/http/Framing.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <sys/socket.h>

namespace server::http {

bool IsReadableLength(std::string_view value) {
    std::uint64_t length = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    return !value.empty() && value.front() >= '0' && value.front() <= '9' && error == std::errc() &&
           end == value.data() + value.size();
}

LengthRefusals::LengthRefusals(std::string extraHeaders, std::string tooLarge)
    : m_extraHeaders(std::move(extraHeaders)), m_tooLarge(std::move(tooLarge)) {}

void LengthRefusals::opened(MHD_Connection* connection, int fd) {
    std::lock_guard lock(m_mutex);
    m_connections[connection] = Entry{fd, std::this_thread::get_id(), false};
}

void LengthRefusals::closed(MHD_Connection* connection) {
    std::lock_guard lock(m_mutex);
    m_connections.erase(connection);
}

void LengthRefusals::libraryLog(void* cls, const char* format, va_list /*arguments*/) {
    // The library's own words, written just before it refuses the head (connection.c,
    // parse_connection_headers).
    if (std::strstr(format, "Failed to parse `Content-Length' header") != nullptr) {
        static_cast<LengthRefusals*>(cls)->refuseOnThisThread(false);
    } else if (std::strstr(format, "Too large value of 'Content-Length' header") != nullptr) {
        static_cast<LengthRefusals*>(cls)->refuseOnThisThread(true);
    }
}

// The connection is one this thread serves whose head is complete (the library tells its size
// only from then on), without Transfer-Encoding (the library then reads no length), and whose
// first Content-Length, the one the library reads, is not a length. Its head was completed and
// read in the same step of the library, so any other such connection of this thread was refused
// here already: the one found is the one being refused now.
void LengthRefusals::refuseOnThisThread(bool tooLarge) {
    std::vector<std::pair<MHD_Connection*, int>> found;
    {
        std::lock_guard lock(m_mutex);
        for (auto& [connection, entry] : m_connections) {
            if (entry.thread != std::this_thread::get_id() || entry.refused ||
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE) == nullptr) {
                continue;
            }
            const Framing framing = ReadFraming(connection);
            if (!framing.transferEncoding && !framing.lengths.empty() && !IsReadableLength(framing.lengths.front())) {
                entry.refused = true;
                found.emplace_back(connection, entry.fd);
            }
        }
    }
    const std::string body = tooLarge ? m_tooLarge + "\n" : "400 Bad Request: malformed Content-Length\n";
    const std::string answer = std::string(tooLarge ? "HTTP/1.1 413 Content Too Large" : "HTTP/1.1 400 Bad Request") +
                               "\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\n" + m_extraHeaders +
                               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (const auto& [connection, fd] : found) {
        const MHD_ConnectionInfo* tls = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (tls != nullptr) {
            auto* session = static_cast<gnutls_session_t>(tls->tls_session);
            gnutls_record_send(session, answer.data(), answer.size());
            gnutls_bye(session, GNUTLS_SHUT_WR);
        } else {
            send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        // The library's own answer now fails to go out, and it closes the connection. What the
        // client has sent beyond the head is read away first, so that the close does not reset
        // the connection before the client has read the answer.
        char buffer[8192];
        while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        shutdown(fd, SHUT_RDWR);
    }
}

} // namespace server::http

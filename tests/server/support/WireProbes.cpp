#include "support/WireProbes.h"

#include <cctype>
#include <cerrno>

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lstest {

namespace {

int ConnectFrom(const char* source, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

} // namespace

RawResult RawExchange(int port, std::string_view bytes, int quietMs, const char* source) {
    RawResult result;
    const int fd = ConnectFrom(source, port);
    if (fd < 0) {
        result.closedByService = true;
        return result;
    }
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char buffer[4096];
    while (true) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, quietMs) <= 0) {
            break;
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            result.closedByService = got == 0 || errno != EAGAIN;
            break;
        }
        result.received.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return result;
}

std::vector<std::string> StatusLines(std::string_view received) {
    // Wherever they stand: a head written twice, or an answer right after a body without a line
    // end, shows up too. The service's bodies never hold this text.
    std::vector<std::string> lines;
    for (std::size_t at = received.find("HTTP/1."); at != std::string_view::npos;
         at = received.find("HTTP/1.", at + 1)) {
        const std::string_view rest = received.substr(at);
        if (rest.size() > 12 && rest[8] == ' ' && std::isdigit(static_cast<unsigned char>(rest[9])) != 0) {
            lines.emplace_back(rest.substr(0, rest.find("\r\n")));
        }
    }
    return lines;
}

namespace {

// Reads what a TLS session brings until the service ends it or `quietMs` pass without a byte.
void ReadTls(gnutls_session_t session, int fd, int quietMs, RawResult& result) {
    char buffer[4096];
    for (;;) {
        if (gnutls_record_check_pending(session) == 0) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, quietMs) <= 0) {
                return;
            }
        }
        const ssize_t got = gnutls_record_recv(session, buffer, sizeof buffer);
        if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED) {
            continue;
        }
        if (got <= 0) {
            result.closedByService = true; // close_notify, end of stream or a reset
            return;
        }
        result.received.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

std::optional<RawResult> TlsRawExchange(int port, const char* priority, std::string_view bytes, int quietMs) {
    const int fd = ConnectFrom("127.0.0.1", port);
    if (fd < 0) {
        return std::nullopt;
    }
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    gnutls_session_t session = nullptr;
    gnutls_init(&session, GNUTLS_CLIENT);
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    std::optional<RawResult> result;
    if (gnutls_priority_set_direct(session, priority, nullptr) == GNUTLS_E_SUCCESS) {
        gnutls_transport_set_int(session, fd);
        gnutls_handshake_set_timeout(session, 5000);
        int status = 0;
        do {
            status = gnutls_handshake(session);
        } while (status < 0 && gnutls_error_is_fatal(status) == 0);
        if (status == GNUTLS_E_SUCCESS) {
            result.emplace();
            gnutls_record_send(session, bytes.data(), bytes.size());
            ReadTls(session, fd, quietMs, *result);
        }
    }
    gnutls_deinit(session);
    gnutls_certificate_free_credentials(credentials);
    close(fd);
    return result;
}

std::optional<std::string> TlsExchange(int port, const char* priority, std::string_view request) {
    auto result = TlsRawExchange(port, priority, request, 5000);
    return result ? std::optional<std::string>(std::move(result->received)) : std::nullopt;
}

} // namespace lstest

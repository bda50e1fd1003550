#include "server/http/Request.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

// Forms and cookies are decoded here rather than by libmicrohttpd (0.9.75): its post processor
// reads a form only when the content type says so, and misreads a field that ends in a cut-off
// escape ("x=%4&y=1" gives x empty and y "%41"); its cookie parser strips quotes, splits at commas
// and lets an unbalanced quote in another site's cookie hide ours, so a browser holding such a
// cookie could never post a form.

namespace server::http {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX and '+' decoded; a '%' without two hex digits stays as it is.
std::string FormDecode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

bool Request::hasQueryArgument(const char* name) const {
    return MHD_lookup_connection_value(m_connection, MHD_GET_ARGUMENT_KIND, name) != nullptr;
}

std::string Request::queryArgument(const char* name) const {
    const char* value = MHD_lookup_connection_value(m_connection, MHD_GET_ARGUMENT_KIND, name);
    return value != nullptr ? value : "";
}

std::string Request::cookie(std::string_view name) const {
    const char* header = MHD_lookup_connection_value(m_connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_COOKIE);
    std::string_view rest = header != nullptr ? header : "";
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        std::string_view pair = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
    }
    return {};
}

std::string Request::formField(std::string_view name) const {
    const std::string_view form = m_body;
    std::size_t start = 0;
    while (start <= form.size()) {
        std::size_t end = form.find('&', start);
        end = end == std::string_view::npos ? form.size() : end;
        const std::string_view pair = form.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (FormDecode(pair.substr(0, equals)) == name) {
            return equals == std::string_view::npos ? std::string() : FormDecode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return {};
}

namespace {

// The last X-Forwarded-For header's last address: the one the proxy appended, whatever the client
// sent in headers of that name before it.
MHD_Result KeepLastForwardedFor(void* last, MHD_ValueKind, const char* key, const char* value) {
    if (key != nullptr && value != nullptr && strcasecmp(key, "X-Forwarded-For") == 0) {
        *static_cast<std::string*>(last) = value;
    }
    return MHD_YES;
}

std::string ForwardedClient(MHD_Connection* connection) {
    std::string header;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &KeepLastForwardedFor, &header);
    std::string address = header.substr(header.rfind(',') == std::string::npos ? 0 : header.rfind(',') + 1);
    address.erase(0, address.find_first_not_of(" \t"));
    address.erase(address.find_last_not_of(" \t") + 1);
    unsigned char parsed[sizeof(in6_addr)];
    if (inet_pton(AF_INET, address.c_str(), parsed) == 1 || inet_pton(AF_INET6, address.c_str(), parsed) == 1) {
        return address;
    }
    return {};
}

} // namespace

std::string Request::clientAddress() const {
    const std::string peer = peerAddress();
    if (!m_trustedProxy.empty() && peer == m_trustedProxy) {
        if (std::string forwarded = ForwardedClient(m_connection); !forwarded.empty()) {
            return forwarded;
        }
    }
    return peer;
}

std::string Request::peerAddress() const {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(m_connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return {};
    }
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

} // namespace server::http

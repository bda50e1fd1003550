#pragma once

// One request as a route sees it: method, path, body, and lookups of its query, cookies, form
// fields and client address.

#include "server/http/Method.h"

#include <string>
#include <string_view>

struct MHD_Connection;

namespace server::http {

class Request {
public:
    // `trustedProxy`: the address of a load balancer in front of the service (HttpOptions).
    Request(MHD_Connection* connection, Method method, std::string_view path, const std::string& body,
            std::string_view trustedProxy = {})
        : m_connection(connection), m_method(method), m_path(path), m_body(body), m_trustedProxy(trustedProxy) {}

    Method method() const noexcept { return m_method; }
    std::string_view path() const noexcept { return m_path; }
    const std::string& body() const noexcept { return m_body; }

    // True when the query string holds `name`, with or without a value.
    bool hasQueryArgument(const char* name) const;
    // The value of query argument `name`, decoded; empty when absent.
    std::string queryArgument(const char* name) const;
    // The value of cookie `name` in the Cookie header; empty when absent.
    std::string cookie(std::string_view name) const;
    // The value of field `name` of the body, read as an application/x-www-form-urlencoded form
    // whatever its content type; empty when absent.
    std::string formField(std::string_view name) const;
    // The client's IP address as text; empty when unknown. For a connection from the trusted
    // proxy, the address its last X-Forwarded-For header ends with, which the proxy wrote itself.
    std::string clientAddress() const;

private:
    // The address of the connection's other end.
    std::string peerAddress() const;

    MHD_Connection* m_connection;
    Method m_method;
    std::string_view m_path;
    const std::string& m_body;
    std::string_view m_trustedProxy;
};

} // namespace server::http

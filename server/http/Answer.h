#pragma once

// What a route answers: status, body, content type and further headers, sent as they are.

#include <string>
#include <utility>
#include <vector>

namespace server::http {

inline constexpr const char* kXml = "text/xml; charset=utf-8";
inline constexpr const char* kHtml = "text/html; charset=utf-8";
inline constexpr const char* kText = "text/plain; charset=utf-8";

struct Answer {
    unsigned status = 200;
    std::string body{};
    const char* type = kText;
    // Sent after Content-Type, in this order.
    std::vector<std::pair<std::string, std::string>> headers{};
};

// A plain-text answer for the failures the transport itself reports: "404 Not Found" and such.
inline Answer PlainError(unsigned status, std::string text) { return Answer{status, std::move(text) + "\n", kText}; }

} // namespace server::http

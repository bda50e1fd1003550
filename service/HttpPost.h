#pragma once

#include <cstddef>
#include <optional>
#include <string>

// What the HTTP layer allows an exchange before it counts as a transport failure.
struct TransportLimits {
    long connectTimeoutSeconds = 60;
    long stallSeconds = 30;    // no byte either way for this long, once connected
    long overallSeconds = 120; // the whole exchange, redirects included
    long maxRedirects = 10;
    std::size_t maxAnswerBytes = std::size_t{16} * 1024 * 1024;
};

// The limits in force. The program never changes them; tests shorten them to provoke failures.
TransportLimits& transportLimits();

struct HttpAnswer {
    long status = 0; // the final status, after any redirects
    std::string body;
};

// One synchronous POST. The headers are exactly Content-Length, then Content-Type: text/xml; no
// body at all when `body` is empty. Redirects are followed only to the same host (any port, http
// may become https): 301, 302, 307 and 308 post again, 303 fetches its location with a plain GET.
// Throws TransportError when no complete answer arrives, or on a redirect elsewhere.
HttpAnswer HttpPost(const std::string& url, const std::optional<std::string>& body);

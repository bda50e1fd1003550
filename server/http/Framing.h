#pragma once

// How a request says where its body ends. Framing that two readers of the same bytes could take
// differently is how a request is smuggled past a proxy, so the service looks at it before the
// library reads the body.

#include <string>
#include <string_view>
#include <vector>

struct MHD_Connection;

namespace server::http {

// The framing headers of a request head, as sent.
struct Framing {
    std::vector<std::string> lengths;
    bool transferEncoding = false;
};

Framing ReadFraming(MHD_Connection* connection);

// True when the request head at the start of `bytes` is complete and has a Content-Length that is
// not plain digits.
bool HasMalformedLength(std::string_view bytes);

// Answers 400 and ends a new plain connection whose first head has a malformed Content-Length.
void RefuseMalformedLength(int fd);

} // namespace server::http

#pragma once

// The request methods a route answers, as a set of flags.

#include <string>
#include <string_view>

namespace server::http {

enum class Method : unsigned { None = 0, Get = 1U << 0U, Head = 1U << 1U, Post = 1U << 2U };

constexpr Method operator|(Method a, Method b) {
    return static_cast<Method>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
// True when `set` holds `method` (None is in no set).
constexpr bool Allows(Method set, Method method) {
    return (static_cast<unsigned>(set) & static_cast<unsigned>(method)) != 0;
}

// The method of a request line; None for any the routes never answer (PUT, DELETE, ...).
Method MethodOf(std::string_view name);
// The set as the Allow header lists it: "GET, HEAD, POST", in that order.
std::string AllowHeader(Method set);

} // namespace server::http

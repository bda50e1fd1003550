#include "server/http/Method.h"

#include <array>
#include <utility>

namespace server::http {

namespace {

constexpr std::array<std::pair<Method, std::string_view>, 3> kNames{{
    {Method::Get, "GET"},
    {Method::Head, "HEAD"},
    {Method::Post, "POST"},
}};

} // namespace

Method MethodOf(std::string_view name) {
    for (const auto& [method, text] : kNames) {
        if (text == name) {
            return method;
        }
    }
    return Method::None;
}

std::string AllowHeader(Method set) {
    std::string list;
    for (const auto& [method, text] : kNames) {
        if (Allows(set, method)) {
            list += (list.empty() ? "" : ", ") + std::string(text);
        }
    }
    return list;
}

} // namespace server::http

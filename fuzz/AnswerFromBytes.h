#pragma once

// The service's answer to the next exchange, taken from the fuzzer's bytes instead of a socket:
// status 200 and the bytes as the body, through the program's own answer handling.

#include "service/ServiceExchange.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline std::string& answerBytes() {
    static std::string bytes;
    return bytes;
}

inline HttpAnswer answerFromBytes(const std::string&, const std::optional<std::string>&) {
    return HttpAnswer{200, answerBytes()};
}

inline void answerNextExchangeWith(const std::uint8_t* data, std::size_t size) {
    answerBytes().assign(reinterpret_cast<const char*>(data), size);
    serviceTransport() = &answerFromBytes;
}

#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace server {

struct Carrier {
    std::string_view name;    // as the service names it, and as the client sends it back
    std::string_view gateway; // domain of its email-to-SMS gateway; empty when none is known
};

// The carriers the service delivers to, in the order of the carrier list answer.
std::span<const Carrier> KnownCarriers();

// The carrier of exactly that name (case-sensitive), if the service knows it.
std::optional<Carrier> FindCarrier(std::string_view name);

// "number@gateway" for that carrier, or empty when the carrier or its gateway is unknown.
std::string GatewayAddress(std::string_view number, std::string_view carrierName);

} // namespace server

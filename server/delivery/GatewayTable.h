#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace server {

struct Carrier {
    std::string name;    // as the service names it, and as the client sends it back
    std::string gateway; // domain of its e-mail-to-SMS gateway; empty when it has none
};

// The carriers the service knows and their gateways, read from a file an operator edits
// (gateways.conf shows the format) or the default built into the service from that same file.
class GatewayTable {
public:
    // Throws std::runtime_error naming `origin` and the line when a line is not
    // "name = domain", a domain is not a plain host name, or a name comes twice.
    static GatewayTable parse(std::string_view text, std::string_view origin);
    // Reads and parses the file; throws std::runtime_error when it cannot be read or parsed.
    static GatewayTable load(const std::string& path);
    // The reviewed default that ships with the service.
    static const GatewayTable& builtIn();

    // In the order of the file.
    const std::vector<Carrier>& carriers() const noexcept { return m_carriers; }
    // The carrier of exactly that name (case-sensitive), or null.
    const Carrier* find(std::string_view name) const;
    // "number@gateway", or empty when the carrier is unknown or has no gateway.
    std::string address(std::string_view number, std::string_view carrierName) const;

private:
    std::vector<Carrier> m_carriers;
};

// The built-in table's carriers.
const std::vector<Carrier>& KnownCarriers();

} // namespace server

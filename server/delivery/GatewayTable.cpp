#include "server/delivery/GatewayTable.h"

#include "DefaultGateways.h" // generated from gateways.conf

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace server {

namespace {

std::string_view Trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// A host name as it can follow "@" in an address: letters, digits, dots and hyphens.
bool IsPlainDomain(std::string_view domain) {
    return !domain.starts_with('.') && !domain.ends_with('.') && domain.find("..") == std::string_view::npos &&
           std::all_of(domain.begin(), domain.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                      c == '-';
           });
}

} // namespace

GatewayTable GatewayTable::parse(std::string_view text, std::string_view origin) {
    GatewayTable table;
    int lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (line.empty() || line.starts_with('#')) {
            continue;
        }
        const auto fail = [&](const std::string& why) {
            return std::runtime_error(std::string(origin) + ":" + std::to_string(lineNumber) + ": " + why);
        };
        const auto equals = line.rfind('=');
        if (equals == std::string_view::npos) {
            throw fail("expected \"carrier name = gateway domain\"");
        }
        Carrier carrier{std::string(Trim(line.substr(0, equals))), std::string(Trim(line.substr(equals + 1)))};
        if (carrier.name.empty()) {
            throw fail("the carrier has no name");
        }
        if (!IsPlainDomain(carrier.gateway)) {
            throw fail("\"" + carrier.gateway + "\" is not a plain domain name");
        }
        if (table.find(carrier.name) != nullptr) {
            throw fail("the carrier \"" + carrier.name + "\" is listed twice");
        }
        table.m_carriers.push_back(std::move(carrier));
    }
    return table;
}

GatewayTable GatewayTable::load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read the gateway table " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse(text.str(), path);
}

const GatewayTable& GatewayTable::builtIn() {
    static const GatewayTable table = parse(kDefaultGateways, "built-in gateways.conf");
    return table;
}

const Carrier* GatewayTable::find(std::string_view name) const {
    const auto it =
        std::find_if(m_carriers.begin(), m_carriers.end(), [&](const Carrier& c) { return c.name == name; });
    return it == m_carriers.end() ? nullptr : &*it;
}

std::string GatewayTable::address(std::string_view number, std::string_view carrierName) const {
    const Carrier* carrier = find(carrierName);
    if (carrier == nullptr || carrier->gateway.empty()) {
        return {};
    }
    return std::string(number) + "@" + carrier->gateway;
}

const std::vector<Carrier>& KnownCarriers() { return GatewayTable::builtIn().carriers(); }

} // namespace server

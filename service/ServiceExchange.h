#pragma once

#include "service/HttpPost.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

// The concatenated character data (text and CDATA) of a node and all its descendants.
std::string NodeText(const pugi::xml_node& node);

// The service's answer, parsed. Every query is an XPath descendant query as the exchanges use them.
class ServiceAnswer {
public:
    ServiceAnswer(const std::string& text);
    ServiceAnswer(const ServiceAnswer&) = delete;
    ServiceAnswer& operator=(const ServiceAnswer&) = delete;
    ServiceAnswer(ServiceAnswer&&) = default;

    // Whether the text was well-formed XML. Only the carrier list looks at it.
    bool parsed() const noexcept { return m_parsed; }

    // The first match in document order, or a null node when nothing matches.
    pugi::xml_node findFirst(const char* query) const;

    // The text of the first match; MissingNodeError when nothing matches.
    std::string firstText(const char* query) const;

    // Every match, in document order.
    std::vector<pugi::xml_node> all(const char* query) const;

private:
    pugi::xml_document m_document;
    bool m_parsed = false;
};

// The text that stands in for the answer when the status is not 200, built from that status.
using FailureDocument = std::function<std::string(long status)>;

// How an exchange's POST is carried out. The program always uses HttpPost; the fuzz targets put
// in a function that hands back their bytes as the answer, so that no socket is involved.
using ServiceTransport = HttpAnswer (*)(const std::string& url, const std::optional<std::string>& body);
ServiceTransport& serviceTransport();

// One exchange with the service: POST `body` (or nothing) to the service's address + `path` and
// parse the answer, or the failure document when the status is anything but 200. A transport
// failure is a TransportError.
ServiceAnswer ServiceExchange(std::string_view path, const std::optional<std::string>& body,
                              const FailureDocument& failureDocument);

// The text of the first child element of `node` named `childName`; MissingNodeError when it has none.
std::string FirstChildText(const pugi::xml_node& node, const char* childName);

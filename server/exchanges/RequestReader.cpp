#include "server/exchanges/RequestReader.h"

#include "server/exchanges/Refusals.h"

#include <charconv>
#include <limits>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

namespace server {

namespace {

// A request is first checked with libxml2, which holds to XML 1.0 as strictly as the program does
// with answers. pugixml then reads the fields, because it can keep line breaks as sent (no CR LF
// -> LF normalisation): the outbox must hold a message body exactly.
constexpr unsigned kParseFlags = pugi::parse_default & ~pugi::parse_eol;

void IgnoreXmlMessage(void* /*context*/, const char* /*format*/, ...) {}

std::string MissingField(std::string_view field) {
    return "The request could not be read: the field " + std::string(field) + " is missing.";
}

} // namespace

std::string NodeText(pugi::xml_node node) {
    std::string text;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
            text += child.value();
        } else if (child.type() == pugi::node_element) {
            text += NodeText(child);
        }
    }
    return text;
}

bool IsWellFormedRequest(std::string_view body) {
    static const bool initialised = [] {
        xmlInitParser();
        return true;
    }();
    (void)initialised;
    // libxml2's handler is per thread, and XML_PARSE_NOERROR does not silence its encoding
    // converters: a hostile request must not write to the service's log.
    thread_local const bool silenced = [] {
        xmlSetGenericErrorFunc(nullptr, &IgnoreXmlMessage);
        return true;
    }();
    (void)silenced;
    if (body.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return false;
    }
    // No network, no external entities, no messages on stderr; a document type declaration is
    // refused below, so no entity is ever expanded.
    xmlDocPtr doc = xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, "UTF-8",
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    const bool ok = doc != nullptr && doc->intSubset == nullptr && doc->extSubset == nullptr;
    xmlFreeDoc(doc);
    return ok;
}

std::string DecodeClientAmpersands(std::string_view text) {
    constexpr std::string_view kEntity = "&amp;";
    std::string decoded;
    decoded.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text.substr(pos, kEntity.size()) == kEntity) {
            decoded += '&';
            pos += kEntity.size();
        } else {
            decoded += text[pos];
            ++pos;
        }
    }
    return decoded;
}

std::optional<std::int64_t> ParseInteger(std::string_view text) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

RequestDocument::RequestDocument(std::string_view body, const char* rootName) {
    if (!IsWellFormedRequest(body)) {
        return;
    }
    const pugi::xml_parse_result parsed = m_doc.load_buffer(body.data(), body.size(), kParseFlags, pugi::encoding_utf8);
    if (parsed && std::string_view(m_doc.document_element().name()) == rootName) {
        m_root = m_doc.document_element();
    }
}

std::optional<std::string> RequestDocument::field(const char* name) const {
    const pugi::xml_node node = m_root.child(name);
    if (!node) {
        return std::nullopt;
    }
    return NodeText(node);
}

RequestFields ReadRequest(std::string_view body, const char* rootName, std::initializer_list<const char*> names) {
    RequestFields fields;
    if (IsOversizedRequest(body)) {
        fields.refusal = refusal::kTooLarge;
        return fields;
    }
    const RequestDocument request(body, rootName);
    if (!request.valid()) {
        fields.refusal = refusal::kUnreadable;
        return fields;
    }
    for (const char* name : names) {
        auto value = request.field(name);
        if (!value) {
            fields.refusal = MissingField(name);
            return fields;
        }
        fields.values.push_back(std::move(*value));
    }
    return fields;
}

} // namespace server

#include "service/ServiceExchange.h"

#include "app/Global.h"
#include "service/HttpPost.h"
#include "service/ServiceErrors.h"
#include "service/WellFormedXml.h"

std::string NodeText(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
        return node.value();
    }
    // A walk in document order without recursion, so that no depth of nesting can exhaust the stack.
    std::string text;
    pugi::xml_node current = node.first_child();
    while (current) {
        const pugi::xml_node_type type = current.type();
        if (type == pugi::node_pcdata || type == pugi::node_cdata) {
            text += current.value();
        }
        if (type == pugi::node_element && current.first_child()) {
            current = current.first_child();
            continue;
        }
        while (current && current != node && !current.next_sibling()) {
            current = current.parent();
        }
        if (!current || current == node) {
            break;
        }
        current = current.next_sibling();
    }
    return text;
}

ServiceAnswer::ServiceAnswer(const std::string& text) {
    // pugixml is fast but forgiving (a bare "&", an undefined entity or a second root pass), so
    // libxml2 decides first whether the answer is XML at all; pugixml then reads it for the queries,
    // after libxml2 has expanded any entities the answer declares itself, or decoded an encoding
    // that pugixml does not know.
    const StrictXml strict = ReadXmlStrictly(text);
    const std::string& readable = strict.rewritten ? *strict.rewritten : text;
    m_parsed = strict.wellFormed && static_cast<bool>(m_document.load_buffer(readable.data(), readable.size(),
                                                                             pugi::parse_default, pugi::encoding_auto));
    if (!m_parsed) {
        // A half-read document must not answer queries: an answer that does not parse has no nodes.
        m_document.reset();
    }
}

pugi::xml_node ServiceAnswer::findFirst(const char* query) const { return m_document.select_node(query).node(); }

std::string ServiceAnswer::firstText(const char* query) const {
    const pugi::xml_node node = findFirst(query);
    if (!node) {
        throw MissingNodeError(query);
    }
    return NodeText(node);
}

std::vector<pugi::xml_node> ServiceAnswer::all(const char* query) const {
    std::vector<pugi::xml_node> nodes;
    pugi::xpath_node_set matches = m_document.select_nodes(query);
    matches.sort();
    for (const pugi::xpath_node& match : matches) {
        nodes.push_back(match.node());
    }
    return nodes;
}

ServiceTransport& serviceTransport() {
    static ServiceTransport transport = &HttpPost;
    return transport;
}

ServiceAnswer ServiceExchange(std::string_view path, const std::optional<std::string>& body,
                              const FailureDocument& failureDocument) {
    const HttpAnswer answer = serviceTransport()(global::ServiceUrl + std::string(path), body);
    if (answer.status == 200) {
        return ServiceAnswer(answer.body);
    }
    return ServiceAnswer(failureDocument(answer.status));
}

std::string FirstChildText(const pugi::xml_node& node, const char* childName) {
    const pugi::xml_node child = node.child(childName);
    if (!child) {
        throw MissingNodeError(childName);
    }
    return NodeText(child);
}

#include "service/ServiceExchange.h"

#include "app/Global.h"
#include "service/HttpPost.h"
#include "service/ServiceErrors.h"

namespace {

void appendCharacterData(const pugi::xml_node& node, std::string& text) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        switch (child.type()) {
        case pugi::node_pcdata:
        case pugi::node_cdata:
            text += child.value();
            break;
        case pugi::node_element:
            appendCharacterData(child, text);
            break;
        default:
            break;
        }
    }
}

} // namespace

std::string NodeText(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
        return node.value();
    }
    std::string text;
    appendCharacterData(node, text);
    return text;
}

ServiceAnswer::ServiceAnswer(const std::string& text) {
    const pugi::xml_parse_result result =
        m_document.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    m_parsed = static_cast<bool>(result);
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

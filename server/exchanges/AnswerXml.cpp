#include "server/exchanges/AnswerXml.h"

#include <sstream>
#include <utility>

namespace server::answer {

std::string Serialize(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return std::move(out).str();
}

void AddText(pugi::xml_node parent, const char* name, std::string_view text) {
    parent.append_child(name).append_child(pugi::node_pcdata).set_value(text.data(), text.size());
}

std::string Join(std::string_view prefix, std::string_view text) {
    std::string joined(prefix);
    joined += text;
    return joined;
}

} // namespace server::answer

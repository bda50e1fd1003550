#include "service/RequestDocument.h"

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

} // namespace

std::string EscapeXmlText(std::string_view text) {
    std::string escaped(text);
    replaceAll(escaped, "&", "&amp;");
    replaceAll(escaped, "<", "&lt;");
    replaceAll(escaped, ">", "&gt;");
    return escaped;
}

std::string RequestDocument(std::string_view root, const std::vector<RequestField>& fields) {
    std::string document;
    document.append("<").append(root).append(">");
    for (const auto& [name, value] : fields) {
        document.append("    <").append(name).append(">");
        document.append(value);
        document.append("</").append(name).append(">");
    }
    document.append("</").append(root).append(">");
    return document;
}

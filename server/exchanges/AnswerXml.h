#pragma once

// How every exchange writes its answer document: raw, without a declaration, UTF-8.

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace server::answer {

std::string Serialize(const pugi::xml_document& doc);
// Appends <name>text</name> to the parent.
void AddText(pugi::xml_node parent, const char* name, std::string_view text);
// A refusal's prefix and its text.
std::string Join(std::string_view prefix, std::string_view text);

} // namespace server::answer

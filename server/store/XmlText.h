#pragma once

// Text that an XML 1.0 document can carry. The program refuses answers holding anything else, so
// nothing else may be stored where an answer could show it.

#include <string>
#include <string_view>

namespace server {

// Valid UTF-8 holding only characters XML 1.0 allows (tab, line feed, carriage return, U+0020 to
// U+D7FF, U+E000 to U+FFFD, U+10000 to U+10FFFF).
bool IsXmlText(std::string_view text);
// The text with every invalid byte sequence and every character XML 1.0 does not allow replaced
// by U+FFFD.
std::string ToXmlText(std::string_view text);

} // namespace server

#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Replaces "&", then "<", then ">" by their entities. An "&" that already begins an entity is
// escaped again; quotes, control characters and non-ASCII text pass unchanged.
std::string EscapeXmlText(std::string_view text);

// One field of a request document: its element name and its value, inserted as given (callers
// escape the values that the service expects escaped).
using RequestField = std::pair<std::string_view, std::string_view>;

// The single-line request layout the service reads: the root start tag at the first character,
// four spaces before each field's start tag, nothing else between the tags.
std::string RequestDocument(std::string_view root, const std::vector<RequestField>& fields);

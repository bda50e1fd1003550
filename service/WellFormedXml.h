#pragma once

#include <string_view>

// Whether `text` is a well-formed XML 1.0 document, decided by libxml2 without building a tree.
// Nothing is ever loaded from outside the text: no DTD, no external entity, no network. Internal
// entities expand only within libxml2's own bounds, and nesting deeper than its limit (256
// elements) is refused, so a hostile answer costs little time and memory.
bool IsWellFormedXml(std::string_view text);

#pragma once

#include <optional>
#include <string>
#include <string_view>

// Whether `text` is a well-formed XML 1.0 document, decided by libxml2 without building a tree.
// Nothing is ever loaded from outside the text: no DTD, no external entity, no network. Internal
// entities expand only within libxml2's own bounds, and nesting deeper than its limit (256
// elements) is refused, so a hostile answer costs little time and memory.
bool IsWellFormedXml(std::string_view text);

// The outcome of reading an answer strictly.
struct StrictXml {
    bool wellFormed = false;
    // Set only when the answer declares entities of its own, or declares an encoding other than
    // UTF-8, UTF-16 and ISO-8859-1: the document re-written by libxml2 in UTF-8 with every entity
    // reference replaced by its text, for a reader that knows only the predefined entities and
    // those encodings. External entities are never loaded and stay empty.
    std::optional<std::string> rewritten;
};

StrictXml ReadXmlStrictly(std::string_view text);

#pragma once

// How every exchange reads its request: the size limit, the strict well-formedness check, the
// root element and the fields, as the program writes them.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace server {

// The largest request body the service reads (64 KiB); larger ones are refused.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{64} * 1024;

inline bool IsOversizedRequest(std::string_view body) { return body.size() > kMaxRequestBytes; }

// The concatenated character data of a node and its descendants, as the client's DOM reads it.
std::string NodeText(pugi::xml_node node);
// Whether the body is a well-formed XML 1.0 document without a document type declaration, read
// as strictly as the program reads answers.
bool IsWellFormedRequest(std::string_view body);
// Undoes the client's extra escaping of names and carriers: every "&amp;" becomes "&", left to right.
std::string DecodeClientAmpersands(std::string_view text);
// A decimal integer with an optional minus sign, nothing else (no blanks, no plus sign).
std::optional<std::int64_t> ParseInteger(std::string_view text);

// A well-formed request document with the expected root element, or nothing (valid() false).
class RequestDocument {
public:
    RequestDocument(std::string_view body, const char* rootName);

    bool valid() const { return static_cast<bool>(m_root); }
    // The text of the root's first child element of that name; nothing when there is none.
    std::optional<std::string> field(const char* name) const;

private:
    pugi::xml_document m_doc;
    pugi::xml_node m_root;
};

// The fields of a request, or why it cannot be read.
struct RequestFields {
    std::vector<std::string> values; // in the order asked for
    std::string refusal;             // empty when every field was read
};

// Reads the named fields of a request with that root element. A body over the size limit, one
// that is not a well-formed document with that root, and a missing field each give their refusal.
RequestFields ReadRequest(std::string_view body, const char* rootName, std::initializer_list<const char*> names);

} // namespace server

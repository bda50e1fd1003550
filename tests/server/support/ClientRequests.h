#pragma once

// Request documents built byte for byte as the client builds them, answers read as the client
// reads them, and a temporary folder.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace lstest {

// The client's EscapeXmlText: "&", then "<", then ">".
std::string EscapeXmlText(std::string_view text);
// What the client does to names and carriers before escaping them: every "&" becomes "&amp;".
std::string DoubleAmpersands(std::string_view text);

std::string LoginRequest(std::string_view login, std::string_view password);
std::string AddressBookRequest(std::string_view userId);
// `name` and `carrier` as the user typed or chose them; doubled and escaped here like the client.
std::string UpdateRequest(std::string_view action, std::string_view userId, std::string_view friendId,
                          std::string_view name, std::string_view number, std::string_view carrier);
// `carrier` as chosen; doubled and escaped like the client. Subject and body are escaped once.
std::string SendRequest(std::string_view userId, std::string_view friendId, std::string_view to,
                        std::string_view carrier, std::string_view subject, std::string_view body);

// An answer parsed, read with the client's descendant queries.
class Answer {
public:
    explicit Answer(const std::string& text);
    bool parsed() const { return m_parsed; }
    // The text of the first match; "<missing>" when there is none.
    std::string text(const char* xpath) const;
    bool has(const char* xpath) const;
    std::vector<std::string> texts(const char* xpath) const;
    pugi::xml_node node(const char* xpath) const;

private:
    pugi::xml_document m_doc;
    bool m_parsed = false;
};

struct FriendRow {
    std::string id, name, number, carrier;
    bool operator==(const FriendRow&) const = default;
};
// The friends of an address book answer, as the client reads them.
std::vector<FriendRow> Friends(const Answer& answer);

// A new empty folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const char* name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

} // namespace lstest

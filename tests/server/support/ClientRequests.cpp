#include "support/ClientRequests.h"

#include "server/exchanges/Exchanges.h"

#include <atomic>
#include <random>
#include <sstream>

namespace lstest {

using server::NodeText;

namespace {

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

std::string Field(std::string_view name, std::string_view value) {
    std::string field = "    <";
    field += name;
    field += '>';
    field += value;
    field += "</";
    field += name;
    field += '>';
    return field;
}

} // namespace

std::string EscapeXmlText(std::string_view text) {
    std::string escaped = ReplaceAll(std::string(text), "&", "&amp;");
    escaped = ReplaceAll(escaped, "<", "&lt;");
    return ReplaceAll(escaped, ">", "&gt;");
}

std::string DoubleAmpersands(std::string_view text) { return ReplaceAll(std::string(text), "&", "&amp;"); }

std::string LoginRequest(std::string_view login, std::string_view password) {
    return "<QVRLogin>" + Field("Login", login) + Field("Password", password) + "</QVRLogin>";
}

std::string AddressBookRequest(std::string_view userId) { return "<QVRAB>" + Field("User_id", userId) + "</QVRAB>"; }

std::string UpdateRequest(std::string_view action, std::string_view userId, std::string_view friendId,
                          std::string_view name, std::string_view number, std::string_view carrier) {
    return "<QVRABUpdate>" + Field("Action", action) + Field("Reguser", userId) + Field("Friend", friendId) +
           Field("Name", EscapeXmlText(DoubleAmpersands(name))) + Field("Number", number) +
           Field("Carrier", EscapeXmlText(DoubleAmpersands(carrier))) + "</QVRABUpdate>";
}

std::string SendRequest(std::string_view userId, std::string_view friendId, std::string_view to,
                        std::string_view carrier, std::string_view subject, std::string_view body) {
    return "<QVRMessage>" + Field("Reguser", userId) + Field("Friend", friendId) + Field("To", to) +
           Field("Carrier", EscapeXmlText(DoubleAmpersands(carrier))) + Field("Subject", EscapeXmlText(subject)) +
           Field("Body", EscapeXmlText(body)) + "</QVRMessage>";
}

Answer::Answer(const std::string& text) {
    // As a DOM reads it: line breaks kept as they are.
    m_parsed = static_cast<bool>(
        m_doc.load_buffer(text.data(), text.size(), pugi::parse_default & ~pugi::parse_eol, pugi::encoding_utf8));
}

pugi::xml_node Answer::node(const char* xpath) const { return m_doc.select_node(xpath).node(); }

bool Answer::has(const char* xpath) const { return static_cast<bool>(node(xpath)); }

std::string Answer::text(const char* xpath) const {
    const pugi::xml_node found = node(xpath);
    return found ? NodeText(found) : std::string("<missing>");
}

std::vector<std::string> Answer::texts(const char* xpath) const {
    std::vector<std::string> result;
    for (const pugi::xpath_node& found : m_doc.select_nodes(xpath)) {
        result.push_back(NodeText(found.node()));
    }
    return result;
}

std::vector<FriendRow> Friends(const Answer& answer) {
    std::vector<FriendRow> rows;
    const pugi::xml_node ab = answer.node("//ab");
    for (pugi::xml_node entry : ab.children("friend")) {
        rows.push_back({NodeText(entry.child("id")), NodeText(entry.child("name")), NodeText(entry.child("number")),
                        NodeText(entry.child("carrier"))});
    }
    return rows;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device random;
    m_path = std::filesystem::temp_directory_path() /
             ("vantro-ls-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace lstest

// POST /vantro_ab_update.aspx: adds, changes or deletes one entry of the user's address book.

#include "server/exchanges/AnswerXml.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/XmlText.h"

namespace server {

namespace {

constexpr std::string_view kUpdateFailed = "Update Failed. ";
constexpr std::size_t kMaxNameCodePoints = 50;

std::string UpdateAnswer(std::string_view text) {
    pugi::xml_document doc;
    answer::AddText(doc, "update", text);
    return answer::Serialize(doc);
}

std::string UpdateRefusal(std::string_view text) { return UpdateAnswer(answer::Join(kUpdateFailed, text)); }

std::size_t CodePoints(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0U) != 0x80U) {
            ++count;
        }
    }
    return count;
}

// Why the entry cannot be added or changed as sent; nothing when it can.
std::optional<std::string> CheckEntry(Store& store, const GatewayTable& gateways, std::int64_t userId,
                                      std::string_view action, const Friend& entry, std::string_view friendText) {
    if (action == "add" && entry.id != 0) {
        return std::string(refusal::kAddNeedsZero);
    }
    if (action == "update" && !store.findFriend(userId, entry.id)) {
        return UnknownFriend(friendText);
    }
    if (!IsXmlText(entry.name)) {
        return std::string(refusal::kBadText);
    }
    if (CodePoints(entry.name) > kMaxNameCodePoints) {
        return std::string(refusal::kNameTooLong);
    }
    return CheckFriendEntry(entry.number, entry.carrier, gateways);
}

} // namespace

std::string Exchanges::update(std::string_view body) {
    const RequestFields request =
        ReadRequest(body, "QVRABUpdate", {"Action", "Reguser", "Friend", "Name", "Number", "Carrier"});
    if (!request.refusal.empty()) {
        return UpdateRefusal(request.refusal);
    }
    const std::string& action = request.values[0];
    const std::string& friendText = request.values[2];
    if (action != "add" && action != "update" && action != "delete") {
        return UpdateRefusal("Unknown action " + Quoted(action) + ".");
    }
    const auto user = m_store.sessionUser(request.values[1]);
    if (!user) {
        return UpdateRefusal(refusal::kUnknownUser);
    }
    const auto friendId = ParseInteger(friendText);
    if (!friendId) {
        return UpdateRefusal(UnknownFriend(friendText));
    }
    if (action == "delete") {
        return m_store.deleteFriend(user->id, *friendId) ? UpdateAnswer(kUpdateSuccessful)
                                                         : UpdateRefusal(UnknownFriend(friendText));
    }
    // The client replaces "&" by "&amp;" in name and carrier before it escapes them, so the parser
    // hands us "&amp;" for each "&" the user typed.
    const Friend entry{*friendId, DecodeClientAmpersands(request.values[3]), request.values[4],
                       DecodeClientAmpersands(request.values[5])};
    if (const auto refused = CheckEntry(m_store, gateways(), user->id, action, entry, friendText)) {
        return UpdateRefusal(*refused);
    }
    if (action == "add") {
        if (!m_store.addFriend(user->id, entry)) {
            return UpdateRefusal(refusal::kNoFriendIdLeft);
        }
    } else if (!m_store.updateFriend(user->id, entry)) {
        return UpdateRefusal(UnknownFriend(friendText));
    }
    return UpdateAnswer(kUpdateSuccessful);
}

} // namespace server

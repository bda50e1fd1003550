// POST /vantro_ab.aspx: the user's address book.

#include "server/exchanges/AnswerXml.h"
#include "server/exchanges/Exchanges.h"

namespace server {

namespace {

constexpr std::string_view kRetrieveFailed = "Retrieve Address Book Failed: ";

std::string AddressBookRefusal(std::string_view text) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("address_book");
    answer::AddText(root, "result", "FALSE");
    answer::AddText(root, "string", answer::Join(kRetrieveFailed, text));
    return answer::Serialize(doc);
}

} // namespace

std::string Exchanges::addressBook(std::string_view body) {
    const RequestFields request = ReadRequest(body, "QVRAB", {"User_id"});
    if (!request.refusal.empty()) {
        return AddressBookRefusal(request.refusal);
    }
    const auto user = m_store.sessionUser(request.values[0]);
    if (!user) {
        return AddressBookRefusal(refusal::kUnknownUser);
    }
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("address_book");
    answer::AddText(root, "result", "TRUE");
    pugi::xml_node ab = root.append_child("ab");
    for (const Friend& entry : m_store.friends(user->id)) {
        pugi::xml_node node = ab.append_child("friend");
        answer::AddText(node, "id", std::to_string(entry.id));
        answer::AddText(node, "name", entry.name);
        answer::AddText(node, "number", entry.number);
        answer::AddText(node, "carrier", entry.carrier);
    }
    return answer::Serialize(doc);
}

} // namespace server

#include "server/exchanges/FriendEntryCheck.h"

#include "server/exchanges/ConsoleLine.h"
#include "server/exchanges/Refusals.h"

namespace server {

bool IsValidPhoneNumber(std::string_view number) {
    if (number.size() != 10 || number.front() == '0' || number.front() == '1') {
        return false;
    }
    for (const char c : number) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::optional<std::string> CheckFriendEntry(std::string_view number, std::string_view carrier,
                                            const GatewayTable& gateways) {
    if (!IsValidPhoneNumber(number)) {
        return std::string(refusal::kBadNumber);
    }
    if (carrier.empty()) {
        return std::string(refusal::kNoCarrier);
    }
    if (gateways.find(carrier) == nullptr) {
        return "Unknown carrier " + Quoted(carrier) + ".";
    }
    return std::nullopt;
}

std::string UnknownFriend(std::string_view idText) {
    return "There is no friend with the id " + Quoted(idText) + " in your address book.";
}

} // namespace server

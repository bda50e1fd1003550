#pragma once

// The one check of a recipient's number and carrier, for an address book entry and for a
// message sent to a typed number alike.

#include "server/delivery/GatewayTable.h"

#include <optional>
#include <string>
#include <string_view>

namespace server {

// Exactly 10 ASCII digits, the first neither 0 nor 1.
bool IsValidPhoneNumber(std::string_view number);

// Why the number and carrier cannot stand in an entry (a bad number, no carrier, a carrier the
// gateway table does not know), in that order; nothing when they can.
std::optional<std::string> CheckFriendEntry(std::string_view number, std::string_view carrier,
                                            const GatewayTable& gateways);

// The refusal for a friend id that names no entry of the user's address book, as sent.
std::string UnknownFriend(std::string_view idText);

} // namespace server

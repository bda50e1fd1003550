#pragma once

// The one line the console shows for each accepted message.

#include "server/delivery/GatewayTable.h"
#include "server/store/Store.h"

#include <string>
#include <string_view>

namespace server {

// The one console line of an accepted message, line breaks and other control characters shown
// as \r, \n, \t, \xHH, \uXXXX.
std::string ConsoleLine(const OutboxMessage& message, std::string_view senderLogin,
                        const GatewayTable& gateways = GatewayTable::builtIn());
// A text with control characters, quotes and backslashes written as C escapes, in double quotes;
// C1 controls, U+2028 and U+2029 as \uXXXX.
std::string Quoted(std::string_view text);

} // namespace server

#pragma once

// "/messages.aspx", "My messages": the HTML of its views. A person signs in with the number and
// password, sees their last messages with what became of each, and may delete the account.
// MessagesRoute.h answers the requests.

#include "server/store/Store.h"
#include "server/web/Forms.h"

#include <string>
#include <string_view>
#include <vector>

namespace server {

inline constexpr std::string_view kMessagesPath = "/messages.aspx";
inline constexpr std::string_view kMessagesTitle = "My messages";
inline constexpr std::string_view kDeleteTitle = "Delete my account";
// The messages the list shows at most.
inline constexpr int kMessagesListed = 100;

// The state of a message in plain words, with its time or reason.
std::string StateWords(const SentMessage& message);

// The sign-in form; `notice` (plain text) above it when not empty.
std::string SignInView(const std::string& formToken, std::string_view number, std::string_view notice,
                       const FormError* error);
// The list of the signed-in user's messages, newest first, with the ways to refresh, to sign out
// and to delete the account. `keepDays`: after how long a finished message's text is removed.
std::string MessageListView(const std::string& formToken, std::string_view login,
                            const std::vector<SentMessage>& messages, int keepDays);
// The confirmation of a deletion, by password.
std::string DeleteView(const std::string& formToken, const FormError* error);
std::string DeletedView(std::string_view login);

} // namespace server

#pragma once

#include "addressbook/ab_friend.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A friend's id text that is not a number, or whose value rounds to something outside the 32-bit
// signed range. what() quotes the offending text.
class FriendIdError : public std::runtime_error {
public:
    explicit FriendIdError(const std::string& idText);
    const std::string& idText() const noexcept { return m_idText; }

private:
    std::string m_idText;
};

// Reads a friend's id as the service writes it: a decimal number, blanks around it allowed,
// rounded to a whole number with halves to even. Independent of the user's locale.
std::int32_t ParseFriendId(const std::string& idText);

// Fetches the address book of `userId` (sent unescaped) and appends one entry per friend of the
// first ab element to `friends`, in the service's order. It does not clear `friends`: the caller
// has just replaced the collection, and after a failure part way the entries read so far stay.
// Returns the service's refusal text on a "FALSE" result (a non-200 status is one too), nothing
// otherwise. Throws TransportError, MissingNodeError (no result, or a friend without one of its
// four fields) and FriendIdError.
std::optional<std::string> RetrieveAddressBook(const std::string& userId, std::vector<ab_friend>& friends);

#pragma once

// The demo user the store starts with. The README and the end-to-end tests use it.

#include <array>
#include <string_view>

namespace server {

// The demo user, created when the store is created (the first start with a new store file).
inline constexpr std::string_view kDemoLogin = "4125551212";
inline constexpr std::string_view kDemoPassword = "demo";
// The demo user is the store's first user, so in a new store its row id is 1. Row ids stay inside
// the service: the program gets a session token instead.
inline constexpr std::string_view kDemoUserId = "1";

struct DemoFriend {
    int id; // the id the new store gives it
    std::string_view name;
    std::string_view number;
    std::string_view carrier;
};

inline constexpr std::array<DemoFriend, 2> kDemoFriends{{
    {1, "Tom & Jerry", "4125550100", "AT&T"},
    {2, "Alice Walker", "4125550101", "Verizon Wireless"},
}};

} // namespace server

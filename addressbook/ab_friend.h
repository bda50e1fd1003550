#pragma once

#include <cstdint>
#include <string>

// One entry of the user's address book, exactly as the service sent it.
class ab_friend {
public:
    std::int32_t id = 0;
    std::string name;
    std::string number;
    std::string carrier;
};

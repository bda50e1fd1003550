#pragma once

#include <algorithm>
#include <string>

// An address book answer of `count` friends as the service writes it, names and numbers all
// different.
inline std::string BookAnswer(int count) {
    std::string answer = "<address_book><result>TRUE</result><ab>";
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        answer += "<friend><id>" + n + "</id><name>Friend &amp; number " + n + "</name><number>412" +
                  std::string(7 - std::min<std::size_t>(7, n.size()), '0') + n + "</number><carrier>" +
                  (i % 2 == 0 ? "AT&amp;T" : "Verizon") + "</carrier></friend>";
    }
    return answer + "</ab></address_book>";
}

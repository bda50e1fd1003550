#include "service/AddressBookRetrieval.h"

#include "service/FailureDocuments.h"
#include "service/RequestDocument.h"
#include "service/ServiceExchange.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

namespace {

std::string_view trimBlanks(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Halves go to the even neighbour, whatever rounding mode the floating-point environment is in.
double roundHalfToEven(double value) {
    const double lower = std::floor(value);
    const double fraction = value - lower;
    if (fraction < 0.5) {
        return lower;
    }
    if (fraction > 0.5) {
        return lower + 1.0;
    }
    return std::fmod(lower, 2.0) == 0.0 ? lower : lower + 1.0;
}

} // namespace

FriendIdError::FriendIdError(const std::string& idText)
    : std::runtime_error("The address book holds a friend id that is not a whole number from -2147483648 to "
                         "2147483647: \"" +
                         idText + "\"."),
      m_idText(idText) {}

std::int32_t ParseFriendId(const std::string& idText) {
    std::string_view number = trimBlanks(idText);
    // from_chars takes no plus sign; allow one in front of a digit or point, but never "+-1".
    if (number.starts_with('+')) {
        number.remove_prefix(1);
        if (number.empty() || (number.front() != '.' && (number.front() < '0' || number.front() > '9'))) {
            throw FriendIdError(idText);
        }
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || error != std::errc() || end != number.data() + number.size() || !std::isfinite(value)) {
        throw FriendIdError(idText);
    }
    const double rounded = roundHalfToEven(value);
    if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        throw FriendIdError(idText);
    }
    return static_cast<std::int32_t>(rounded);
}

std::optional<std::string> RetrieveAddressBook(const std::string& userId, std::vector<ab_friend>& friends) {
    const std::string request = RequestDocument("QVRAB", {{"User_id", userId}});
    const ServiceAnswer answer = ServiceExchange("/vantro_ab.aspx", request, FailureDocuments::AddressBookRetrieval);

    const std::string result = answer.firstText("//result");
    if (result == "FALSE") {
        return answer.firstText("//string");
    }
    if (result != "TRUE") {
        return std::nullopt;
    }
    // No ab element is an empty address book: a null node has no children.
    const pugi::xml_node book = answer.findFirst("//ab");
    for (const pugi::xml_node& entry : book.children("friend")) {
        ab_friend record;
        record.id = ParseFriendId(FirstChildText(entry, "id"));
        record.name = FirstChildText(entry, "name");
        record.number = FirstChildText(entry, "number");
        record.carrier = FirstChildText(entry, "carrier");
        friends.push_back(std::move(record));
    }
    return std::nullopt;
}

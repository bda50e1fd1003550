// vantro-login-check: logs in to a service exactly as the program does (its own login and address
// book exchanges), for tests written outside C++.
//
//   vantro-login-check BASE_URL LOGIN PASSWORD [OLD_ID]
//
// Prints what happened, one line per step. Exit status 0 when the login is accepted and its id
// opens the address book, and, when OLD_ID is given, that earlier id no longer does; 1 otherwise.

#include "app/Global.h"
#include "service/AddressBookRetrieval.h"
#include "service/LoginExchange.h"

#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// The service's refusal text, or nothing when the id opened the address book.
std::optional<std::string> AddressBookRefusal(const std::string& userId, std::size_t& friendCount) {
    std::vector<ab_friend> friends;
    const std::optional<std::string> refusal = RetrieveAddressBook(userId, friends);
    friendCount = friends.size();
    return refusal;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::cerr << "Usage: vantro-login-check BASE_URL LOGIN PASSWORD [OLD_ID]\n";
        return 2;
    }
    global::ServiceUrl = argv[1];
    try {
        const LoginResult login = LoginExchange(argv[2], argv[3]);
        if (login.outcome != LoginOutcome::Accepted) {
            std::cout << "login refused: " << login.message << "\n";
            return 1;
        }
        std::cout << "login accepted, id " << global::CurrentUserId << "\n";
        std::size_t friends = 0;
        if (const auto refusal = AddressBookRefusal(global::CurrentUserId, friends)) {
            std::cout << "address book refused: " << *refusal << "\n";
            return 1;
        }
        std::cout << "address book: " << friends << " friends\n";
        if (argc == 5) {
            if (const auto refusal = AddressBookRefusal(argv[4], friends)) {
                std::cout << "old id refused: " << *refusal << "\n";
            } else {
                std::cout << "old id still opens the address book\n";
                return 1;
            }
        }
    } catch (const std::exception& e) {
        std::cout << "failed: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

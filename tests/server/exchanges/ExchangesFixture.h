#pragma once

// What the exchanges' tests share: a store in memory, the exchanges on it, the demo user logged in,
// and requests bent out of shape.

#include "server/exchanges/Exchanges.h"

#include "server/delivery/GatewayTable.h"
#include "server/exchanges/RequestReader.h"
#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/store/Store.h"
#include "support/ClientRequests.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace exchanges_test {

using namespace server;
using lstest::Answer;
using lstest::FriendRow;

inline const std::string kBadNumber = "The phone number must be exactly 10 digits and must not start with 0 or 1.";

using Cases = std::vector<std::pair<std::string, std::string>>; // request body, expected text

class ExchangesTest : public ::testing::Test {
protected:
    Store store{":memory:"};
    std::vector<std::string> console;
    Exchanges exchanges{store,
                        {.publicUrl = "http://127.0.0.1:8471",
                         .console = [this](const std::string& line) { console.push_back(line); },
                         .throttle = {}}};
    // The demo user's session token.
    const std::string kUser = logIn(kDemoLogin, kDemoPassword);

    std::string logIn(std::string_view login, std::string_view password) {
        return Answer(exchanges.login(lstest::LoginRequest(login, password), "127.0.0.1")).text("//string");
    }
    std::vector<FriendRow> book(const std::string& token) {
        return lstest::Friends(Answer(exchanges.addressBook(lstest::AddressBookRequest(token))));
    }
    std::vector<FriendRow> book() { return book(kUser); }
    std::string update(const std::string& body) { return Answer(exchanges.update(body)).text("//update"); }
    // A new user, logged in: its session token.
    std::string registerUser(const std::string& login, const std::string& password) {
        EXPECT_TRUE(store.registerUser(login, HashPassword(password)));
        return logIn(login, password);
    }
};

inline std::string Oversized(const std::string& root) {
    return "<" + root + ">" + std::string(kMaxRequestBytes, 'x') + "</" + root + ">";
}

// The request with its Body element's content replaced by `content`, inserted as raw XML.
inline std::string WithBody(const std::string& request, const std::string& content) {
    const std::size_t start = request.find("<Body>") + 6;
    return request.substr(0, start) + content + request.substr(request.find("</Body>"));
}

// A login request of exactly `size` bytes, padded in its password.
inline std::string LoginRequestOfSize(std::size_t size) {
    const std::size_t bare = lstest::LoginRequest(kDemoLogin, "").size();
    return lstest::LoginRequest(kDemoLogin, std::string(size - bare, 'p'));
}

// The request without one of its fields.
inline std::string Without(const std::string& request, const std::string& field) {
    const std::size_t start = request.find("    <" + field + ">");
    const std::size_t end = request.find("</" + field + ">") + field.size() + 3;
    return request.substr(0, start) + request.substr(end);
}

} // namespace exchanges_test

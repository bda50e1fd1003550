// Stores written by every earlier schema version (fixtures/, one SQL dump each) are brought up to
// date on start: their user logs in and finds the friend and the message, and what later steps
// added works.

#include "server/store/Codes.h"
#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/store/Store.h"

#include "support/ClientRequests.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace server;

namespace {

void Restore(const std::string& dump, const std::string& path) {
    std::ifstream file(dump);
    ASSERT_TRUE(file) << dump;
    std::stringstream sql;
    sql << file.rdbuf();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(raw, sql.str().c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
}

TEST(SchemaLadderTest, StoreOfEveryEarlierVersion_isUpgraded_andItsUserLogsIn) {
    struct Case {
        const char* dump;
        const char* password; // plain text in the dump before version 2, an argon2id hash after
        std::optional<std::string> provenCarrier;
        const char* state; // the first message's state: "sent" of old reads "accepted"
    };
    const Case cases[] = {
        {"v1.sql", "first&<pw>", std::nullopt, "off"},
        {"v2.sql", "second&<pw>", std::nullopt, "off"},
        {"v3.sql", "second&<pw>", std::nullopt, "accepted"},
        {"v3-codes.sql", "second&<pw>", "AT&T", "accepted"},
        {"v7.sql", "second&<pw>", "AT&T", "accepted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dump);
        lstest::TempDir dir;
        const std::string path = dir.file("store.db");
        Restore(std::string(VANTRO_STORE_FIXTURES) + "/" + c.dump, path);
        { Store upgraded(path); }
        Store store(path); // a second start finds nothing left to do
        const auto user = store.findUserByLogin("7125550100");
        ASSERT_TRUE(user.has_value());
        EXPECT_TRUE(IsPasswordHash(user->passwordHash));
        EXPECT_TRUE(VerifyPassword(user->passwordHash, c.password));
        EXPECT_FALSE(store.findUserByLogin(kDemoLogin).has_value()); // only a new store gets the demo user

        const std::vector<Friend> friends = store.friends(user->id);
        ASSERT_EQ(friends.size(), 1U);
        EXPECT_EQ(friends[0].name, "Ben & Jerry");
        const std::vector<OutboxMessage> outbox = store.outbox();
        ASSERT_FALSE(outbox.empty());
        EXPECT_EQ(outbox[0].friendId, friends[0].id);
        EXPECT_EQ(outbox[0].body, "first\r\nsecond");
        EXPECT_EQ(outbox[0].state, c.state);
        // Of its history only the queueing has a known time, which the store keeps.
        const std::vector<StateChange> history = store.stateHistory(outbox[0].id);
        ASSERT_EQ(history.size(), 1U);
        EXPECT_EQ(history[0].state, std::string(c.state) == "off" ? "off" : "queued");
        EXPECT_EQ(history[0].at, "2024-01-02T03:05:00Z");

        // A code left queued past its expiry is never due.
        EXPECT_FALSE(store.nextDue(std::chrono::system_clock::now()).has_value());
        EXPECT_EQ(store.sessionUser(store.startSession(user->id)).value_or(User{}).id, user->id);
        store.queueCode("7125550101", "Sprint", "Code", "123456", store.now() + 600);
        EXPECT_EQ(store.outbox().back().number, "7125550101");
        EXPECT_EQ(store.withDatabase([](Database& db) { return Codes(db).carrierOf("7125550100"); }), c.provenCarrier);

        // The web pages' sessions (step 8) work, and a new password ends them.
        const std::string page = store.startPageSession(user->id);
        EXPECT_EQ(store.pageSessionUser(page).value_or(User{}).id, user->id);
        store.setPassword(user->id, user->passwordHash);
        EXPECT_FALSE(store.pageSessionUser(page).has_value());
        EXPECT_EQ(store.sentMessages(user->id, 100).front().friendName, "Ben & Jerry");
    }
}

} // namespace

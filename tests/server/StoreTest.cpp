// The SQLite store: first start, restart, the id range, and refusing what it cannot open.

#include "Store.h"

#include "ClientRequests.h"
#include "DemoData.h"
#include "Protocol.h"

#include <fstream>
#include <memory>

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace server;

namespace {

TEST(StoreTest, FirstStartCreatesTheDemoUserAndFriends) {
    Store store(":memory:");
    const auto demo = store.findUserByLogin(kDemoLogin);
    ASSERT_TRUE(demo.has_value());
    EXPECT_EQ(std::to_string(demo->id), kDemoUserId);
    EXPECT_EQ(demo->password, kDemoPassword);
    const std::vector<Friend> friends = store.friends(demo->id);
    ASSERT_EQ(friends.size(), kDemoFriends.size());
    for (std::size_t i = 0; i < friends.size(); ++i) {
        EXPECT_EQ(friends[i].id, kDemoFriends[i].id);
        EXPECT_EQ(friends[i].name, kDemoFriends[i].name);
        EXPECT_EQ(friends[i].number, kDemoFriends[i].number);
        EXPECT_EQ(friends[i].carrier, kDemoFriends[i].carrier);
    }
    EXPECT_EQ(kDemoFriends[0].name, "Tom & Jerry");
    EXPECT_EQ(kDemoFriends[0].carrier, "AT&T");
    EXPECT_TRUE(store.outbox().empty());
}

TEST(StoreTest, EverythingSurvivesARestart) {
    lstest::TempDir dir;
    const std::string path = dir.file("store.db");
    std::int64_t newUser = 0;
    const std::string body = "first\r\nsecond";
    {
        Store store(path);
        newUser = store.registerUser("7125550100", "secret&<").value_or(0);
        ASSERT_GT(newUser, 1);
        ASSERT_EQ(
            AnswerAddressBookUpdate(store, lstest::UpdateRequest("add", "1", "0", "Ben & Jerry", "4125550107", "AT&T")),
            "<update>Update Successful.</update>");
        ASSERT_EQ(AnswerAddressBookUpdate(store, lstest::UpdateRequest("delete", "1", "2", "", "", "")),
                  "<update>Update Successful.</update>");
        const lstest::Answer sent(
            AnswerSend(store, lstest::SendRequest("1", "0", "7245550199", "Sprint", "subj", body), {}));
        ASSERT_EQ(sent.text("//send"), "Your message was sent to 7245550199.");
    }
    Store store(path);
    // The demo user is not created a second time, and the deleted demo friend stays deleted.
    const auto demo = store.findUserByLogin(kDemoLogin);
    ASSERT_TRUE(demo.has_value());
    EXPECT_EQ(demo->id, 1);
    const std::vector<Friend> friends = store.friends(1);
    ASSERT_EQ(friends.size(), 2U);
    EXPECT_EQ(friends[0].name, "Tom & Jerry");
    EXPECT_EQ(friends[1].name, "Ben & Jerry");
    EXPECT_EQ(friends[1].carrier, "AT&T");
    EXPECT_EQ(friends[1].id, 3); // ids are not reused

    const auto user = store.findUserByLogin("7125550100");
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->id, newUser);
    EXPECT_EQ(user->password, "secret&<");
    EXPECT_FALSE(store.registerUser("7125550100", "again").has_value());

    const std::vector<OutboxMessage> outbox = store.outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].body, body);
    EXPECT_EQ(outbox[0].subject, "subj");
    EXPECT_EQ(outbox[0].carrier, "Sprint");

    // New ids continue after the old ones.
    ASSERT_EQ(AnswerAddressBookUpdate(store, lstest::UpdateRequest("add", "1", "0", "New", "4125550108", "Ting")),
              "<update>Update Successful.</update>");
    EXPECT_EQ(store.friends(1).back().id, 4);
}

TEST(StoreTest, FriendIdsStayWithinTheClientsSixteenBits) {
    lstest::TempDir dir;
    const std::string path = dir.file("store.db");
    { Store store(path); }
    {
        // Pretend 32766 ids have been handed out.
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
        const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
        ASSERT_EQ(sqlite3_exec(raw, "UPDATE sqlite_sequence SET seq = 2147483646 WHERE name = 'friends'", nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
    }
    Store store(path);
    const auto add = [&](const char* name) {
        return AnswerAddressBookUpdate(store, lstest::UpdateRequest("add", "1", "0", name, "4125550109", "Sprint"));
    };
    ASSERT_EQ(add("Last"), "<update>Update Successful.</update>");
    EXPECT_EQ(store.friends(1).back().id, Store::kMaxFriendId);
    EXPECT_EQ(add("One too many"), "<update>Update Failed. The address book cannot take more entries.</update>");
    EXPECT_EQ(store.friends(1).size(), 3U);
    EXPECT_EQ(store.friends(1).back().name, "Last");
}

TEST(StoreTest, OnlyTheOwnerChangesOrDeletesAFriend) {
    Store store(":memory:");
    const std::int64_t owner = std::stoll(std::string(kDemoUserId));
    const std::int64_t stranger = store.registerUser("7125550100", "pw").value();
    const std::vector<Friend> before = store.friends(owner);
    ASSERT_FALSE(before.empty());
    Friend changed = before.front();
    changed.name = "Changed by a stranger";

    EXPECT_FALSE(store.updateFriend(stranger, changed));
    EXPECT_FALSE(store.deleteFriend(stranger, changed.id));
    const std::vector<Friend> after = store.friends(owner);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.front().name, before.front().name);
    EXPECT_TRUE(store.friends(stranger).empty());
}

TEST(StoreTest, RefusesAStoreItCannotUse) {
    lstest::TempDir dir;
    EXPECT_THROW(Store{dir.file("no-such-folder/store.db")}, SqliteError);

    const std::string notSqlite = dir.file("text.db");
    std::ofstream(notSqlite) << "This is not an SQLite file, and it is long enough to have a header.\n";
    EXPECT_THROW(Store{notSqlite}, SqliteError);

    // A store of another schema version is left alone.
    const std::string future = dir.file("future.db");
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(future.c_str(), &raw), SQLITE_OK);
        const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
        ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE t(x); PRAGMA user_version = 7", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    EXPECT_THROW(Store{future}, SqliteError);
}

} // namespace

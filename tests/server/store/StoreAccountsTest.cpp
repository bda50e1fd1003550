// The store's records of each user: sessions ending, the per-user caps, friends changed only by
// their owner, and delivery reports moving a message only forward. The tests of StoreBackendTest
// run on SQLite and on PostgreSQL (instantiated in StoreTest.cpp).

#include "server/store/Store.h"
#include "server/delivery/ReportSecret.h"

#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "StoreBackends.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace server;

namespace {

TEST_P(StoreBackendTest, Sessions_end_whenIdleOrWhenThePasswordChanges) {
    std::int64_t now = 1'700'000'000;
    Store store(location(), {.sessionIdleSeconds = 1000, .clock = [&now] { return now; }});
    const std::int64_t demo = store.findUserByLogin(kDemoLogin)->id;
    const std::string token = store.startSession(demo);
    const std::string other = store.startSession(demo);

    now += 999; // used just in time: the idle time starts again
    EXPECT_TRUE(store.sessionUser(token).has_value());
    now += 999;
    EXPECT_TRUE(store.sessionUser(token).has_value());
    EXPECT_FALSE(store.sessionUser(other).has_value()); // idle for 1998 s
    now += 1001;
    EXPECT_FALSE(store.sessionUser(token).has_value());

    const std::string fresh = store.startSession(demo);
    EXPECT_TRUE(store.sessionUser(fresh).has_value());
    store.setPassword(demo, HashPassword("new"));
    EXPECT_FALSE(store.sessionUser(fresh).has_value());
    for (const std::string& madeUp :
         std::vector<std::string>{std::string(32, '0'), std::string(), fresh + "0", std::string("1")}) {
        EXPECT_FALSE(store.sessionUser(madeUp).has_value()) << madeUp;
    }
}

TEST_P(StoreBackendTest, PerUserCaps_refuseTheFriendOverTheCap_andEndTheSessionUnusedLongest) {
    std::int64_t now = 1'700'000'000;
    Store store(location(), {.clock = [&now] { return now; }});
    const std::int64_t demo = store.findUserByLogin(kDemoLogin)->id;
    const std::int64_t other = store.registerUser("7125550100", "pw").value();
    for (auto count = static_cast<std::int64_t>(store.friends(demo).size()); count < Store::kMaxFriendsPerUser;
         ++count) {
        ASSERT_TRUE(store.addFriend(demo, Friend{0, "F", "4125550109", "Sprint"})) << count;
    }
    EXPECT_FALSE(store.addFriend(demo, Friend{0, "One too many", "4125550109", "Sprint"}));
    EXPECT_TRUE(store.addFriend(other, Friend{0, "Theirs", "4125550109", "Sprint"}));
    ASSERT_TRUE(store.deleteFriend(demo, store.friends(demo).front().id));
    EXPECT_TRUE(store.addFriend(demo, Friend{0, "Room again", "4125550109", "Sprint"}));

    const std::string theirs = store.startSession(other);
    std::vector<std::string> tokens;
    for (std::int64_t i = 0; i <= Store::kMaxSessionsPerUser; ++i, ++now) {
        tokens.push_back(store.startSession(demo));
    }
    EXPECT_FALSE(store.sessionUser(tokens[0])); // the oldest ended
    EXPECT_TRUE(store.sessionUser(tokens[1]));
    EXPECT_TRUE(store.sessionUser(tokens.back()));
    EXPECT_TRUE(store.sessionUser(theirs));
    // Used again a day later, an old session is no longer the one unused longest.
    now += 24 * 60 * 60;
    EXPECT_TRUE(store.sessionUser(tokens[1]));
    tokens.push_back(store.startSession(demo));
    EXPECT_TRUE(store.sessionUser(tokens[1]));
    EXPECT_FALSE(store.sessionUser(tokens[2]));
}

TEST_P(StoreBackendTest, Friend_isChangedOrDeleted_onlyByItsOwner) {
    Store store(location());
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

// A report moves a message only forward: never back, never out of delivered, failed or expired,
// and never without the message's secret. Each row: the states reported one after the other, and
// where the message ends with how many changes recorded.
TEST_P(StoreBackendTest, DeliveryReports_moveAMessageOnlyForward_andOnlyWithItsSecret) {
    const std::string secret = server::NewReportSecret();
    const struct {
        std::vector<std::string_view> reports;
        std::string_view finalState;
        std::size_t changes; // queued and accepted, plus each report applied
    } cases[] = {
        {{delivery::kSubmitted, delivery::kDelivered}, delivery::kDelivered, 4},
        {{delivery::kDelivered, delivery::kSubmitted}, delivery::kDelivered, 3},       // a late "submitted"
        {{delivery::kDelivered, delivery::kDelivered}, delivery::kDelivered, 3},       // a repeat
        {{delivery::kFailed, delivery::kDelivered}, delivery::kFailed, 3},             // final stays final
        {{delivery::kDelivered, delivery::kFailed, delivery::kExpired}, delivery::kDelivered, 3},
        {{delivery::kSubmitted, delivery::kSubmitted, delivery::kExpired}, delivery::kExpired, 4},
    };
    StoreSettings unlimited;
    unlimited.sendsPerMinute = 0;
    unlimited.sendsPerDay = 0;
    Store store(location(), unlimited);
    for (const auto& c : cases) {
        OutboxMessage message;
        message.userId = std::stoll(std::string(kDemoUserId));
        message.number = "7245550199";
        message.carrier = "AT&T";
        message.body = "hello";
        message.state = delivery::kQueued;
        const std::int64_t id = store.addToOutbox(message).message.id;
        store.setReportSecretHash(id, server::ReportSecretHash(secret));
        store.markAccepted(id, 1, "0: Accepted for delivery");
        EXPECT_EQ(store.applyReport({id, std::string(32, 'f'), std::string(delivery::kDelivered), ""}),
                  ReportResult::Unknown);
        EXPECT_EQ(store.applyReport({id + 1, secret, std::string(delivery::kDelivered), ""}), ReportResult::Unknown);
        for (const auto state : c.reports) {
            store.applyReport({id, secret, std::string(state), "stat:X"});
        }
        EXPECT_EQ(store.outbox().back().state, c.finalState) << c.reports.size();
        EXPECT_EQ(store.stateHistory(id).size(), c.changes) << c.finalState;
        // The worker's late answers do not move it back either, though their attempts count.
        store.markRetry(id, 2, std::chrono::system_clock::now(), "timed out");
        EXPECT_EQ(store.outbox().back().state, c.finalState);
        EXPECT_EQ(store.outbox().back().attempts, 2);
    }
}

} // namespace

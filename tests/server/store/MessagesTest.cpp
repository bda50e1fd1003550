// A user's messages as the "My messages" page reads them, how long their text is kept, the web
// pages' sessions and a user leaving; on SQLite and on PostgreSQL.

#include "server/delivery/ReportSecret.h"
#include "server/store/DemoData.h"
#include "server/store/Store.h"

#include "StoreBackends.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace server;

namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;

class MessagesTest : public StoreBackendTest {
protected:
    std::int64_t now = 1'700'000'000;
    Store store{location(), {.pageSessionIdleSeconds = 600, .keepMessageDays = 30, .clock = [this] { return now; }}};
    std::int64_t sender = store.registerUser("7125550100", "hash").value();

    std::int64_t queue(const std::string& to, const std::string& body, std::int64_t user = 0) {
        OutboxMessage message;
        message.userId = user != 0 ? user : sender;
        message.number = to;
        message.carrier = "AT&T";
        message.subject = "Subject";
        message.body = body;
        message.state = std::string(delivery::kQueued);
        ++now; // one a second, so that newest first is well defined
        return store.addToOutbox(message).message.id;
    }

    // Moves a queued message on as the SMS gateway would.
    void report(std::int64_t id, std::string_view state, const std::string& reason = {}) {
        ASSERT_TRUE(store.setReportSecretHash(id, ReportSecretHash("secret")));
        store.markAccepted(id, 1, "0: Accepted for delivery");
        ASSERT_EQ(store.applyReport({id, "secret", std::string(state), reason}), ReportResult::Applied);
    }

    std::vector<std::string> bodies() {
        std::vector<std::string> texts;
        for (const OutboxMessage& message : store.outbox()) {
            texts.push_back(message.body);
        }
        return texts;
    }
};

TEST_P(MessagesTest, SentMessages_ofEachUser_areTheirOwnNewestFirst_withTheFriendsNameAndTheStatesTimeAndReason) {
    const std::int64_t other = store.registerUser("7125550101", "hash").value();
    ASSERT_TRUE(store.addFriend(sender, Friend{0, "Ann & Co", "4125550107", "AT&T"}));
    ASSERT_TRUE(store.addFriend(other, Friend{0, "Not yours", "4125550108", "AT&T"}));
    const std::int64_t typed = queue("4125550107", "typed, yet in the address book");
    const std::int64_t failed = queue("4125550108", "bounced");
    queue("4125550109", "the other user's", other);
    report(failed, delivery::kFailed, "err:001");

    const std::vector<SentMessage> mine = store.sentMessages(sender, 100);
    ASSERT_EQ(mine.size(), 2U);
    EXPECT_EQ(mine[0].id, failed);
    EXPECT_EQ(mine[0].friendName, ""); // the other user's friend has that number, not this user's
    EXPECT_EQ(mine[0].state, delivery::kFailed);
    EXPECT_EQ(mine[0].reason, "err:001");
    EXPECT_EQ(mine[0].stateAt, UtcText(now));
    EXPECT_EQ(mine[1].id, typed);
    EXPECT_EQ(mine[1].friendName, "Ann & Co");
    EXPECT_EQ(mine[1].state, delivery::kQueued);
    EXPECT_EQ(mine[1].nextAttempt, mine[1].sentAt);
    EXPECT_EQ(store.sentMessages(other, 100).size(), 1U);
    EXPECT_EQ(store.sentMessages(sender, 1).size(), 1U);
}

TEST_P(MessagesTest, FinishedMessages_pastTheRetentionTime_haveTheirTextBlanked_andTheRowKept) {
    const std::int64_t delivered = queue("4125550107", "delivered one");
    const std::int64_t failed = queue("4125550107", "failed one");
    const std::int64_t accepted = queue("4125550107", "still on its way");
    queue("4125550107", "still queued");
    report(delivered, delivery::kDelivered);
    store.markFailed(failed, 1, "refused");
    store.markAccepted(accepted, 1, "0: Accepted for delivery");
    const std::int64_t finishedAt = now;
    now += 5 * kDay;
    const std::int64_t late = queue("4125550107", "delivered later");
    report(late, delivery::kDelivered);

    const struct {
        std::int64_t at;
        std::vector<std::string> bodies;
    } cases[] = {
        {finishedAt + 30 * kDay - 1,
         {"delivered one", "failed one", "still on its way", "still queued", "delivered later"}},
        {finishedAt + 30 * kDay + 1, {"", "", "still on its way", "still queued", "delivered later"}},
        {finishedAt + 400 * kDay, {"", "", "still on its way", "still queued", ""}},
    };
    for (const auto& c : cases) {
        now = c.at;
        store.blankFinishedTexts();
        EXPECT_EQ(bodies(), c.bodies) << (c.at - finishedAt);
    }
    const std::vector<SentMessage> rows = store.sentMessages(sender, 100);
    ASSERT_EQ(rows.size(), 5U);
    EXPECT_EQ(rows.back().subject, "");
    EXPECT_EQ(rows.back().state, delivery::kDelivered);
    EXPECT_EQ(rows.back().number, "4125550107");
}

TEST_P(MessagesTest, PageSessions_end_onSignOutPasswordChangeIdlenessAndDeletion_apartFromTheProgramsSessions) {
    const std::string signedOut = store.startPageSession(sender);
    const std::string kept = store.startPageSession(sender);
    const std::string program = store.startSession(sender);
    EXPECT_FALSE(store.pageSessionUser(program).has_value());
    EXPECT_FALSE(store.sessionUser(kept).has_value());
    store.endPageSession(signedOut);
    EXPECT_FALSE(store.pageSessionUser(signedOut).has_value());

    now += 599; // a visit just in time keeps it
    EXPECT_EQ(store.pageSessionUser(kept).value_or(User{}).id, sender);
    now += 599;
    EXPECT_TRUE(store.pageSessionUser(kept).has_value());
    now += 601;
    EXPECT_FALSE(store.pageSessionUser(kept).has_value());

    const std::string beforeNewPassword = store.startPageSession(sender);
    store.setPassword(sender, "new hash");
    EXPECT_FALSE(store.pageSessionUser(beforeNewPassword).has_value());
    const std::string beforeDeletion = store.startPageSession(sender);
    store.deleteAccount(sender);
    EXPECT_FALSE(store.pageSessionUser(beforeDeletion).has_value());
}

TEST_P(MessagesTest, AccountDeletion_leavesNoTextOfTheUser_cancelsTheQueued_andTheNumberMayRegisterAgain) {
    const std::int64_t other = store.registerUser("7125550101", "hash").value();
    ASSERT_TRUE(store.addFriend(sender, Friend{0, "Ann", "4125550107", "AT&T"}));
    const std::int64_t accepted = queue("4125550107", "accepted text");
    store.markAccepted(accepted, 1, "0: Accepted for delivery");
    const std::int64_t queued = queue("4125550107", "queued text");
    queue("4125550108", "the other user's", other);
    const std::string program = store.startSession(sender);

    store.deleteAccount(sender);
    EXPECT_FALSE(store.findUserByLogin("7125550100").has_value());
    EXPECT_FALSE(store.sessionUser(program).has_value());
    EXPECT_TRUE(store.friends(sender).empty());
    EXPECT_TRUE(store.sentMessages(sender, 100).empty());
    EXPECT_EQ(bodies(), (std::vector<std::string>{"", "", "the other user's"}));
    for (const OutboxMessage& message : store.outbox()) {
        EXPECT_EQ(message.subject, message.userId == other ? "Subject" : "");
    }
    // The queued one is never due, now or later; its cancellation is in its history.
    const auto later = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(now + 400 * kDay));
    const std::vector<QueuedMessage> due = store.dueMessages(later, 10);
    ASSERT_EQ(due.size(), 1U);
    EXPECT_EQ(due[0].body, "the other user's");
    EXPECT_EQ(store.stateHistory(queued).back().state, delivery::kCancelled);
    // Had the worker taken it from the queue just before, it would now be told not to send it.
    EXPECT_FALSE(store.setReportSecretHash(queued, ReportSecretHash("secret")));
    EXPECT_EQ(store.outbox()[1].state, delivery::kCancelled);

    const auto again = store.registerUser("7125550100", "hash");
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(store.sentMessages(*again, 100).empty());
}

VANTRO_STORE_BACKENDS(MessagesTest);

} // namespace

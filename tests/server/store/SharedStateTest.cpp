// Two Store objects on one store stand for two service processes: whatever one of them writes
// (sessions, login pauses, send limits, the delivery queue's claims) the other acts on.

#include "StoreBackends.h"
#include "server/store/Codes.h"
#include "server/store/DemoData.h"
#include "server/store/Store.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace server;

namespace {

using SharedStateTest = StoreBackendTest;

OutboxMessage Queued(std::int64_t userId) {
    OutboxMessage message{0, userId, 0, "7245550199", "AT&T", "", "hello"};
    message.state = delivery::kQueued;
    return message;
}

TEST_P(SharedStateTest, SessionsLoginPausesAndSendLimits_holdAcrossProcesses) {
    const StoreSettings settings{.sendsPerMinute = 3, .sendsPerDay = 0};
    Store first(location(), settings);
    Store second(location(), settings);
    const std::int64_t demo = first.findUserByLogin(kDemoLogin)->id;

    EXPECT_EQ(second.sessionUser(first.startSession(demo)).value_or(User{}).id, demo);

    const std::int64_t now = first.now();
    first.countLoginFailure("login:x", "address:127.0.0.9", now - 60, [&](LoginFailures& run) {
        ++run.failures;
        run.lastFailure = now;
        run.pausedUntil = now + 30;
    });
    EXPECT_EQ(second.loginPausedUntil("login:x", "address:other"), now + 30);
    EXPECT_EQ(second.loginPausedUntil("address:127.0.0.9", "login:y"), now + 30);
    second.forgetLoginFailures({"login:x", "address:127.0.0.9"});
    EXPECT_EQ(first.loginPausedUntil("login:x", "address:127.0.0.9"), 0);

    const OutboxResult::Status expected[] = {OutboxResult::Status::Stored, OutboxResult::Status::Stored,
                                             OutboxResult::Status::Stored, OutboxResult::Status::OverMinuteLimit,
                                             OutboxResult::Status::OverMinuteLimit};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        Store& through = i % 2 == 0 ? first : second;
        EXPECT_EQ(through.addToOutbox(Queued(demo)).status, expected[i]) << i;
    }
}

TEST_P(SharedStateTest, ClaimedMessages_areDueElsewhereOnlyOnceTheClaimRunsOut) {
    const StoreSettings settings{.sendsPerMinute = 0, .sendsPerDay = 0, .claimSeconds = 60};
    Store first(location(), settings);
    Store second(location(), settings);
    const std::int64_t demo = first.findUserByLogin(kDemoLogin)->id;
    for (int i = 0; i < 3; ++i) {
        first.addToOutbox(Queued(demo));
    }
    const TimePoint now = std::chrono::system_clock::now() + std::chrono::seconds(1);
    const auto claimed = first.dueMessages(now, 2);
    ASSERT_EQ(claimed.size(), 2U);
    EXPECT_LT(claimed[0].id, claimed[1].id);
    const auto rest = second.dueMessages(now, 10);
    ASSERT_EQ(rest.size(), 1U);
    EXPECT_GT(rest[0].id, claimed[1].id);
    EXPECT_TRUE(second.dueMessages(now + std::chrono::seconds(59), 10).empty());
    // A worker that stops gives its unattempted claims back: due elsewhere at once.
    second.releaseClaims({rest[0].id});
    const auto released = first.dueMessages(now, 10);
    ASSERT_EQ(released.size(), 1U);
    EXPECT_EQ(released[0].id, rest[0].id);
    // The first process died: its messages are due again once its claims run out, and go once.
    first.markAccepted(rest[0].id, 1, "accepted by a worker that lives on");
    const auto returned = second.dueMessages(now + std::chrono::seconds(61), 10);
    ASSERT_EQ(returned.size(), 2U);
    EXPECT_EQ(returned[0].id, claimed[0].id);
    EXPECT_EQ(returned[1].id, claimed[1].id);
    for (const auto& message : returned) {
        second.markAccepted(message.id, 1, "accepted");
    }
    EXPECT_TRUE(first.dueMessages(now + std::chrono::seconds(200), 10).empty());
    EXPECT_FALSE(first.nextAttempt().has_value() && first.nextAttempt() < std::chrono::system_clock::now());
}

TEST_P(SharedStateTest, WorkersOfTwoProcesses_claimEveryMessageOnce) {
    constexpr int kMessages = 120;
    const StoreSettings settings{.sendsPerMinute = 0, .sendsPerDay = 0};
    Store first(location(), settings);
    Store second(location(), settings);
    const std::int64_t demo = first.findUserByLogin(kDemoLogin)->id;
    for (int i = 0; i < kMessages; ++i) {
        first.addToOutbox(Queued(demo));
    }
    std::mutex mutex;
    std::vector<std::int64_t> attempted;
    std::vector<std::thread> workers;
    for (Store* store : {&first, &second, &first, &second}) {
        workers.emplace_back([&, store] {
            for (;;) {
                const auto due = store->dueMessages(std::chrono::system_clock::now() + std::chrono::seconds(1), 8);
                if (due.empty()) {
                    return;
                }
                for (const auto& message : due) {
                    store->markAccepted(message.id, 1, "accepted");
                    const std::lock_guard lock(mutex);
                    attempted.push_back(message.id);
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(attempted.size(), static_cast<std::size_t>(kMessages));
    EXPECT_EQ(std::set<std::int64_t>(attempted.begin(), attempted.end()).size(), static_cast<std::size_t>(kMessages));
}

// Account codes written through one process are checked and counted through the other; a new
// code replaces the pending one with its tries, a number proven again takes the new carrier.
TEST_P(SharedStateTest, AccountCodes_areSharedAcrossProcesses) {
    Store first(location());
    Store second(location());
    first.withDatabase([](Database& db) {
        Codes codes(db);
        codes.holdSubjects("number:7245550199", "address:127.0.0.1");
        codes.countRequests("number:7245550199", "address:127.0.0.1", 1000);
        codes.putCode(1, "7245550199", "old", 2000);
        codes.countTry(1, "7245550199");
        codes.rememberCarrier("7245550199", "Sprint", 1000);
    });
    second.withDatabase([](Database& db) {
        Codes codes(db);
        EXPECT_EQ(codes.requestsSince("address:127.0.0.1", 999), 1);
        EXPECT_EQ(codes.findCode(1, "7245550199").value_or(Codes::Pending{}).tries, 1);
        codes.putCode(1, "7245550199", "new", 3000);
        codes.rememberCarrier("7245550199", "AT&T", 1001);
    });
    first.withDatabase([](Database& db) {
        Codes codes(db);
        const auto pending = codes.findCode(1, "7245550199");
        ASSERT_TRUE(pending.has_value());
        EXPECT_EQ(pending->hash, "new");
        EXPECT_EQ(pending->expiresAt, 3000);
        EXPECT_EQ(pending->tries, 0);
        EXPECT_EQ(codes.carrierOf("7245550199"), "AT&T");
    });
}

VANTRO_STORE_BACKENDS(SharedStateTest);

} // namespace

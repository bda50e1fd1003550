// Texted codes: their lifetime and tries, the request limits, and how they are kept.

#include "server/web/Verification.h"

#include <gtest/gtest.h>

using namespace server;
using Outcome = Verification::CheckOutcome;
using Requested = Verification::RequestOutcome;

namespace {

constexpr std::string_view kNumber = "7125550100";
constexpr std::string_view kAddress = "192.0.2.7";

struct Clocked {
    std::int64_t now = 1'800'000'000;
    Store store{":memory:"};
    Verification verification;
    explicit Clocked(VerificationLimits limits = {}) : verification(store, limits, [this] { return now; }) {}
};

std::string WrongCodeFor(const std::string& code) { return code == "000000" ? "000001" : "000000"; }

TEST(VerificationTest, Code_matches_onlyWithinItsLifetimeAndTries) {
    struct Case {
        const char* name;
        int wrongTries;      // wrong codes typed first
        std::int64_t waited; // seconds between the request and the right code
        Outcome expected;    // of the right code
        int triesLeftAfterOneWrong;
    };
    const Case cases[] = {
        {"at once", 0, 0, Outcome::Matched, 4},
        {"a second before it expires", 0, 10 * 60 - 1, Outcome::Matched, 4},
        {"expired after ten minutes", 0, 10 * 60, Outcome::Expired, 4},
        {"on the fifth try", 4, 0, Outcome::Matched, 4},
        {"the sixth try is refused", 5, 0, Outcome::TriesUsedUp, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Clocked t;
        const auto request = t.verification.requestCode(CodePurpose::Registration, kNumber, kAddress);
        ASSERT_EQ(request.outcome, Requested::Issued);
        ASSERT_EQ(request.code.size(), 6U);
        ASSERT_EQ(request.code.find_first_not_of("0123456789"), std::string::npos);
        EXPECT_EQ(request.expiresAt, t.now + 600);
        for (int i = 0; i < c.wrongTries; ++i) {
            const auto check = t.verification.checkCode(CodePurpose::Registration, kNumber, WrongCodeFor(request.code));
            EXPECT_EQ(check.outcome, Outcome::Wrong);
            EXPECT_EQ(check.triesLeft, 4 - i);
        }
        t.now += c.waited;
        EXPECT_EQ(t.verification.checkCode(CodePurpose::Registration, kNumber, request.code).outcome, c.expected);
    }
}

TEST(VerificationTest, Code_servesOnce_forItsOwnNumberAndPurpose) {
    Clocked t;
    const auto first = t.verification.requestCode(CodePurpose::PasswordReset, kNumber, kAddress);
    const auto second = t.verification.requestCode(CodePurpose::PasswordReset, kNumber, kAddress);
    const auto other = t.verification.requestCode(CodePurpose::PasswordReset, "7125550101", kAddress);
    if (first.code != second.code) {
        // A new code replaces the one before it.
        EXPECT_EQ(t.verification.checkCode(CodePurpose::PasswordReset, kNumber, first.code).outcome, Outcome::Wrong);
    }
    if (other.code != second.code) {
        EXPECT_EQ(t.verification.checkCode(CodePurpose::PasswordReset, kNumber, other.code).outcome, Outcome::Wrong);
    }
    EXPECT_EQ(t.verification.checkCode(CodePurpose::Registration, kNumber, second.code).outcome, Outcome::Expired);
    EXPECT_EQ(t.verification.checkCode(CodePurpose::PasswordReset, kNumber, second.code).outcome, Outcome::Matched);
    EXPECT_EQ(t.verification.checkCode(CodePurpose::PasswordReset, kNumber, second.code).outcome, Outcome::Expired);

    // Only a keyed hash of the code is stored.
    const auto stored = t.store.withDatabase([](Database& db) {
        const auto stmt = db.statement("SELECT code_hash FROM verification_codes");
        std::vector<std::string> hashes;
        while (stmt->step()) {
            hashes.push_back(stmt->columnText(0));
        }
        return hashes;
    });
    ASSERT_EQ(stored.size(), 1U); // the other number's
    EXPECT_EQ(stored[0].size(), 64U);
    EXPECT_EQ(stored[0].find(other.code), std::string::npos);
}

TEST(VerificationTest, CodeRequests_areLimited_perNumberAndPerAddress) {
    struct Request {
        std::int64_t after; // seconds after the previous request
        std::string_view number;
        std::string_view address;
        Requested expected;
    };
    struct Case {
        const char* name;
        VerificationLimits limits;
        std::vector<Request> requests;
    };
    const VerificationLimits defaults;
    const Requested ok = Requested::Issued;
    const Requested hour = Requested::LimitedForAnHour;
    const Requested day = Requested::LimitedForADay;
    std::vector<Request> tenInADay;
    for (int i = 0; i < 10; ++i) {
        tenInADay.push_back({i % 3 == 0 ? 3600 : 60, kNumber, i % 2 == 0 ? "198.51.100.1" : "198.51.100.2", ok});
    }
    tenInADay.push_back({3600, kNumber, "198.51.100.3", day});
    tenInADay.push_back({24 * 3600, kNumber, "198.51.100.3", ok}); // a day after the first ones
    const Case cases[] = {
        {"the 4th code in an hour for one number",
         defaults,
         {{0, kNumber, "198.51.100.1", ok},
          {60, kNumber, "198.51.100.2", ok},
          {60, kNumber, "198.51.100.3", ok},
          {60, kNumber, "198.51.100.4", hour},
          {3600 - 181, kNumber, "198.51.100.4", hour},
          {1, kNumber, "198.51.100.4", ok}}},
        {"the 4th code in an hour from one address",
         defaults,
         {{0, "7125550101", kAddress, ok},
          {1, "7125550102", kAddress, ok},
          {1, "7125550103", kAddress, ok},
          {1, "7125550104", kAddress, hour},
          {1, "7125550104", "198.51.100.9", ok}}},
        {"the 11th code in a day", defaults, tenInADay},
        {"refusals are not counted",
         defaults,
         {{0, kNumber, kAddress, ok},
          {1, kNumber, kAddress, ok},
          {1, kNumber, kAddress, ok},
          {1, kNumber, kAddress, hour},
          {1, kNumber, kAddress, hour},
          {3600 - 3, kNumber, kAddress, ok}}},
        {"number limits set otherwise",
         VerificationLimits{.requestsPerHour = 1, .requestsPerDay = 2},
         {{0, kNumber, kAddress, ok},
          {60, kNumber, kAddress, hour},
          {3600, kNumber, kAddress, ok},
          {3600, kNumber, kAddress, day}}},
        {"address limits set otherwise",
         VerificationLimits{.addressRequestsPerHour = 5},
         {{0, "7125550101", kAddress, ok},
          {1, "7125550102", kAddress, ok},
          {1, "7125550103", kAddress, ok},
          {1, "7125550104", kAddress, ok},
          {1, "7125550105", kAddress, ok},
          {1, "7125550106", kAddress, hour}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Clocked t(c.limits);
        for (std::size_t i = 0; i < c.requests.size(); ++i) {
            const Request& r = c.requests[i];
            t.now += r.after;
            const auto request = t.verification.requestCode(CodePurpose::Registration, r.number, r.address);
            EXPECT_EQ(request.outcome, r.expected) << "request " << i + 1;
            EXPECT_EQ(request.code.empty(), r.expected != ok) << "request " << i + 1;
        }
    }
}

TEST(VerificationTest, ProvenCarrier_isKept) {
    Clocked t;
    EXPECT_FALSE(t.verification.carrierOf(kNumber).has_value());
    t.verification.rememberCarrier(kNumber, "AT&T");
    t.verification.rememberCarrier(kNumber, "Sprint");
    EXPECT_EQ(t.verification.carrierOf(kNumber), "Sprint");
}

} // namespace

namespace {

TEST(VerificationTest, CodesText_leavesTheOutbox_onceSentOrExpired) {
    using std::chrono::system_clock;
    const auto at = [](std::int64_t seconds) { return system_clock::from_time_t(static_cast<std::time_t>(seconds)); };
    enum class Step { Sent, Failed, RetryInTime, RetryTooLate, ExpiredInQueue };
    struct Case {
        const char* name;
        Step step;
        const char* state;
        bool bodyKept;
    };
    const Case cases[] = {
        {"accepted", Step::Sent, "accepted", false},
        {"refused by the relay", Step::Failed, "failed", false},
        {"tried again while valid", Step::RetryInTime, "queued", true},
        {"not tried again once expired", Step::RetryTooLate, "expired", false},
        {"expired before its first attempt", Step::ExpiredInQueue, "expired", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Store store(":memory:");
        const std::int64_t now = SystemSeconds();
        const std::string body = "Your Vantro code is 123456.";
        store.queueCode(kNumber, "AT&T", "Vantro code", body, now + 600);
        if (c.step == Step::ExpiredInQueue) {
            EXPECT_FALSE(store.nextDue(at(now + 600)).has_value());
        } else {
            const auto due = store.nextDue(at(now + 1));
            ASSERT_TRUE(due.has_value());
            EXPECT_EQ(due->body, body);
            switch (c.step) {
            case Step::Sent:
                store.markAccepted(due->id, 1, "250 OK");
                break;
            case Step::Failed:
                store.markFailed(due->id, 1, "550 no such user");
                break;
            case Step::RetryInTime:
                store.markRetry(due->id, 1, at(now + 60), "451 later");
                break;
            default:
                store.markRetry(due->id, 1, at(now + 600), "451 later");
                break;
            }
        }
        const std::vector<OutboxMessage> outbox = store.outbox();
        ASSERT_EQ(outbox.size(), 1U);
        EXPECT_EQ(outbox[0].userId, 0);
        EXPECT_EQ(outbox[0].state, c.state);
        EXPECT_EQ(outbox[0].body, c.bodyKept ? body : "");
    }

    // An ordinary message keeps its text once sent.
    Store store(":memory:");
    OutboxMessage message{0, 1, 0, kNumber.data(), "AT&T", "hi", "hello"};
    message.state = delivery::kQueued;
    store.addToOutbox(message);
    const auto due = store.nextDue(system_clock::now() + std::chrono::seconds(1));
    ASSERT_TRUE(due.has_value());
    store.markAccepted(due->id, 1, "250 OK");
    EXPECT_EQ(store.outbox().at(0).body, "hello");
}

} // namespace

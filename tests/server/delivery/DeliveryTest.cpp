// The delivery worker against the loopback SMTP sink, with a clock the test moves: queued
// messages, retries, refusals and restarts.

#include "SmtpSink.h"
#include "server/app/Server.h"
#include "server/delivery/DeliveryWorker.h"
#include "server/delivery/MailMessage.h"
#include "server/delivery/MailSender.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/store/Store.h"
#include "support/ClientRequests.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

using namespace server;
using namespace std::chrono_literals;
using smtpsink::Reaction;

namespace {

constexpr const char* kFrom = "sms@vantro.example";

std::string MessageIdOf(const std::string& data) {
    const auto at = data.find("Message-ID: ");
    return at == std::string::npos ? std::string() : data.substr(at + 12, data.find("\r\n", at) - at - 12);
}

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }

    // (Re)opens the store and makes a worker for it, as a restarted service does.
    void open() {
        worker.reset();
        store.reset();
        store = std::make_unique<Store>(m_path);
        SmtpSettings settings;
        settings.url = sink.url();
        settings.from = kFrom;
        settings.insecure = true;
        sender = std::make_unique<CurlMailSender>(settings);
        worker = std::make_unique<DeliveryWorker>(
            *store, *sender, GatewayTable::builtIn(), kFrom, [this](const std::string& line) { log.push_back(line); },
            [this] { return now; });
    }

    // Verizon: a carrier whose e-mail gateway is still open.
    OutboxMessage queue(std::string body, std::string carrier = "Verizon Wireless") {
        OutboxMessage message;
        message.userId = std::stoll(std::string(kDemoUserId));
        message.number = "2125550100";
        message.carrier = std::move(carrier);
        message.subject = "Hi";
        message.body = std::move(body);
        message.state = delivery::kQueued;
        OutboxMessage stored = store->addToOutbox(message).message;
        now = *ParseUtcText(stored.sentAt);
        return stored;
    }

    OutboxMessage row(std::size_t index) { return store->outbox().at(index); }

    std::string m_path = ":memory:";
    smtpsink::SmtpSink sink;
    std::unique_ptr<Store> store;
    std::unique_ptr<CurlMailSender> sender;
    std::unique_ptr<DeliveryWorker> worker;
    std::vector<std::string> log;
    TimePoint now;
};

TEST(RelaySettingsTest, PlainRelaysAwayFromThisMachine_andCredentialsOthersMayRead_areRefused) {
    for (const auto& [url, allowed] : std::vector<std::pair<std::string, bool>>{
             {"smtp://127.0.0.1:2525", true},
             {"smtp://127.1.2.3", true},
             {"smtp://localhost:25", true},
             {"smtp://[::1]:25", true},
             {"smtp://relay.example.org:25", false},
             {"smtp://127.example.org:25", false},
             {"smtp://192.0.2.1", false},
         }) {
        SmtpSettings settings;
        settings.url = url;
        settings.from = "sms@example.org";
        settings.insecure = true;
        if (allowed) {
            EXPECT_NO_THROW(CheckSmtpSettings(settings)) << url;
        } else {
            EXPECT_THROW(CheckSmtpSettings(settings), std::runtime_error) << url;
        }
    }
    // Not even on this machine does the relay's login go without TLS.
    SmtpSettings withLogin{"smtp://127.0.0.1:2525", "sms@example.org", "relay-user", "s3cret", true, ""};
    EXPECT_THROW(CheckSmtpSettings(withLogin), std::runtime_error);
    withLogin.insecure = false;
    EXPECT_NO_THROW(CheckSmtpSettings(withLogin));

    lstest::TempDir dir;
    const std::string path = dir.file("credentials");
    std::ofstream(path) << "user:secret\n";
    using std::filesystem::perms;
    for (const auto& [mode, allowed] : std::vector<std::pair<perms, bool>>{
             {perms::owner_read | perms::owner_write, true},
             {perms::owner_read | perms::group_read, true},
             {perms::owner_read | perms::group_read | perms::others_read, false},
             {perms::owner_read | perms::others_write, false},
         }) {
        std::filesystem::permissions(path, mode);
        SmtpSettings settings;
        if (allowed) {
            EXPECT_NO_THROW(ReadCredentials(path, settings)) << static_cast<int>(mode);
            EXPECT_EQ(settings.password, "secret");
        } else {
            EXPECT_THROW(ReadCredentials(path, settings), std::runtime_error) << static_cast<int>(mode);
        }
    }
}

TEST_F(DeliveryTest, QueuedMessage_goesToTheCarriersGateway_andIsMarkedSent) {
    queue("Hello");
    EXPECT_EQ(worker->deliverDue(), 1);
    const auto got = sink.accepted();
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].mailFrom, kFrom);
    EXPECT_EQ(got[0].recipients, std::vector<std::string>{"2125550100@vtext.com"});
    EXPECT_NE(got[0].data.find("\r\n\r\nHello\r\n"), std::string::npos) << got[0].data;
    const OutboxMessage sent = row(0);
    EXPECT_EQ(sent.state, delivery::kAccepted);
    EXPECT_EQ(sent.attempts, 1);
    EXPECT_EQ(sent.lastReply, "250 2.0.0 Queued");
    EXPECT_EQ(worker->deliverDue(), 0) << "sent twice";
}

TEST_F(DeliveryTest, TemporaryFailure_isTriedAgainAfterAMinute_withTheSameMessageId) {
    struct Case {
        const char* name;
        Reaction reaction;
        std::string reply; // what the outbox keeps; empty: any text
    };
    const std::vector<Case> cases = {
        {"4xx", Reaction::answer("451 4.3.0 Try again later"), "451 4.3.0 Try again later"},
        {"dropped connection", Reaction::drop(), ""},
    };
    std::size_t index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sink.script({c.reaction});
        const std::size_t before = sink.accepted().size();
        queue("Try " + std::string(c.name));
        const TimePoint queuedAt = now;
        EXPECT_EQ(worker->deliverDue(), 1);
        OutboxMessage waiting = row(index);
        EXPECT_EQ(waiting.state, delivery::kQueued);
        EXPECT_EQ(waiting.attempts, 1);
        EXPECT_EQ(waiting.nextAttempt, UtcText(queuedAt + 1min));
        if (!c.reply.empty()) {
            EXPECT_EQ(waiting.lastReply, c.reply);
        } else {
            EXPECT_FALSE(waiting.lastReply.empty());
        }

        now = queuedAt + 59s;
        EXPECT_EQ(worker->deliverDue(), 0) << "tried before its pause ended";
        now = queuedAt + 1min;
        EXPECT_EQ(worker->deliverDue(), 1);
        EXPECT_EQ(row(index).state, delivery::kAccepted);
        EXPECT_EQ(row(index).attempts, 2);
        ASSERT_EQ(sink.accepted().size(), before + 1);
        const auto all = sink.transactions();
        EXPECT_EQ(MessageIdOf(all[all.size() - 2].data), MessageIdOf(all.back().data));
        EXPECT_EQ(all[all.size() - 2].data, all.back().data) << "the repeat is not the same e-mail";
        ++index;
    }
}

TEST_F(DeliveryTest, RelayDown_isATemporaryFailure) {
    std::string downUrl;
    {
        smtpsink::SmtpSink gone;
        downUrl = gone.url();
    }
    SmtpSettings settings{downUrl, kFrom, "", "", true, ""};
    CurlMailSender down(settings);
    DeliveryWorker downWorker(*store, down, GatewayTable::builtIn(), kFrom, {}, [this] { return now; });
    queue("Anyone there?");
    EXPECT_EQ(downWorker.deliverDue(), 1);
    EXPECT_EQ(row(0).state, delivery::kQueued);
    EXPECT_EQ(row(0).attempts, 1);
    EXPECT_FALSE(row(0).lastReply.empty());
}

TEST_F(DeliveryTest, RelayWithoutStartTls_getsNothing_withoutTheInsecureOption) {
    SmtpSettings settings{sink.url(), kFrom, "relay-user", "s3cret", false, ""};
    CurlMailSender strict(settings);
    DeliveryWorker strictWorker(*store, strict, GatewayTable::builtIn(), kFrom, {}, [this] { return now; });
    queue("Private");
    EXPECT_EQ(strictWorker.deliverDue(), 1);
    EXPECT_EQ(row(0).state, delivery::kQueued);
    EXPECT_TRUE(sink.transactions().empty()) << "sent without TLS";
}

TEST(RelayLoginTest, Login_goesOnlyOverTls_whateverTheInsecureOption) {
    struct Case {
        const char* name;
        smtpsink::SinkTls tls;
        bool insecure;
        bool login;
        bool delivered;
    };
    const Case cases[] = {
        {"STARTTLS, login", smtpsink::SinkTls::StartTls, false, true, true},
        {"STARTTLS, insecure, login", smtpsink::SinkTls::StartTls, true, true, true},
        {"no STARTTLS, insecure, login", smtpsink::SinkTls::None, true, true, false},
        {"no STARTTLS, insecure, no login", smtpsink::SinkTls::None, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        smtpsink::SmtpSink sink(c.tls);
        SmtpSettings settings{sink.url(),
                              kFrom,
                              c.login ? "relay-user" : "",
                              c.login ? "s3cret" : "",
                              c.insecure,
                              c.tls == smtpsink::SinkTls::StartTls ? sink.caFile() : ""};
        const SendOutcome outcome =
            CurlMailSender(settings).send(kFrom, "2125550100@vtext.com", "Subject: x\r\n\r\nx\r\n");
        EXPECT_EQ(outcome.kind == SendOutcome::Kind::Delivered, c.delivered) << outcome.reply;
        EXPECT_EQ(sink.authsWithoutTls(), 0U) << "the login went in the clear";
        const auto got = sink.accepted();
        ASSERT_EQ(got.size(), c.delivered ? 1U : 0U);
        if (c.delivered) {
            EXPECT_EQ(got[0].authUser, c.login ? "relay-user" : "");
            EXPECT_EQ(got[0].authOverTls, c.login);
        }
    }
}

TEST_F(DeliveryTest, Pauses_grow_andTheWorkerGivesUpAfter24Hours) {
    std::vector<Reaction> refusals(30, Reaction::answer("421 4.7.0 Busy"));
    sink.script(refusals);
    queue("Persistent");
    const TimePoint queuedAt = now;
    const std::vector<std::chrono::minutes> expectedPauses = {1min, 5min, 30min, 120min, 120min};
    TimePoint expected = queuedAt;
    for (const auto pause : expectedPauses) {
        ASSERT_EQ(worker->deliverDue(), 1);
        expected = now + pause;
        EXPECT_EQ(row(0).nextAttempt, UtcText(expected));
        now = *ParseUtcText(row(0).nextAttempt);
    }
    while (row(0).state == delivery::kQueued && now <= queuedAt + 25h) {
        ASSERT_EQ(worker->deliverDue(), 1);
        if (row(0).state == delivery::kQueued) {
            EXPECT_LE(*ParseUtcText(row(0).nextAttempt), queuedAt + 24h);
            now = *ParseUtcText(row(0).nextAttempt);
        }
    }
    EXPECT_EQ(row(0).state, delivery::kFailed);
    EXPECT_EQ(now, queuedAt + 24h) << "the last attempt falls at the 24-hour mark";
    EXPECT_EQ(row(0).lastReply, "421 4.7.0 Busy");
    EXPECT_TRUE(sink.accepted().empty());
}

TEST_F(DeliveryTest, PermanentFailure_endsAtOnce_withTheRelaysReply) {
    sink.script({Reaction::answer("550 5.1.1 No such user")});
    queue("Nobody");
    EXPECT_EQ(worker->deliverDue(), 1);
    const OutboxMessage failed = row(0);
    EXPECT_EQ(failed.state, delivery::kFailed);
    EXPECT_EQ(failed.attempts, 1);
    EXPECT_EQ(failed.lastReply, "550 5.1.1 No such user");
    EXPECT_EQ(failed.nextAttempt, "");
    now += 25h;
    EXPECT_EQ(worker->deliverDue(), 0);
}

TEST_F(DeliveryTest, CarrierThatLostItsGateway_failsTheMessage) {
    queue("Nowhere", "Straight Talk");
    EXPECT_EQ(worker->deliverDue(), 1);
    EXPECT_EQ(row(0).state, delivery::kFailed);
    EXPECT_EQ(row(0).lastReply, "no e-mail gateway for the carrier Straight Talk");
    EXPECT_TRUE(sink.transactions().empty());
}

TEST_F(DeliveryTest, MessagesAcceptedWhileDeliveryWasOff_areNeverSent) {
    OutboxMessage message;
    message.userId = std::stoll(std::string(kDemoUserId));
    message.number = "2125550100";
    message.carrier = "Verizon Wireless";
    message.body = "old";
    store->addToOutbox(message); // state off
    now = std::chrono::system_clock::now() + 48h;
    EXPECT_EQ(worker->deliverDue(), 0);
    EXPECT_EQ(row(0).state, delivery::kOff);
}

class DeliveryRestartTest : public DeliveryTest {
protected:
    DeliveryRestartTest() { m_path = dir.file("store.db"); }
    lstest::TempDir dir;
};

TEST_F(DeliveryRestartTest, Restart_deliversWhatWasQueued_once) {
    queue("first");
    queue("second");
    sink.script({Reaction::answer("451 4.3.0 Later")});
    EXPECT_EQ(worker->deliverDue(), 2); // the first waits a minute, the second is sent
    const TimePoint before = now;

    open(); // the service restarts
    now = before;
    EXPECT_EQ(worker->deliverDue(), 0) << "the pause did not survive the restart";
    now = before + 1min;
    EXPECT_EQ(worker->deliverDue(), 1);
    open();
    now = before + 48h;
    EXPECT_EQ(worker->deliverDue(), 0);

    const auto got = sink.accepted();
    ASSERT_EQ(got.size(), 2U);
    EXPECT_NE(got[0].data.find("\r\n\r\nsecond\r\n"), std::string::npos);
    EXPECT_NE(got[1].data.find("\r\n\r\nfirst\r\n"), std::string::npos);
    EXPECT_EQ(row(0).state, delivery::kAccepted);
    EXPECT_EQ(row(1).state, delivery::kAccepted);
}

} // namespace

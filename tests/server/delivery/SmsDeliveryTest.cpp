// The service delivering through the SMS gateway, end to end: the program's exchanges and the
// account pages on one side, Debian's Kannel and a fake SMSC on the other, and Kannel's delivery
// reports coming back to the service.

#include "SmsRig.h"
#include "server/app/Server.h"
#include "server/delivery/GatewayTable.h"
#include "server/store/Passwords.h"
#include "support/ClientRequests.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

using namespace server;
using namespace std::chrono_literals;
using fakesmsc::SubmitSm;

namespace {

constexpr const char* kSender = "7125550123";
constexpr const char* kFrom = "+14125550100";

class SmsDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        SMS_RIG_REQUIRED();
        ServerOptions options;
        options.port = 0;
        options.databasePath = ":memory:";
        options.console = [this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_console.push_back(line);
        };
        SmsGatewaySettings sms;
        sms.url = smstest::Rig().sendsmsUrl();
        sms.from = kFrom;
        ReadSmsGatewayCredentials(smstest::Rig().credentialsFile().string(), sms);
        options.smsGateway = sms;
        options.deliveryClock = [this] { return std::chrono::system_clock::now() + m_clockOffset.load(); };
        service = std::make_unique<Server>(options);
        service->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
        ASSERT_TRUE(service->store().registerUser(kSender, HashPassword("pass-word")).has_value());
        const auto res = client->Post("/vantro_login.aspx", lstest::LoginRequest(kSender, "pass-word"), "text/xml");
        ASSERT_TRUE(res);
        session = lstest::Answer(res->body).text("//string");
        before = smstest::Smsc().submitCount();
    }

    void TearDown() override {
        if (service) {
            service->stop();
        }
        // Whatever the case did, the sendsms password never reached the console.
        for (const std::string& line : console()) {
            EXPECT_EQ(line.find(smstest::Rig().password()), std::string::npos) << line;
        }
    }

    std::string send(const std::string& to, const std::string& subject, const std::string& body,
                     const std::string& carrier = "AT&T") {
        const auto res = client->Post("/vantro_send.aspx", lstest::SendRequest(session, "0", to, carrier, subject, body),
                                      "text/xml");
        return res ? lstest::Answer(res->body).text("//send") : "<no answer>";
    }

    std::vector<std::string> console() {
        std::lock_guard lock(m_mutex);
        return m_console;
    }

    // The submit_sm PDUs that arrived during this case.
    std::vector<SubmitSm> received() {
        const auto all = smstest::Smsc().submits();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(before, all.size())), all.end()};
    }
    bool waitForSubmits(std::size_t count) { return smstest::Smsc().waitForSubmits(before + count); }

    OutboxMessage row(std::size_t index) {
        const auto outbox = service->store().outbox();
        return index < outbox.size() ? outbox[index] : OutboxMessage{};
    }
    // Waits until the row is in `state`; the limit only guards against a hanging test.
    bool waitForState(std::size_t index, std::string_view state) {
        for (int i = 0; i < 1500; ++i) {
            if (row(index).state == state) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::unique_ptr<Server> service;
    std::unique_ptr<httplib::Client> client;
    std::string session;
    std::size_t before = 0;
    std::atomic<std::chrono::seconds> m_clockOffset{0s};

private:
    std::mutex m_mutex;
    std::vector<std::string> m_console;
};

TEST_F(SmsDeliveryTest, Send_reachesTheSmsc_asTheInternationalNumberWithSenderAndTextInItsCoding) {
    const struct {
        const char* subject;
        const char* body;
        int dataCoding;
        std::string userData;
    } cases[] = {
        // GSM 7-bit, one septet a byte: é is 0x05; subject, line break, body with its CR LF kept.
        {"Café", "See you\r\nat 5", 0, std::string("Caf\x05\nSee you\r\nat 5")},
        // "č" and "–" are outside the alphabet: UCS-2, big endian.
        {"", "Café – Zoë č", 8, std::string("\0C\0a\0f\0\xE9\0 \x20\x13\0 \0Z\0o\0\xEB\0 \x01\x0D", 24)},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.body);
        EXPECT_EQ(send("7245550199", c.subject, c.body), "Your message was sent to 7245550199.");
        ASSERT_TRUE(waitForSubmits(i + 1)) << smstest::Rig().logTail();
        const SubmitSm pdu = received().at(i);
        EXPECT_EQ(pdu.destination, "17245550199"); // Kannel drops the + ...
        EXPECT_EQ(pdu.destinationTon, 1);          // ... and says international instead
        EXPECT_EQ(pdu.source, "14125550100");
        EXPECT_EQ(pdu.dataCoding, c.dataCoding);
        EXPECT_EQ(pdu.userData, c.userData);
        EXPECT_NE(pdu.registeredDelivery & 0x01, 0); // a receipt asked for
    }
}

TEST_F(SmsDeliveryTest, Receipt_movesTheMessageToDelivered_withTheTimeOfEveryChange) {
    EXPECT_EQ(send("7245550198", "", "Receipt please"), "Your message was sent to 7245550198.");
    ASSERT_TRUE(waitForSubmits(1));
    // The SMSC's answer comes back from Kannel as a report of type 8.
    ASSERT_TRUE(waitForState(0, delivery::kSubmitted)) << row(0).state;
    ASSERT_TRUE(smstest::Smsc().sendReceipt(received().at(0)));
    ASSERT_TRUE(waitForState(0, delivery::kDelivered)) << row(0).state;

    const auto history = service->store().stateHistory(row(0).id);
    std::vector<std::string> states;
    for (const auto& change : history) {
        states.push_back(change.state);
        std::cout << "    " << change.state << " " << change.at << (change.reason.empty() ? "" : " " + change.reason)
                  << "\n";
        EXPECT_TRUE(std::regex_match(change.at, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"))) << change.at;
    }
    // The SMSC's acceptance may be reported before smsbox's answer to us is recorded; the message
    // then goes from queued straight to submitted.
    const std::vector<std::string> inOrder{"queued", "accepted", "submitted", "delivered"};
    const std::vector<std::string> reportFirst{"queued", "submitted", "delivered"};
    EXPECT_TRUE(states == inOrder || states == reportFirst) << ::testing::PrintToString(states);
    EXPECT_TRUE(std::is_sorted(history.begin(), history.end(),
                               [](const StateChange& a, const StateChange& b) { return a.at < b.at; }));
}

TEST_F(SmsDeliveryTest, SmscRefusal_endsInFailed_withItsReason) {
    smstest::Smsc().refuseNext(fakesmsc::kInvalidDestination);
    EXPECT_EQ(send("7245550197", "", "Refuse me"), "Your message was sent to 7245550197.");
    ASSERT_TRUE(waitForState(0, delivery::kFailed)) << row(0).state << smstest::Rig().logTail();
    EXPECT_NE(row(0).lastReply.find("0x0000000b"), std::string::npos) << row(0).lastReply;
    EXPECT_EQ(received().size(), 1u); // refused for good: Kannel does not try again either
    const auto history = service->store().stateHistory(row(0).id);
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history.back().state, "failed");
    EXPECT_EQ(history.back().reason, row(0).lastReply);
    std::cout << "    " << history.back().state << " " << history.back().at << " " << history.back().reason << "\n";
}

TEST_F(SmsDeliveryTest, SmsboxStoppedThenStarted_retriesTheMessage_andDeliversItOnce) {
    smstest::Rig().stopSmsbox();
    EXPECT_EQ(send("7245550196", "", "Try again"), "Your message was sent to 7245550196.");
    for (int i = 0; i < 1500 && row(0).attempts == 0; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    smstest::Rig().startSmsbox();
    EXPECT_EQ(row(0).state, delivery::kQueued);
    EXPECT_EQ(row(0).attempts, 1);
    EXPECT_TRUE(received().empty());

    m_clockOffset = 61s; // past the first pause of a minute
    service->wakeDelivery();
    ASSERT_TRUE(waitForState(0, delivery::kSubmitted)) << row(0).state << " " << row(0).lastReply;
    ASSERT_TRUE(smstest::Smsc().sendReceipt(received().at(0)));
    ASSERT_TRUE(waitForState(0, delivery::kDelivered));
    EXPECT_EQ(row(0).attempts, 2);
    std::this_thread::sleep_for(200ms); // room for a second copy, were one on its way
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(SmsDeliveryTest, ReportWithAWrongOrMissingSecret_isNotFound_andChangesNothing) {
    EXPECT_EQ(send("7245550195", "", "Secret"), "Your message was sent to 7245550195.");
    ASSERT_TRUE(waitForState(0, delivery::kSubmitted));
    const std::string id = std::to_string(row(0).id);
    const auto history = service->store().stateHistory(row(0).id);
    const std::string wrong(32, '0');
    for (const std::string& target : {
             "/delivery-report?id=" + id + "&secret=" + wrong + "&type=1&reply=stat:DELIVRD",
             "/delivery-report?id=" + id + "&type=1&reply=stat:DELIVRD",
             "/delivery-report?id=" + id + "&secret=&type=2&reply=stat:UNDELIV",
             "/delivery-report?id=999999&secret=" + wrong + "&type=1",
             "/delivery-report?id=-1&secret=" + wrong + "&type=1",
         }) {
        const auto res = client->Get(target);
        ASSERT_TRUE(res) << target;
        EXPECT_EQ(res->status, 404) << target;
    }
    EXPECT_EQ(row(0).state, delivery::kSubmitted);
    EXPECT_EQ(service->store().stateHistory(row(0).id).size(), history.size());
}

TEST_F(SmsDeliveryTest, RegistrationCode_arrivesThroughTheGateway_andItsTextIsBlankedOnceAccepted) {
    const std::string path = "/login.aspx?regstart=true";
    const auto page = client->Get(path);
    ASSERT_TRUE(page);
    std::string token = page->get_header_value("Set-Cookie");
    token = token.substr(0, token.find(';'));
    token = token.substr(token.find('=') + 1);
    const auto res = client->Post(path, {{"Cookie", "vantro_form=" + token}},
                                  httplib::Params{{"form_token", token},
                                                  {"step", "request"},
                                                  {"number", "7125550177"},
                                                  {"carrier", "T-Mobile"}}); // a closed e-mail gateway
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    ASSERT_TRUE(waitForSubmits(1));
    const SubmitSm pdu = received().at(0);
    EXPECT_EQ(pdu.destination, "17125550177");
    EXPECT_TRUE(std::regex_search(pdu.userData, std::regex(R"(\b\d{6}\b)"))) << pdu.userData;
    ASSERT_TRUE(waitForState(0, delivery::kSubmitted));
    EXPECT_EQ(row(0).userId, 0);
    EXPECT_EQ(row(0).body, "");
}

TEST_F(SmsDeliveryTest, SmsRoute_listsAndTakesEveryCarrier_andKeepsThePasswordOffTheConsole) {
    const auto res = client->Post("/vantro_carriers.aspx", "", "text/xml");
    ASSERT_TRUE(res);
    std::vector<std::string> expected;
    for (const Carrier& carrier : GatewayTable::builtIn().carriers()) {
        expected.push_back(carrier.name);
    }
    EXPECT_EQ(lstest::Answer(res->body).texts("//carriers/carrier"), expected);
    EXPECT_EQ(send("7245550194", "", "No gateway needed", "Sprint"), "Your message was sent to 7245550194.");
    ASSERT_TRUE(waitForState(0, delivery::kSubmitted));
    // An unreachable gateway's error goes to the console too; it names the address, never the login.
    smstest::Rig().stopSmsbox();
    EXPECT_EQ(send("7245550194", "", "Unreachable"), "Your message was sent to 7245550194.");
    for (int i = 0; i < 1500 && row(1).attempts == 0; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    smstest::Rig().startSmsbox();
    const auto lines = console();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("accepted by the SMS gateway") != l.npos; }));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("next attempt") != l.npos; }));
    // TearDown checks every line for the password.
}

} // namespace

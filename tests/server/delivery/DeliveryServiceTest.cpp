// The whole service with delivery on, over HTTP: what one send becomes at the relay, and the
// operator's gateway file.

#include "SmtpSink.h"
#include "server/app/Server.h"
#include "server/delivery/MailMessage.h"
#include "server/delivery/MailSender.h"
#include "server/store/Passwords.h"
#include "support/ClientRequests.h"
#include "support/PageVisit.h"

#include <algorithm>
#include <atomic>
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

namespace {

constexpr const char* kFrom = "sms@vantro.example";

// The whole service with delivery on: the send exchange over HTTP, the worker's thread, the sink.
class DeliveryServiceTest : public ::testing::Test {
protected:
    void start(std::shared_ptr<const GatewayTable> gateways = nullptr) {
        const std::string credentials = dir.file("credentials");
        std::ofstream(credentials) << kUser << ":" << kPassword << "\n";
        std::filesystem::permissions(credentials, std::filesystem::perms::others_all,
                                     std::filesystem::perm_options::remove);
        ServerOptions options;
        options.port = 0;
        options.databasePath = ":memory:";
        options.console = [this](const std::string& line) {
            {
                std::lock_guard lock(mutex);
                console.push_back(line);
            }
            consoleChanged.notify_all();
        };
        SmtpSettings smtp;
        smtp.url = sink.url();
        smtp.from = kFrom;
        smtp.caFile = sink.caFile();
        ReadCredentials(credentials, smtp);
        options.smtp = smtp;
        options.gateways = std::move(gateways);
        options.deliveryClock = [this] { return std::chrono::system_clock::now() + clockOffset.load(); };
        service = std::make_unique<Server>(options);
        service->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
        // Registering proves a phone by a texted code; here the sender is simply stored.
        ASSERT_TRUE(service->store().registerUser(kSender, HashPassword("pass-word")).has_value());
        reguser = logIn(kSender, "pass-word");
    }

    std::string logIn(std::string_view login, std::string_view password) {
        const auto res = client->Post("/vantro_login.aspx", lstest::LoginRequest(login, password), "text/xml");
        return res ? lstest::Answer(res->body).text("//string") : std::string();
    }

    // The "//send" text of the answer.
    std::string send(std::string_view carrier, std::string_view subject, std::string_view body,
                     const std::string& who = {}) {
        const auto res = client->Post(
            "/vantro_send.aspx",
            lstest::SendRequest(who.empty() ? reguser : who, "0", "2125550100", carrier, subject, body), "text/xml");
        return res ? lstest::Answer(res->body).text("//send") : "<no answer>";
    }

    // Waits for a console line holding `text`; the limit only guards against a hanging test.
    bool waitForConsole(const std::string& text) {
        std::unique_lock lock(mutex);
        return consoleChanged.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::any_of(console.begin(), console.end(),
                               [&](const std::string& line) { return line.find(text) != std::string::npos; });
        });
    }

    std::vector<std::string> carriers() {
        const auto res = client->Post("/vantro_carriers.aspx", "", "text/xml");
        return res ? lstest::Answer(res->body).texts("//carriers/carrier") : std::vector<std::string>{};
    }

    static constexpr const char* kSender = "7125550123";
    static constexpr const char* kUser = "relay-user";
    static constexpr const char* kPassword = "s3cret-Pa55";

    lstest::TempDir dir;
    std::atomic<std::chrono::seconds> clockOffset{0s};
    smtpsink::SmtpSink sink{smtpsink::SinkTls::StartTls}; // the relay's login needs TLS
    std::mutex mutex;
    std::condition_variable consoleChanged;
    std::vector<std::string> console;
    std::unique_ptr<Server> service;
    std::unique_ptr<httplib::Client> client;
    std::string reguser;
};

TEST_F(DeliveryServiceTest, OneSend_arrivesAsOneCorrectEmail_andTheCredentialsStayOutOfTheConsole) {
    start();
    const std::string subject = "Grüße 😀";
    const std::string body = "Zeile 1\r\nZeile 2 ✓";
    EXPECT_EQ(send("Verizon Wireless", subject, body), "Your message was sent to 2125550100.");
    ASSERT_TRUE(waitForConsole("SMS #1 sent to 2125550100@vtext.com: 250 2.0.0 Queued"));
    service->stop();

    const auto got = sink.transactions();
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].mailFrom, kFrom);
    EXPECT_EQ(got[0].recipients, std::vector<std::string>{"2125550100@vtext.com"});
    EXPECT_EQ(got[0].authUser, kUser);
    EXPECT_EQ(got[0].authPassword, kPassword);
    EXPECT_TRUE(got[0].authOverTls);
    EXPECT_EQ(sink.authsWithoutTls(), 0U);
    const std::string& data = got[0].data;
    EXPECT_NE(data.find("\r\nSubject: " + EncodeHeaderWords(subject) + "\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("\r\nContent-Type: text/plain; charset=UTF-8\r\n"), std::string::npos) << data;
    EXPECT_NE(data.find("\r\n\r\nZeile 1\r\nZeile 2 ✓\r\n"), std::string::npos) << data;

    const auto outbox = service->store().outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].state, delivery::kAccepted);
    EXPECT_EQ(outbox[0].body, body);

    std::lock_guard lock(mutex);
    ASSERT_GE(console.size(), 3U); // start, accepted, sent
    for (const std::string& line : console) {
        EXPECT_EQ(line.find(kPassword), std::string::npos) << line;
        EXPECT_EQ(line.find(kUser), std::string::npos) << line;
    }
}

TEST_F(DeliveryServiceTest, GatewayFile_decidesTheCarriers_andRefusesOneWithoutGateway) {
    const std::string path = dir.file("gateways.conf");
    std::ofstream(path) << "No Gateway =\nZeta & Co = sms.zeta.example\n";
    start(std::make_shared<const GatewayTable>(GatewayTable::load(path)));
    EXPECT_EQ(carriers(), std::vector<std::string>{"Zeta & Co"});
    EXPECT_EQ(send("No Gateway", "", "Hello"),
              "Send Failed. The carrier \"No Gateway\" no longer accepts e-mail-to-text messages, so this service "
              "cannot deliver to it.");
    EXPECT_EQ(send("Straight Talk", "", "Hello"), "Send Failed. Unknown carrier \"Straight Talk\".");
    // The demo user's password is public: with delivery on, it would let anyone text anyone.
    EXPECT_EQ(send("Zeta & Co", "", "Hello", logIn(kDemoLogin, kDemoPassword)),
              "Send Failed. The demo user cannot send text messages on this service. Please register to send them.");
    EXPECT_EQ(send("Zeta & Co", "", "Hello"), "Your message was sent to 2125550100.");
    ASSERT_TRUE(waitForConsole("SMS #1 sent to 2125550100@sms.zeta.example"));
    service->stop();
    EXPECT_EQ(sink.accepted().at(0).recipients, std::vector<std::string>{"2125550100@sms.zeta.example"});
    EXPECT_EQ(service->store().outbox().size(), 1U);
}

TEST_F(DeliveryServiceTest, AccountDeletion_cancelsAQueuedMessage_whichTheRelayNeverGets) {
    start();
    sink.script({smtpsink::Reaction::answer("451 4.3.0 Try again later")});
    EXPECT_EQ(send("Verizon Wireless", "", "Deleted before it went"), "Your message was sent to 2125550100.");
    ASSERT_TRUE(waitForConsole("not sent, next attempt"));

    lstest::PageVisit visit(*client);
    visit.signIn(kSender, "pass-word");
    const auto deleted = visit.post({{"step", "delete"}, {"password", "pass-word"}});
    ASSERT_TRUE(deleted);
    ASSERT_EQ(deleted->status, 200) << deleted->body;

    // Long past its next attempt, another user's message goes; the cancelled one does not.
    clockOffset = std::chrono::hours(3);
    ASSERT_TRUE(service->store().registerUser("7125550124", HashPassword("pass-word")).has_value());
    EXPECT_EQ(send("Verizon Wireless", "", "After the deletion", logIn("7125550124", "pass-word")),
              "Your message was sent to 2125550100.");
    ASSERT_TRUE(sink.waitForAccepted(1));
    service->stop();
    const auto got = sink.transactions();
    ASSERT_EQ(got.size(), 2U); // the refused first attempt, and the other user's message
    EXPECT_NE(got[1].data.find("After the deletion"), std::string::npos);
    const auto outbox = service->store().outbox();
    EXPECT_EQ(outbox.at(0).state, delivery::kCancelled);
    EXPECT_EQ(outbox.at(0).body, "");
}

} // namespace

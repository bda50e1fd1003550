// The service through a real socket: the exchanges as the program uses them, bad requests, stopping.

#include "ServerFixture.h"

using namespace server_test;

namespace {

TEST_F(ServerTest, WholeSession_loginToSend_answersAsTheProgramExpects) {
    ASSERT_GT(service->port(), 0);
    EXPECT_EQ(service->baseUrl(), "http://127.0.0.1:" + std::to_string(service->port()));

    auto res = post("/vantro_carriers.aspx", "");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    EXPECT_EQ(Answer(res->body).texts("//carriers/carrier").front(), "AT&T");

    res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    const std::string user = Answer(res->body).text("//string");
    EXPECT_EQ(user.size(), 32U) << user;

    res = post("/vantro_ab_update.aspx", lstest::UpdateRequest("add", user, "0", "Ben & Jerry", "4125550107", "AT&T"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    EXPECT_EQ(Answer(res->body).text("//update"), "Update Successful.");

    res = post("/vantro_ab.aspx", lstest::AddressBookRequest(user));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    const std::vector<lstest::FriendRow> friends = lstest::Friends(Answer(res->body));
    ASSERT_EQ(friends.size(), 3U);
    EXPECT_EQ(friends[2], (lstest::FriendRow{"3", "Ben & Jerry", "4125550107", "AT&T"}));

    const std::string body = "Hello\r\nfrom the test & friends <3";
    res = post("/vantro_send.aspx", lstest::SendRequest(user, friends[2].id, "", "", "Hi", body));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    const Answer sent(res->body);
    EXPECT_EQ(sent.text("//send"), "Your message was sent to 4125550107.");
    // The advertisement points to a page of this service, under the address the client used.
    EXPECT_EQ(sent.text("//ad_url"), service->baseUrl() + "/messages.aspx");
    auto page = client->Get("/messages.aspx");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    const std::vector<OutboxMessage> outbox = service->store().outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].body, body);
    std::lock_guard lock(mutex);
    ASSERT_EQ(console.size(), 2U);
    EXPECT_EQ(console[0], "Delivery is off: accepted messages stay in the outbox (--sms-gateway or --smtp turns it on).");
    EXPECT_NE(console[1].find("via AT&T (no email gateway known): subject \"Hi\" "
                              "body \"Hello\\r\\nfrom the test & friends <3\""),
              std::string::npos)
        << console[1];
}

TEST_F(ServerTest, BadRequests_areRefused_andTheServiceCarriesOn) {
    // Refusals of the exchanges come with status 200 in the exchange's answer format.
    auto res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, "de&mo<"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(Answer(res->body).text("//string"), "Login Failed: Invalid login or password.");
    res = post("/vantro_ab.aspx", "garbage");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    EXPECT_EQ(Answer(res->body).text("//result"), "FALSE");

    // Oversized bodies and wrong methods get a 4xx answer.
    res = post("/vantro_send.aspx", lstest::SendRequest("1", "1", "", "", "", std::string(kMaxRequestBytes, 'b')));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    for (const char* path : {"/vantro_login.aspx", "/vantro_carriers.aspx", "/vantro_ab.aspx", "/vantro_ab_update.aspx",
                             "/vantro_send.aspx"}) {
        res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 405) << path;
        EXPECT_EQ(res->get_header_value("Allow"), "POST") << path;
        res = client->Put(path, "<x/>", "text/xml");
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 405) << path;
    }
    res = client->Post("/", "x", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    res = client->Get("/no_such_page.aspx");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);

    EXPECT_TRUE(service->store().outbox().empty());
    res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword));
    ASSERT_TRUE(res);
    EXPECT_EQ(Answer(res->body).text("//result"), "TRUE");
}

TEST(ServerStopTest, LoginsWaitingForTheirHash_areAnsweredOrClosed_whenTheServiceStops) {
    ServerOptions options;
    options.port = 0;
    options.databasePath = ":memory:";
    Server service(options);
    service.start();
    // More logins than hashes can run at once, so that some still wait when the service stops.
    std::vector<std::thread> clients;
    std::mutex mutex;
    std::vector<std::string> outcomes;
    for (int i = 0; i < 12; ++i) {
        clients.emplace_back([&] {
            httplib::Client client("127.0.0.1", service.port());
            auto res = client.Post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword), "text/xml");
            std::lock_guard lock(mutex);
            outcomes.push_back(res ? Answer(res->body).text("//string") : std::string("no answer"));
        });
    }
    // Once the first login has its answer, the rest are queued or hashing.
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard lock(mutex);
        if (!outcomes.empty()) {
            break;
        }
    }
    service.stop();
    for (std::thread& client : clients) {
        client.join();
    }
    ASSERT_EQ(outcomes.size(), 12U);
    for (const std::string& outcome : outcomes) {
        // Beyond the logins one address may have waiting, the rest are refused at once.
        EXPECT_TRUE(outcome.size() == 32 || outcome == "Login Failed: The service is stopping." ||
                    outcome == "Login Failed: Too many logins are waiting. Please try again shortly." ||
                    outcome == "no answer")
            << outcome;
    }
}

} // namespace

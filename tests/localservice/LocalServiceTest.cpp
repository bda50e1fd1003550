// The service through a real socket: LocalService on a free port, an httplib client.

#include "ClientRequests.h"
#include "DemoData.h"
#include "LocalService.h"
#include "Protocol.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <string>
#include <vector>

using namespace localservice;
using lstest::Answer;

namespace {

constexpr const char* kXmlType = "text/xml; charset=utf-8";

class LocalServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        LocalServiceOptions options;
        options.port = 0;
        options.databasePath = ":memory:";
        options.console = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            console.push_back(line);
        };
        service = std::make_unique<LocalService>(options);
        service->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
        client->set_read_timeout(10);
    }

    // A POST as the client makes it: Content-Type text/xml, the document as the body.
    httplib::Result post(const std::string& path, const std::string& body) {
        return client->Post(path.c_str(), body, "text/xml");
    }

    std::mutex mutex;
    std::vector<std::string> console;
    std::unique_ptr<LocalService> service;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(LocalServiceTest, ListensOnAFreePortAndReportsIt) {
    EXPECT_GT(service->port(), 0);
    EXPECT_TRUE(service->running());
    EXPECT_EQ(service->baseUrl(), "http://127.0.0.1:" + std::to_string(service->port()));
}

TEST_F(LocalServiceTest, AWholeSessionThroughTheSocket) {
    // Carrier list: a POST with no body.
    auto res = client->Post("/vantro_carriers.aspx", "", "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    EXPECT_EQ(Answer(res->body).texts("//carriers/carrier").front(), "AT&T");

    res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    const Answer login(res->body);
    ASSERT_EQ(login.text("//result"), "TRUE");
    const std::string user = login.text("//string");
    EXPECT_EQ(user, kDemoUserId);

    res = post("/vantro_ab_update.aspx", lstest::UpdateRequest("add", user, "0", "Ben & Jerry", "4125550107", "AT&T"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    EXPECT_EQ(Answer(res->body).text("//update"), "Update Successful.");

    res = post("/vantro_ab.aspx", lstest::AddressBookRequest(user));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    const std::vector<lstest::FriendRow> friends = lstest::Friends(Answer(res->body));
    ASSERT_EQ(friends.size(), 3U);
    EXPECT_EQ(friends[2].name, "Ben & Jerry");
    EXPECT_EQ(friends[2].carrier, "AT&T");

    const std::string body = "Hello\r\nfrom the test & friends <3";
    res = post("/vantro_send.aspx", lstest::SendRequest(user, friends[2].id, "", "", "Hi", body));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    const Answer sent(res->body);
    EXPECT_EQ(sent.text("//send"), "Your message was sent to 4125550107.");
    const std::string adUrl = sent.text("//ad_url");
    EXPECT_EQ(adUrl, service->baseUrl() + "/vantro_updates.aspx");

    // The advertisement's page is served.
    auto page = client->Get(adUrl.substr(service->baseUrl().size()).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    const std::vector<OutboxMessage> outbox = service->store().outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].body, body);
    EXPECT_EQ(outbox[0].number, "4125550107");
    EXPECT_EQ(outbox[0].carrier, "AT&T");
    std::lock_guard lock(mutex);
    ASSERT_EQ(console.size(), 1U);
    EXPECT_NE(console[0].find("<4125550107@txt.att.net>"), std::string::npos) << console[0];
    EXPECT_NE(console[0].find("\"Hello\\r\\nfrom the test & friends <3\""), std::string::npos) << console[0];
}

TEST_F(LocalServiceTest, IllFormedLoginThroughTheSocket) {
    auto res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, "de&mo<"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(Answer(res->body).text("//result"), "FALSE");
    EXPECT_EQ(Answer(res->body).text("//string"), "Login Failed: Invalid login or password.");
}

TEST_F(LocalServiceTest, RefusalsComeWithStatus200InTheAnswerFormat) {
    auto res = post("/vantro_ab.aspx", "garbage");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), kXmlType);
    EXPECT_EQ(Answer(res->body).text("//result"), "FALSE");

    res = post("/vantro_send.aspx", lstest::SendRequest("42", "0", "7245550199", "Sprint", "", "x"));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(Answer(res->body).text("//send"), "Send Failed. Unknown user. Please log in again.");
    EXPECT_TRUE(service->store().outbox().empty());
}

TEST_F(LocalServiceTest, WrongMethodsAreRefused) {
    for (const char* path : {"/vantro_login.aspx", "/vantro_carriers.aspx", "/vantro_ab.aspx",
                             "/vantro_ab_update.aspx", "/vantro_send.aspx"}) {
        auto res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 405) << path;
        EXPECT_EQ(res->get_header_value("Allow"), "POST") << path;
        res = client->Put(path, "<x/>", "text/xml");
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 405) << path;
        res = client->Delete(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 405) << path;
    }
    auto res = client->Post("/", "x", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 405);
    res = client->Get("/no_such_page.aspx");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

TEST_F(LocalServiceTest, OversizedBodiesAreRefusedAndTheServiceCarriesOn) {
    const std::string huge = lstest::LoginRequest(kDemoLogin, std::string(kMaxRequestBytes + 1, 'p'));
    auto res = post("/vantro_login.aspx", huge);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);

    res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword));
    ASSERT_TRUE(res);
    EXPECT_EQ(Answer(res->body).text("//result"), "TRUE");
}

TEST_F(LocalServiceTest, WebPages) {
    for (const char* path : {"/", "/vantro_updates.aspx", "/login.aspx?forgot=true", "/login.aspx?regstart=true",
                             "/login.aspx"}) {
        auto res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
        EXPECT_NE(res->body.find("<html"), std::string::npos) << path;
    }
    auto res = client->Get("/login.aspx?regstart=true");
    EXPECT_NE(res->body.find("<form method=\"post\" action=\"/login.aspx?regstart=true\">"), std::string::npos);
    EXPECT_NE(client->Get("/")->body.find(std::string(kDemoLogin)), std::string::npos);
}

TEST_F(LocalServiceTest, RegistrationThroughTheFormThenLogin) {
    const auto registerWith = [&](const std::string& login, const std::string& password,
                                  const std::string& confirmation) {
        const httplib::Params form{{"login", login}, {"password", password}, {"confirmation", confirmation}};
        return client->Post("/login.aspx?regstart=true", form);
    };
    auto res = registerWith("7125550100", "p&ss<word>", "p&ss<word>");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("registered with the login <strong>7125550100</strong>"), std::string::npos) << res->body;

    // The new user logs in with the client's ill-formed login document.
    res = post("/vantro_login.aspx", lstest::LoginRequest("7125550100", "p&ss<word>"));
    ASSERT_TRUE(res);
    const Answer login(res->body);
    EXPECT_EQ(login.text("//result"), "TRUE");
    EXPECT_EQ(login.text("//string"), "2");

    res = registerWith("7125550100", "other", "other");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 409);
    EXPECT_NE(res->body.find("already registered"), std::string::npos);

    for (const std::string bad : {"712555010", "0125550100", "1125550100", "+712555010", "712555010x", ""}) {
        res = registerWith(bad, "pw", "pw");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
        EXPECT_NE(res->body.find("10-digit"), std::string::npos) << bad;
    }
    res = registerWith("7125550101", "pw", "pW");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    res = registerWith("7125550101", "", "");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    res = registerWith("7125550101", " pw", " pw");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    // A login echoed into the page is escaped.
    res = registerWith("<b>x</b>", "pw", "pw");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.find("<b>x</b>"), std::string::npos);
    EXPECT_FALSE(service->store().findUserByLogin("7125550101").has_value());
}

TEST_F(LocalServiceTest, StopsCleanlyAndFreesThePort) {
    const int port = service->port();
    service->stop();
    EXPECT_FALSE(service->running());
    service->stop(); // a second stop is harmless
    auto res = client->Get("/");
    EXPECT_FALSE(res);

    // The port can be bound again.
    LocalServiceOptions options;
    options.port = port;
    options.databasePath = ":memory:";
    LocalService again(options);
    again.start();
    httplib::Client other("127.0.0.1", port);
    auto page = other.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

TEST_F(LocalServiceTest, StartFailsOnAPortInUse) {
    LocalServiceOptions options;
    options.port = service->port();
    options.databasePath = ":memory:";
    LocalService second(options);
    EXPECT_THROW(second.start(), std::runtime_error);
    EXPECT_FALSE(second.running());
}

TEST(LocalServiceRestartTest, TheStoreSurvivesARestartOfTheService) {
    lstest::TempDir dir;
    LocalServiceOptions options;
    options.port = 0;
    options.databasePath = dir.file("service.db");
    {
        LocalService service(options);
        service.start();
        httplib::Client client("127.0.0.1", service.port());
        auto res = client.Post("/vantro_ab_update.aspx",
                               lstest::UpdateRequest("add", "1", "0", "Kept & Sound", "4125550111", "AT&T"),
                               "text/xml");
        ASSERT_TRUE(res);
        ASSERT_EQ(Answer(res->body).text("//update"), "Update Successful.");
        res = client.Post("/vantro_send.aspx", lstest::SendRequest("1", "0", "7245550199", "AT&T", "s", "a\r\nb"),
                          "text/xml");
        ASSERT_TRUE(res);
        ASSERT_EQ(Answer(res->body).text("//send"), "Your message was sent to 7245550199.");
    }
    LocalService service(options);
    service.start();
    httplib::Client client("127.0.0.1", service.port());
    auto res = client.Post("/vantro_ab.aspx", lstest::AddressBookRequest("1"), "text/xml");
    ASSERT_TRUE(res);
    const std::vector<lstest::FriendRow> friends = lstest::Friends(Answer(res->body));
    ASSERT_EQ(friends.size(), 3U);
    EXPECT_EQ(friends[2], (lstest::FriendRow{"3", "Kept & Sound", "4125550111", "AT&T"}));
    ASSERT_EQ(service.store().outbox().size(), 1U);
    EXPECT_EQ(service.store().outbox()[0].body, "a\r\nb");
}

} // namespace

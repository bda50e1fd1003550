// The service through a real socket: Server on a free port, an httplib client.

#include "Server.h"

#include "ClientRequests.h"
#include "DemoData.h"
#include "Protocol.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace server;
using lstest::Answer;

namespace {

constexpr const char* kXmlType = "text/xml; charset=utf-8";

// A raw TCP connection to the service, for clients that misbehave.
class RawConnection {
public:
    explicit RawConnection(int port) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        timeval wait{5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~RawConnection() { close(m_fd); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return m_connected; }
    bool send(std::string_view bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // What arrives until the service closes the connection or 5 s pass without a byte.
    std::string receiveAll() {
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = recv(m_fd, buffer, sizeof buffer, 0)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
    // True when the service has closed the connection (recv sees its end or a reset).
    bool closedByService() {
        char byte = 0;
        const ssize_t got = recv(m_fd, &byte, 1, 0);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    int m_fd;
    bool m_connected = false;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions options;
        options.port = 0;
        options.databasePath = ":memory:";
        options.console = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            console.push_back(line);
        };
        service = std::make_unique<Server>(options);
        service->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
    }

    // As the client posts: Content-Type text/xml, the document as the body.
    httplib::Result post(const char* path, const std::string& body) { return client->Post(path, body, "text/xml"); }

    std::mutex mutex;
    std::vector<std::string> console;
    std::unique_ptr<Server> service;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(ServerTest, AWholeSession) {
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
    EXPECT_EQ(sent.text("//ad_url"), service->baseUrl() + "/vantro_updates.aspx");
    auto page = client->Get("/vantro_updates.aspx");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);

    const std::vector<OutboxMessage> outbox = service->store().outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].body, body);
    std::lock_guard lock(mutex);
    ASSERT_EQ(console.size(), 2U);
    EXPECT_EQ(console[0], "Delivery is off: accepted messages stay in the outbox (--smtp turns it on).");
    EXPECT_NE(console[1].find("<4125550107@txt.att.net>: subject \"Hi\" "
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

TEST_F(ServerTest, WebPages_andRegistration) {
    for (const char* path : {"/", "/vantro_updates.aspx", "/login.aspx?forgot=true", "/login.aspx?regstart=true"}) {
        auto res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
        EXPECT_EQ(res->get_header_value("Content-Type"), "text/html; charset=utf-8") << path;
    }
    EXPECT_NE(client->Get("/login.aspx?regstart=true")->body.find("<form method=\"post\""), std::string::npos);

    const auto registerWith = [&](const std::string& login, const std::string& password, const std::string& again) {
        const httplib::Params form{{"login", login}, {"password", password}, {"confirmation", again}};
        auto res = client->Post("/login.aspx?regstart=true", form);
        return res ? res->status : -1;
    };
    EXPECT_EQ(registerWith("7125550100", "p&ss<word>", "p&ss<word>"), 200);
    // The client sends that password unescaped, in an ill-formed document.
    auto res = post("/vantro_login.aspx", lstest::LoginRequest("7125550100", "p&ss<word>"));
    ASSERT_TRUE(res);
    EXPECT_EQ(Answer(res->body).text("//result"), "TRUE");
    EXPECT_EQ(Answer(res->body).text("//string").size(), 32U);

    EXPECT_EQ(registerWith("7125550100", "other", "other"), 409);
    for (const std::string& bad :
         std::vector<std::string>{"712555010", "0125550100", "1125550100", "+712555010", "712555010x", ""}) {
        EXPECT_EQ(registerWith(bad, "pw", "pw"), 400) << bad;
    }
    EXPECT_EQ(registerWith("7125550101", "pw", "pW"), 400);
    EXPECT_EQ(registerWith("7125550101", "", ""), 400);
    EXPECT_EQ(registerWith("7125550101", " pw", " pw"), 400); // the client would trim the space away
    EXPECT_FALSE(service->store().findUserByLogin("7125550101").has_value());

    // What the user typed comes back escaped.
    const httplib::Params form{{"login", "<b>x</b>"}, {"password", "pw"}, {"confirmation", "pw"}};
    res = client->Post("/login.aspx?regstart=true", form);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body.find("<b>x</b>"), std::string::npos);
    EXPECT_NE(res->body.find("&lt;b&gt;x&lt;/b&gt;"), std::string::npos);
}

TEST_F(ServerTest, HostileHeads_areRefused_andTheServiceCarriesOn) {
    // 10,000 header lines do not fit the memory a connection may use.
    RawConnection many(service->port());
    ASSERT_TRUE(many.connected());
    std::string head = "POST /vantro_login.aspx HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 10000; ++i) {
        head += "X-Line-" + std::to_string(i) + ": y\r\n";
    }
    many.send(head + "Content-Length: 0\r\n\r\n");
    const std::string answer = many.receiveAll();
    EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 4")) << answer.substr(0, 80);
    EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos);

    // Bad request lines and lengths get a 4xx (505 for an unknown HTTP version), never an answer.
    for (const std::string& bad :
         std::vector<std::string>{std::string("NONSENSE\r\n\r\n"), std::string("GET / HTTP/9.9\r\n\r\n"),
                                  std::string("POST /vantro_ab.aspx HTTP/1.1\r\nHost: x\r\n"
                                              "Content-Length: -1\r\n\r\n")}) {
        RawConnection connection(service->port());
        connection.send(bad);
        const std::string text = connection.receiveAll();
        EXPECT_TRUE(text.empty() || text.starts_with("HTTP/1.1 4") || text.starts_with("HTTP/1.1 505"))
            << bad << " -> " << text.substr(0, 80);
    }

    auto res = post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword));
    ASSERT_TRUE(res);
    EXPECT_EQ(Answer(res->body).text("//result"), "TRUE");
}

TEST(ServerSlowClientsTest, TricklingConnections_doNotStarveALogin_andAreClosedWhenTheirHeadIsLate) {
    ServerOptions options;
    options.port = 0;
    options.databasePath = ":memory:";
    options.headSeconds = 2;
    Server service(options);
    service.start();

    // 64 connections that have sent part of a request head, one byte at a time.
    const std::string head = "POST /vantro_login.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<RawConnection>(service.port()));
        ASSERT_TRUE(slow.back()->connected()) << i;
    }
    for (std::size_t byte = 0; byte < 8; ++byte) {
        for (auto& connection : slow) {
            connection->send(head.substr(byte, 1));
        }
    }
    httplib::Client client("127.0.0.1", service.port());
    auto res = client.Post("/vantro_login.aspx", lstest::LoginRequest(kDemoLogin, kDemoPassword), "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(Answer(res->body).text("//result"), "TRUE");

    // Trickling on, a byte every 100 ms, the first connection is closed once its head is late,
    // long before the head is complete.
    RawConnection trickler(service.port());
    bool closed = false;
    for (std::size_t byte = 0; byte < 200 && !closed; ++byte) {
        if (!trickler.send(std::string(1, 'X'))) {
            closed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Closed by now: sends fail soon after the service has shut the connection.
    }
    if (!closed) {
        closed = trickler.closedByService();
    }
    EXPECT_TRUE(closed);

    // Stopping does not wait for the slow connections.
    service.stop();
    EXPECT_FALSE(service.running());
    for (auto& connection : slow) {
        EXPECT_TRUE(connection->closedByService());
    }
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
        EXPECT_TRUE(outcome.size() == 32 || outcome == "Login Failed: The service is stopping." ||
                    outcome == "no answer")
            << outcome;
    }
}

TEST_F(ServerTest, Stop_freesThePort_andABusyPortIsRefused) {
    ServerOptions options;
    options.port = service->port();
    options.databasePath = ":memory:";
    Server second(options);
    EXPECT_THROW(second.start(), std::runtime_error);

    service->stop();
    EXPECT_FALSE(service->running());
    service->stop();
    EXPECT_FALSE(client->Get("/"));

    Server third(options);
    third.start();
    auto page = httplib::Client("127.0.0.1", options.port).Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

} // namespace

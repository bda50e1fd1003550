// The transport through a real socket: routes, forms and cookies, pools, TLS and stopping.

#include "HttpFixture.h"

using namespace http_test;

namespace {

TEST_F(HttpServerTest, Requests_outsideTheRoutes_areAnsweredByTheTransport) {
    start();
    const std::size_t limit = HttpOptions{}.maxBodyBytes;
    struct Case {
        const char* method;
        const char* path;
        std::string body;
        int status;
        std::string allow, answer;
    };
    const Case cases[] = {
        {"GET", "/echo", "", 405, "POST", "405 Method Not Allowed. Use POST.\n"},
        {"PUT", "/echo", "<x/>", 405, "POST", "405 Method Not Allowed. Use POST.\n"},
        {"POST", "/page", "x", 405, "GET, HEAD", "405 Method Not Allowed. Use GET, HEAD.\n"},
        {"GET", "/no_such_page.aspx", "", 404, "", "404 Not Found\n"},
        {"POST", "/echo", std::string(limit + 1, 'b'), 413, "",
         "413 Payload Too Large: requests may have at most 64 KiB\n"},
        {"POST", "/echo", std::string(limit, 'b'), 200, "", std::string(limit, 'b')},
        {"GET", "/fail", "", 500, "", "500 Internal Server Error\n"},
        {"GET", "/page", "", 200, "", "page"},
    };
    for (const Case& c : cases) {
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.body = c.body;
        auto res = client->send(request);
        ASSERT_TRUE(res) << c.method << " " << c.path;
        EXPECT_EQ(res->status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(res->get_header_value("Allow"), c.allow) << c.method << " " << c.path;
        EXPECT_EQ(res->body, c.answer) << c.method << " " << c.path;
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(errors, std::vector<std::string>{"ERROR GET /fail: broken"});
}

TEST_F(HttpServerTest, TooLargeRequest_isToldTheLimit_inKiBOnlyWhenExact) {
    const std::pair<std::size_t, std::string> cases[] = {
        {512, "512 bytes"},
        {1536, "1536 bytes"},
        {2048, "2 KiB"},
    };
    for (const auto& [limit, text] : cases) {
        start({.maxBodyBytes = limit});
        const auto res = client->Post("/echo", std::string(limit + 1, 'b'), "text/xml");
        ASSERT_TRUE(res) << limit;
        EXPECT_EQ(res->status, 413);
        EXPECT_EQ(res->body, "413 Payload Too Large: requests may have at most " + text + "\n");
    }
}

TEST_F(HttpServerTest, FormFieldsAndCookies_areDecoded_asBrowsersSendThem) {
    start();
    struct Case {
        std::string body, cookie, expected;
    };
    const Case cases[] = {
        {"a=x%41+y&b=2", "c=1", "xA y|1"},
        {"b=1&a=first&a=second", "d=2; c=3", "first|3"},
        {"a=%4&b=%zz", "c=\"q\"", "%4|\"q\""}, // cut-off escapes and quotes stay as they are
        {"a", "x=\"y; c=5", "|5"},             // an unbalanced quote in another cookie hides nothing
        {"b=1", "c", "|"},
    };
    for (const Case& c : cases) {
        auto res = client->Post("/fields", {{"Cookie", c.cookie}}, c.body, "application/x-www-form-urlencoded");
        ASSERT_TRUE(res) << c.body;
        EXPECT_EQ(res->body, c.expected) << c.body << " / " << c.cookie;
    }
    // Read as a form whatever the content type says.
    auto res = client->Post("/fields", {{"Cookie", "c=1"}}, "a=1", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "1|1");
}

// Writes waiting for the disk wait on workers of their own, all at once, even with one thread
// serving connections: so they can share one sync of the store.
TEST_F(HttpServerTest, WritesWaitingForTheDisk_waitTogether_andHoldNoServingThread) {
    constexpr int kWrites = 8;
    g_writes.awaited = kWrites;
    start({.threads = 1});
    std::vector<std::string> answers(kWrites);
    std::vector<std::thread> clients;
    for (int i = 0; i < kWrites; ++i) {
        clients.emplace_back([&, i] {
            httplib::Client own("127.0.0.1", service->port());
            const auto res = own.Post("/write", "", "text/xml");
            answers[i] = res ? res->body : "no answer";
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(answers, std::vector<std::string>(kWrites, "together"));
    // Meanwhile and after, the serving thread answers the rest.
    const auto res = client->Post("/echo", "<x/>", "text/xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "<x/>");
}

class HttpsServerTest : public HttpServerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_certificate.made()) << "the openssl command could not make a certificate";
        start(m_certificate.options());
    }

    TestCertificate m_certificate;
};

TEST_F(HttpsServerTest, OnlyTls12WithForwardSecretAeadSuitesAndTls13_areAccepted_andAnswersCarryHsts) {
    const std::pair<const char*, bool> cases[] = {
        {"NORMAL:-VERS-ALL:+VERS-TLS1.3", true},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-KX-ALL:+ECDHE-RSA:-CIPHER-ALL:+AES-128-GCM", true},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-KX-ALL:+ECDHE-RSA:-CIPHER-ALL:+CHACHA20-POLY1305", true},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.1", false},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.0", false},
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-KX-ALL:+RSA", false}, // no forward secrecy
        {"NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-CBC:+AES-256-CBC:-MAC-ALL:+SHA1:+SHA256", false},
    };
    for (const auto& [priority, accepted] : cases) {
        const auto answer = lstest::TlsExchange(service->port(), priority,
                                                "GET /page HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        ASSERT_EQ(answer.has_value(), accepted) << priority;
        if (answer) {
            EXPECT_TRUE(answer->starts_with("HTTP/1.1 200 OK\r\n")) << priority;
            EXPECT_NE(answer->find("\r\nStrict-Transport-Security: max-age=31536000\r\n"), std::string::npos);
        }
    }
    // Answers of the transport's own carry it too.
    const auto missing =
        lstest::TlsExchange(service->port(), "NORMAL", "GET /none HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(missing);
    EXPECT_TRUE(missing->starts_with("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_NE(missing->find("\r\nStrict-Transport-Security: max-age=31536000\r\n"), std::string::npos);
}

TEST(HttpServerPoolTest, WaitingRequests_areBoundedPerAddress_andAQuietAddressIsServedFirst) {
    std::mutex mutex;
    std::vector<std::string> served; // the client address of each pool request, in the order run
    RouteTable routes;
    routes.add({.path = "/hash",
                .methods = Method::Post,
                .handler =
                    [&](const Request& r) {
                        {
                            std::lock_guard lock(mutex);
                            served.push_back(r.clientAddress());
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(600));
                        return Answer{200, "done"};
                    },
                .onPool = true,
                .whenBusy =
                    [](const Request&) {
                        return Answer{200, "busy"};
                    }});
    HttpServer service({.poolWorkers = 1, .poolWaitingPerAddress = 2}, std::move(routes));
    service.listen();
    service.serve();
    const std::string request = "POST /hash HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    // One running and two waiting from the busy address; its fourth is refused at once.
    std::vector<std::thread> clients;
    std::vector<std::string> answers(5);
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back(
            [&, i] { answers[i] = lstest::RawExchange(service.port(), request, 3000, "127.0.0.2").received; });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    clients.emplace_back(
        [&] { answers[4] = lstest::RawExchange(service.port(), request, 3000, "127.0.0.3").received; });
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(served, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.2", "127.0.0.2"}));
    EXPECT_TRUE(answers[3].ends_with("\r\n\r\nbusy")) << answers[3];
    for (int i : {0, 1, 2, 4}) {
        EXPECT_TRUE(answers[i].ends_with("\r\n\r\ndone")) << i << answers[i];
    }
}

TEST_F(HttpServerTest, Stop_freesThePort_andABusyPortIsRefused) {
    start();
    const HttpOptions samePort{.port = service->port()};
    HttpServer second(samePort, Routes());
    EXPECT_THROW(second.listen(), std::runtime_error);

    service->stop();
    EXPECT_FALSE(service->running());
    service->stop();
    EXPECT_FALSE(client->Get("/page"));

    HttpServer third(samePort, Routes());
    third.listen();
    third.serve();
    auto page = httplib::Client("127.0.0.1", samePort.port).Get("/page");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

// Behind a load balancer (--trusted-proxy), a request counts as from the client the balancer's
// X-Forwarded-For names: the last address of the last such header, the one the balancer appended.
// From any other address, or without a usable header, the connection's own address stands.
TEST(HttpServerProxyTest, ClientAddress_isTheForwardedOne_onlyOnTheTrustedProxysConnections) {
    const struct {
        const char* trusted;
        const char* source;
        const char* headers;
        const char* expected;
    } cases[] = {
        {"127.0.0.2", "127.0.0.2", "X-Forwarded-For: 203.0.113.9\r\n", "203.0.113.9"},
        {"127.0.0.2", "127.0.0.2", "X-Forwarded-For: 6.6.6.6, 203.0.113.9\r\n", "203.0.113.9"},
        {"127.0.0.2", "127.0.0.2", "X-Forwarded-For: 203.0.113.9\r\nx-forwarded-for: 2001:db8::1\r\n", "2001:db8::1"},
        {"127.0.0.2", "127.0.0.2", "X-Forwarded-For: not-an-address\r\n", "127.0.0.2"},
        {"127.0.0.2", "127.0.0.2", "", "127.0.0.2"},
        {"127.0.0.2", "127.0.0.3", "X-Forwarded-For: 203.0.113.9\r\n", "127.0.0.3"},
        {"", "127.0.0.2", "X-Forwarded-For: 203.0.113.9\r\n", "127.0.0.2"},
    };
    for (const auto& c : cases) {
        RouteTable routes;
        routes.add({"/who", Method::Get, [](const Request& r) { return Answer{200, r.clientAddress()}; }});
        HttpServer service({.trustedProxy = c.trusted}, std::move(routes));
        service.listen();
        service.serve();
        const std::string request =
            std::string("GET /who HTTP/1.1\r\nHost: x\r\nConnection: close\r\n") + c.headers + "\r\n";
        const std::string answer = lstest::RawExchange(service.port(), request, 1500, c.source).received;
        EXPECT_TRUE(answer.ends_with(std::string("\r\n\r\n") + c.expected)) << c.headers << answer;
    }
}

} // namespace

// The transport through a real socket: a small route table on a free port, an httplib client.

#include "server/http/HttpServer.h"

#include "support/WireProbes.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace server::http;

namespace {

// A raw TCP connection to the service, for clients that misbehave.
class RawConnection {
public:
    explicit RawConnection(int port, const char* source = "127.0.0.1") : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source, &local.sin_addr);
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
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

// Requests in the "/write" handler at once, and how many of them it waits for.
struct Writes {
    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int awaited = 0;
};
Writes g_writes;

// "/echo" (POST) answers the body; "/page" (GET, HEAD) a page; "/fail" throws; "/fields" answers
// form field "a" and cookie "c"; "/slow" (POST) takes a while on the pool; "/write" (POST) waits,
// as a write waits for the disk, until g_writes.awaited requests are inside it at once. (The pool
// at stop is tested with the login route, in tests/server/app.)
RouteTable Routes() {
    RouteTable table;
    table.add({.path = "/write",
               .methods = Method::Post,
               .handler =
                   [](const Request&) {
                       std::unique_lock lock(g_writes.mutex);
                       ++g_writes.inside;
                       g_writes.changed.notify_all();
                       const bool together = g_writes.changed.wait_for(
                           lock, std::chrono::seconds(5), [] { return g_writes.inside >= g_writes.awaited; });
                       return Answer{200, together ? "together" : "alone"};
                   },
               .waitsForDisk = Method::Post});
    table.add({"/echo", Method::Post, [](const Request& r) { return Answer{200, r.body(), kXml}; }});
    table.add({"/page", Method::Get | Method::Head, [](const Request&) { return Answer{200, "page", kHtml}; }});
    table.add({"/fail", Method::Get, [](const Request&) -> Answer { throw std::runtime_error("broken"); }});
    table.add({"/fields", Method::Post, [](const Request& r) {
                   return Answer{200, r.formField("a") + "|" + r.cookie("c")};
               }});
    table.add({.path = "/slow",
               .methods = Method::Post,
               .handler =
                   [](const Request&) {
                       std::this_thread::sleep_for(std::chrono::milliseconds(100));
                       return Answer{200, "done"};
                   },
               .onPool = true});
    return table;
}

class HttpServerTest : public ::testing::Test {
protected:
    void start(HttpOptions options = {}) {
        options.errors = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            errors.push_back(line);
        };
        service = std::make_unique<HttpServer>(options, Routes());
        service->listen();
        service->serve();
        client = std::make_unique<httplib::Client>("127.0.0.1", service->port());
    }

    std::mutex mutex;
    std::vector<std::string> errors;
    std::unique_ptr<HttpServer> service;
    std::unique_ptr<httplib::Client> client;
};

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

TEST_F(HttpServerTest, HostileHeads_areRefused_andTheServiceCarriesOn) {
    start();
    // 10,000 header lines do not fit the memory a connection may use.
    RawConnection many(service->port());
    ASSERT_TRUE(many.connected());
    std::string head = "POST /echo HTTP/1.1\r\nHost: x\r\n";
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
                                  std::string("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n")}) {
        RawConnection connection(service->port());
        connection.send(bad);
        const std::string text = connection.receiveAll();
        EXPECT_TRUE(text.empty() || text.starts_with("HTTP/1.1 4") || text.starts_with("HTTP/1.1 505"))
            << bad << " -> " << text.substr(0, 80);
    }

    auto res = client->Post("/echo", "still here", "text/xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "still here");
}

TEST_F(HttpServerTest, TricklingConnections_doNotStarveThePool_andAreClosedWhenTheirHeadIsLate) {
    // From one address, as many as the limit per address lets in.
    start({.maxConnectionsPerAddress = 100, .headSeconds = 2});
    // 64 connections that have sent part of a request head, one byte at a time.
    const std::string head = "POST /slow HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<RawConnection>(service->port()));
        ASSERT_TRUE(slow.back()->connected()) << i;
    }
    for (std::size_t byte = 0; byte < 8; ++byte) {
        for (auto& connection : slow) {
            connection->send(head.substr(byte, 1));
        }
    }
    auto res = client->Post("/slow", "", "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->body, "done");

    // Trickling on, a byte every 100 ms, the first connection is closed once its head is late,
    // long before the head is complete.
    RawConnection trickler(service->port());
    bool closed = false;
    for (std::size_t byte = 0; byte < 200 && !closed; ++byte) {
        closed = !trickler.send(std::string(1, 'X')); // sends fail soon after the service has shut it
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(closed || trickler.closedByService());

    // Stopping does not wait for the slow connections.
    service->stop();
    EXPECT_FALSE(service->running());
    for (auto& connection : slow) {
        EXPECT_TRUE(connection->closedByService());
    }
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

TEST_F(HttpServerTest, FramingThatCouldSmuggleARequest_isRefusedOrEndsTheConnection) {
    start();
    struct Case {
        std::string request;
        std::vector<std::string> statusLines;
        bool closed;
    };
    const std::string hidden = "GET /page HTTP/1.1\r\nHost: x\r\n\r\n";
    const Case cases[] = {
        // Read as chunked, the body ends at once and the rest would be a second request: the
        // connection ends after the first answer instead.
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 40\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + hidden,
         {"HTTP/1.1 200 OK"},
         true},
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\nhello" + hidden,
         {"HTTP/1.1 400 Bad Request"},
         true},
        // A length that is not plain digits: one clean refusal, not the library's status line twice.
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n" + hidden, {"HTTP/1.1 400 Bad Request"}, true},
        {"POST /echo HTTP/1.1\r\nHost: x\r\ncontent-length: +5\r\n\r\nhello" + hidden,
         {"HTTP/1.1 400 Bad Request"},
         true},
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 0x5\r\n\r\nhello" + hidden,
         {"HTTP/1.1 400 Bad Request"},
         true},
        // The same length twice is no doubt; nor is either header alone.
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nA" + hidden,
         {"HTTP/1.1 200 OK", "HTTP/1.1 200 OK"},
         false},
        {"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nA\r\n0\r\n\r\n" + hidden,
         {"HTTP/1.1 200 OK", "HTTP/1.1 200 OK"},
         false},
    };
    for (const Case& c : cases) {
        const lstest::RawResult result = lstest::RawExchange(service->port(), c.request, 500);
        EXPECT_EQ(lstest::StatusLines(result.received), c.statusLines) << c.request;
        EXPECT_EQ(result.closedByService, c.closed) << c.request;
    }
}

// A self-signed certificate for 127.0.0.1, made with the openssl command.
class HttpsServerTest : public HttpServerTest {
protected:
    void SetUp() override {
        const std::string dir = m_dir.string();
        std::filesystem::create_directories(m_dir);
        const std::string script = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + dir + "/key.pem' -out '" +
                                   dir + "/cert.pem' -days 2 -subj /CN=127.0.0.1 >/dev/null 2>&1";
        ASSERT_EQ(std::system(script.c_str()), 0) << "the openssl command could not make a certificate";
        start({.tlsCertFile = dir + "/cert.pem", .tlsKeyFile = dir + "/key.pem"});
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::filesystem::path m_dir =
        std::filesystem::temp_directory_path() / ("vantro-http-tls-" + std::to_string(::getpid()));
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

// True once the service has closed the connection, sending `bytes` one at a time every 100 ms
// meanwhile; false if it is still open after all of them.
bool ClosedWhileTrickling(RawConnection& connection, const std::string& bytes) {
    for (const char byte : bytes) {
        if (!connection.send(std::string(1, byte))) {
            return true; // sends fail soon after the service has shut it
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return connection.closedByService();
}

TEST_F(HttpServerTest, SlowRequests_areCut_bodyByItsRate_requestByItsDeadline_secondHeadToo) {
    struct Case {
        const char* what;
        HttpOptions options;
        std::string sentAtOnce, trickled;
    };
    const std::string bodyHead = "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 200\r\n\r\n";
    const Case cases[] = {
        // A byte every 100 ms is far below 1 KiB a second: cut long before the 30 s deadline.
        {"slow body", {.headSeconds = 30}, bodyHead, std::string(150, 'b')},
        // Fast enough for the rate asked here, but the whole request is late.
        {"late body", {.headSeconds = 2, .minBodyBytesPerSecond = 1}, bodyHead, std::string(150, 'b')},
        // On a kept-alive connection, the deadline starts again for the next head.
        {"second head",
         {.headSeconds = 2},
         "GET /page HTTP/1.1\r\nHost: x\r\n\r\n",
         "GET /page HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(100, 's')},
    };
    for (const Case& c : cases) {
        start(c.options);
        RawConnection connection(service->port());
        ASSERT_TRUE(connection.send(c.sentAtOnce)) << c.what;
        EXPECT_TRUE(ClosedWhileTrickling(connection, c.trickled)) << c.what;
        service->stop();
    }
}

TEST_F(HttpServerTest, IdleConnections_makeWayForNewcomers_andOneAddressCannotTakeThemAll) {
    // A budget of 16 (24 less the room kept for connections being closed), 8 per address.
    start({.maxConnections = 24, .maxConnectionsPerAddress = 8});
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (const char* address : {"127.0.0.2", "127.0.0.3"}) {
        for (int i = 0; i < 8; ++i) {
            idle.push_back(std::make_unique<RawConnection>(service->port(), address));
            idle.back()->send("G"); // and no more
        }
    }
    RawConnection ninth(service->port(), "127.0.0.2");
    ninth.send("G");
    EXPECT_TRUE(ninth.closedByService());

    auto res = client->Post("/echo", "newcomer", "text/xml");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->body, "newcomer");
    // The one that waited longest made way.
    EXPECT_TRUE(idle.front()->closedByService());
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

} // namespace

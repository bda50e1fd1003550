// The transport through a real socket: a small route table on a free port, an httplib client.

#include "server/http/HttpServer.h"

#include <chrono>
#include <condition_variable>
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
    start({.headSeconds = 2});
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

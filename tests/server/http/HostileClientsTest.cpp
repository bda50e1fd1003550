// The transport against clients that misbehave: hostile heads, trickling and slow requests,
// smuggling framing, and floods of idle connections.

#include "HttpFixture.h"

using namespace http_test;

namespace {

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

TEST_F(HttpServerTest, FramingThatCouldSmuggleARequest_isRefusedOrEndsTheConnection) {
    start();
    const TestCertificate certificate;
    ASSERT_TRUE(certificate.made()) << "the openssl command could not make a certificate";
    HttpServer https(certificate.options(), Routes());
    https.listen();
    https.serve();
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
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5 \r\n\r\nhello" + hidden,
         {"HTTP/1.1 400 Bad Request"},
         true},
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999\r\n\r\nhello" + hidden,
         {"HTTP/1.1 413 Content Too Large"},
         true},
        // The same length twice is no doubt; nor is either header alone.
        {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nA" + hidden,
         {"HTTP/1.1 200 OK", "HTTP/1.1 200 OK"},
         false},
        {"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nA\r\n0\r\n\r\n" + hidden,
         {"HTTP/1.1 200 OK", "HTTP/1.1 200 OK"},
         false},
    };
    // Each as a connection's first request and as its second, after one answered, over HTTP and
    // HTTPS: all but a plain first one are read by the library alone.
    const std::string answered = "GET /page HTTP/1.1\r\nHost: x\r\n\r\n";
    for (const Case& c : cases) {
        for (const bool tls : {false, true}) {
            for (const bool second : {false, true}) {
                const std::string bytes = (second ? answered : std::string()) + c.request;
                const std::optional<lstest::RawResult> result =
                    tls ? lstest::TlsRawExchange(https.port(), "NORMAL", bytes, 500)
                        : lstest::RawExchange(service->port(), bytes, 500);
                ASSERT_TRUE(result);
                std::vector<std::string> expected = c.statusLines;
                if (second) {
                    expected.insert(expected.begin(), "HTTP/1.1 200 OK");
                }
                const std::string where = std::string(tls ? "HTTPS" : "HTTP") + (second ? ", second: " : ", first: ");
                EXPECT_EQ(lstest::StatusLines(result->received), expected) << where << c.request;
                EXPECT_EQ(result->closedByService, c.closed) << where << c.request;
                if (tls) {
                    std::size_t hsts = 0;
                    for (auto at = result->received.find("\r\nStrict-Transport-Security: "); at != std::string::npos;
                         at = result->received.find("\r\nStrict-Transport-Security: ", at + 1)) {
                        ++hsts;
                    }
                    EXPECT_EQ(hsts, expected.size()) << where << c.request;
                }
            }
        }
    }
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

} // namespace

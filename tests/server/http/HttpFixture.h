#pragma once

// What the transport's tests share: a small route table on a free port, an httplib client, and a
// raw connection for clients that misbehave.

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

namespace http_test {

using namespace server::http;

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
inline Writes g_writes;

// "/echo" (POST) answers the body; "/page" (GET, HEAD) a page; "/fail" throws; "/fields" answers
// form field "a" and cookie "c"; "/slow" (POST) takes a while on the pool; "/write" (POST) waits,
// as a write waits for the disk, until g_writes.awaited requests are inside it at once. (The pool
// at stop is tested with the login route, in tests/server/app.)
inline RouteTable Routes() {
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

// A self-signed certificate for 127.0.0.1 and its key, made with the openssl command in a folder
// that goes with the object.
class TestCertificate {
public:
    TestCertificate() {
        static int made = 0;
        m_dir = std::filesystem::temp_directory_path() /
                ("vantro-http-tls-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
        std::filesystem::create_directories(m_dir);
        const std::string dir = m_dir.string();
        const std::string script = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + dir + "/key.pem' -out '" +
                                   dir + "/cert.pem' -days 2 -subj /CN=127.0.0.1 >/dev/null 2>&1";
        m_made = std::system(script.c_str()) == 0;
    }
    ~TestCertificate() { std::filesystem::remove_all(m_dir); }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    bool made() const { return m_made; }
    HttpOptions options() const {
        return {.tlsCertFile = (m_dir / "cert.pem").string(), .tlsKeyFile = (m_dir / "key.pem").string()};
    }

private:
    std::filesystem::path m_dir;
    bool m_made = false;
};

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

} // namespace http_test

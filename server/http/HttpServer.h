#pragma once

// The HTTP(S) transport: libmicrohttpd on a socket of our own, answering a route table. It knows
// nothing of what the routes do.

#include "server/http/ListeningSocket.h"
#include "server/http/RouteTable.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct MHD_Daemon;

namespace server::http {

class ConnectionGuard;
class LengthRefusals;
class WorkerPool;

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0; // 0: any free port; port() tells which
    // HTTPS: the certificate chain and its private key, PEM files. Both or neither.
    std::string tlsCertFile{};
    std::string tlsKeyFile{};
    unsigned threads = 0; // 0: the number of cores, at least 2
    // Near the limit, each new connection ends the one that has waited longest for its request.
    unsigned maxConnections = 512;
    // So that a few addresses cannot take all connections.
    unsigned maxConnectionsPerAddress = 32;
    unsigned listenBacklog = 1024;
    unsigned idleSeconds = 10;
    // The whole request, head and body, must arrive within this time of the connection's start or
    // of the previous answer; a body must also keep up minBodyBytesPerSecond after 2 s.
    unsigned headSeconds = 10;
    std::size_t minBodyBytesPerSecond = 1024;
    std::size_t connectionMemory = std::size_t{32} * 1024;
    // Larger request bodies are refused with 413.
    std::size_t maxBodyBytes = std::size_t{64} * 1024;
    unsigned poolWorkers = 0; // 0: the number of cores, at least 1
    // Requests waiting for a pool worker, from one address and in all; more get the route's
    // whenBusy answer at once.
    std::size_t poolWaitingPerAddress = 4;
    std::size_t poolWaitingInAll = 64;
    // Writes waiting for the store's disk sync at once (Route::waitsForDisk): as many share one
    // sync. They use no core while they wait.
    unsigned writeWorkers = 32;
    // The address of a load balancer in front of the service (packaging/haproxy.cfg): a request on
    // a connection from it counts as from the client its X-Forwarded-For header names (login
    // pauses, code limits, waiting requests); its connections still count as its own. Empty: none.
    std::string trustedProxy{};
    // Receives "ERROR <method> <path>: <reason>" for each request whose handler threw.
    std::function<void(const std::string&)> errors{};
};

class HttpServer {
public:
    HttpServer(HttpOptions options, RouteTable routes);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Reads the certificate and binds, so that port() and baseUrl() are known; serves nothing
    // yet. Throws std::runtime_error when either fails.
    void listen();
    // Starts serving on the bound socket. Throws std::runtime_error when the library refuses.
    void serve();
    // No new connections, open ones closed, answers in progress finished. Safe to call again.
    void stop();

    bool running() const noexcept { return m_daemon != nullptr; }
    int port() const noexcept { return m_port; }
    // "http://host:port" or "https://host:port", an IPv6 host in brackets.
    std::string baseUrl() const;

    // Internal, for the library's callbacks.
    struct Callbacks;

private:
    // The connection guard, the pool of slow answers and the pool of writes waiting for the disk.
    void makeGuardAndPools();
    // The text of the 413 for a request larger than the limit.
    std::string tooLargeText() const;
    bool tls() const { return !m_options.tlsCertFile.empty() || !m_options.tlsKeyFile.empty(); }

    HttpOptions m_options;
    RouteTable m_routes;
    std::optional<ListeningSocket> m_socket;
    std::unique_ptr<ConnectionGuard> m_guard;
    std::unique_ptr<LengthRefusals> m_lengths;
    std::unique_ptr<WorkerPool> m_pool;
    std::unique_ptr<WorkerPool> m_writers;
    MHD_Daemon* m_daemon = nullptr;
    std::string m_tlsCert;
    std::string m_tlsKey;
    int m_port = 0;
};

} // namespace server::http

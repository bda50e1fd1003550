#include "server/http/HttpServer.h"

#include "server/http/ConnectionGuard.h"
#include "server/http/Framing.h"
#include "server/http/LengthRefusals.h"
#include "server/http/WorkerPool.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace server::http {

namespace {

// TLS 1.3, and TLS 1.2 only with suites that keep past sessions secret if the key leaks (ECDHE key
// exchange) and authenticate every record (AEAD ciphers). No TLS 1.0 or 1.1, no RSA key
// exchange, no CBC.
constexpr const char* kTlsPriorities =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:+CHACHA20-POLY1305:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-RSA:+ECDHE-ECDSA";

// Browsers that have once reached the service over HTTPS never try plain HTTP for it for a year.
constexpr const char* kStrictTransport = "max-age=31536000";

// One request being read: its body so far, and a pool route's answer once its worker has made it.
struct RequestState {
    std::string body;
    bool tooLarge = false;
    WorkerPool* setAsideOn = nullptr; // the pool making the answer while the connection waits aside
    // The head leaves its framing in doubt (Content-Length with Transfer-Encoding): the connection
    // closes after the answer, so that nothing the client sent after it is read as a request.
    bool closeAfter = false;
    Answer pooled{};
};

MHD_Result Send(MHD_Connection* connection, const Answer& answer, bool https, bool close = false) {
    MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
    for (const auto& [name, value] : answer.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    if (https) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_STRICT_TRANSPORT_SECURITY, kStrictTransport);
    }
    if (close) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

std::string ReadFile(const std::string& path, const char* what) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error(std::string("cannot read the ") + what + " " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return std::move(text).str();
}

} // namespace

struct HttpServer::Callbacks {
    // The handler's answer; an exception is reported and answered with 500.
    static Answer run(HttpServer& server, const Handler& handler, const Request& request, std::string_view method) {
        try {
            if (!handler) {
                return PlainError(MHD_HTTP_SERVICE_UNAVAILABLE, "503 Service Unavailable");
            }
            return handler(request);
        } catch (const std::exception& e) {
            if (server.m_options.errors) {
                server.m_options.errors("ERROR " + std::string(method) + " " + std::string(request.path()) + ": " +
                                        e.what());
            }
            return PlainError(MHD_HTTP_INTERNAL_SERVER_ERROR, "500 Internal Server Error");
        }
    }

    static Answer answer(HttpServer& server, const Route* route, const Request& request, std::string_view method,
                         bool tooLarge) {
        if (route == nullptr) {
            return PlainError(MHD_HTTP_NOT_FOUND, "404 Not Found");
        }
        if (!Allows(route->methods, request.method())) {
            const std::string allowed = AllowHeader(route->methods);
            Answer refused = PlainError(MHD_HTTP_METHOD_NOT_ALLOWED, "405 Method Not Allowed. Use " + allowed + ".");
            refused.headers.emplace_back(MHD_HTTP_HEADER_ALLOW, allowed);
            return refused;
        }
        if (tooLarge) {
            return PlainError(MHD_HTTP_CONTENT_TOO_LARGE, server.tooLargeText());
        }
        return run(server, route->handler, request, method);
    }

    // The connection is set aside until a worker of `pool` has made the answer.
    static MHD_Result toPool(HttpServer& server, WorkerPool& pool, MHD_Connection* connection, const Route& route,
                             RequestState& state, std::string_view method, std::string_view path) {
        const std::string address =
            Request(connection, MethodOf(method), path, state.body, server.m_options.trustedProxy).clientAddress();
        state.setAsideOn = &pool;
        MHD_suspend_connection(connection);
        // A write waiting for the disk is made and answered even while the service stops.
        const bool write = &pool == server.m_writers.get();
        const bool taken = pool.post(address, [&server, connection, &route, &state, write, method = std::string(method),
                                               path = std::string(path)](bool stopping) {
            const Request request(connection, MethodOf(method), path, state.body);
            state.pooled = run(server, stopping && !write ? route.whenStopping : route.handler, request, method);
            MHD_resume_connection(connection);
        });
        if (!taken) {
            MHD_resume_connection(connection);
            state.setAsideOn = nullptr;
            const Request request(connection, MethodOf(method), path, state.body);
            return Send(connection, run(server, route.whenBusy, request, method), server.tls(), state.closeAfter);
        }
        return MHD_YES;
    }

    static MHD_Result onHead(HttpServer& server, MHD_Connection* connection, void** context) {
        // The head is complete.
        server.m_guard->headArrived(connection);
        auto* state = new RequestState;
        *context = state;
        // Framing that two readers of the same bytes could take differently is how a request is
        // smuggled past a proxy: two different lengths are refused before the body is read, and
        // a length beside Transfer-Encoding ends the connection after the answer.
        const Framing framing = ReadFraming(connection);
        if (std::adjacent_find(framing.lengths.begin(), framing.lengths.end(), std::not_equal_to<>()) !=
            framing.lengths.end()) {
            server.m_guard->requestRead(connection);
            return Send(connection, PlainError(MHD_HTTP_BAD_REQUEST, "400 Bad Request: two different Content-Length"),
                        server.tls(), true);
        }
        state->closeAfter = framing.transferEncoding && !framing.lengths.empty();
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length != nullptr && std::strtoull(length, nullptr, 10) > server.m_options.maxBodyBytes) {
            state->tooLarge = true; // answered once the body has been passed over
        }
        return MHD_YES;
    }

    static void onBody(HttpServer& server, RequestState& state, const char* data, std::size_t size) {
        if (state.tooLarge) {
            return;
        }
        if (state.body.size() + size > server.m_options.maxBodyBytes) {
            state.tooLarge = true;
            state.body.clear();
        } else {
            state.body.append(data, size);
        }
    }

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                const char* /*version*/, const char* uploadData, size_t* uploadSize, void** context) {
        auto& server = *static_cast<HttpServer*>(cls);
        auto* state = static_cast<RequestState*>(*context);
        if (state == nullptr) {
            return onHead(server, connection, context);
        }
        if (*uploadSize != 0) {
            server.m_guard->bodyReceived(connection, *uploadSize);
            onBody(server, *state, uploadData, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (state->setAsideOn != nullptr) {
            // Back from a worker pool.
            state->setAsideOn->finished();
            state->setAsideOn = nullptr;
            return Send(connection, state->pooled, server.tls(), state->closeAfter);
        }
        server.m_guard->requestRead(connection);
        const std::string_view path = url != nullptr ? url : "";
        const Route* route = server.m_routes.find(path);
        const Method verb = MethodOf(method);
        if (route != nullptr && Allows(route->methods, verb) && !state->tooLarge) {
            if (route->onPool) {
                return toPool(server, *server.m_pool, connection, *route, *state, method, path);
            }
            if (Allows(route->waitsForDisk, verb)) {
                return toPool(server, *server.m_writers, connection, *route, *state, method, path);
            }
        }
        return Send(connection,
                    answer(server, route, Request(connection, verb, path, state->body, server.m_options.trustedProxy),
                           method, state->tooLarge),
                    server.tls(), state->closeAfter);
    }

    static void onCompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        auto& server = *static_cast<HttpServer*>(cls);
        auto* state = static_cast<RequestState*>(*context);
        if (state != nullptr && state->setAsideOn != nullptr) {
            state->setAsideOn->finished(); // closed while set aside
        }
        delete state;
        *context = nullptr;
        server.m_guard->answered(connection);
    }

    static void onConnection(void* cls, MHD_Connection* connection, void** /*socketContext*/,
                             MHD_ConnectionNotificationCode code) {
        auto& server = *static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr) {
                // Answers go out at once instead of waiting for the client's acknowledgement.
                int yes = 1;
                setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                server.m_guard->opened(connection, info->connect_fd);
                server.m_lengths->opened(connection, info->connect_fd);
                if (!server.tls()) {
                    RefuseMalformedLength(info->connect_fd);
                }
            }
        } else {
            server.m_lengths->closed(connection);
            server.m_guard->closed(connection);
        }
    }
};

HttpServer::HttpServer(HttpOptions options, RouteTable routes)
    : m_options(std::move(options)), m_routes(std::move(routes)) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::listen() {
    if (tls()) {
        if (m_options.tlsCertFile.empty() || m_options.tlsKeyFile.empty()) {
            throw std::runtime_error("HTTPS needs both a certificate and a key file");
        }
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            throw std::runtime_error("this build of libmicrohttpd cannot serve HTTPS");
        }
        m_tlsCert = ReadFile(m_options.tlsCertFile, "certificate");
        m_tlsKey = ReadFile(m_options.tlsKeyFile, "private key");
    }
    m_socket.emplace(m_options.host, m_options.port, m_options.listenBacklog);
    m_port = m_socket->port();
}

void HttpServer::makeGuardAndPools() {
    const unsigned workers =
        m_options.poolWorkers != 0 ? m_options.poolWorkers : std::max(1U, std::thread::hardware_concurrency());
    // Room kept above the budget for connections already ended but not yet closed by the library,
    // so that it never refuses a newcomer itself.
    const std::size_t headroom = std::max<std::size_t>(8, m_options.maxConnections / 8);
    m_guard = std::make_unique<ConnectionGuard>(GuardLimits{
        .request = std::chrono::seconds(m_options.headSeconds),
        .minBodyBytesPerSecond = m_options.minBodyBytesPerSecond,
        .budget = m_options.maxConnections > headroom ? m_options.maxConnections - headroom : 1,
    });
    m_pool = std::make_unique<WorkerPool>(workers, m_options.poolWaitingPerAddress, m_options.poolWaitingInAll);
    // Writes take a moment each: their waiting is bounded by the connections alone.
    m_lengths = std::make_unique<LengthRefusals>(
        tls() ? std::string(MHD_HTTP_HEADER_STRICT_TRANSPORT_SECURITY) + ": " + kStrictTransport + "\r\n" : "",
        tooLargeText());
    m_writers = std::make_unique<WorkerPool>(std::max(1U, m_options.writeWorkers), m_options.maxConnectionsPerAddress,
                                             m_options.maxConnections);
}

void HttpServer::serve() {
    if (!m_socket) {
        throw std::logic_error("HttpServer::serve: listen() first");
    }
    unsigned threads = m_options.threads;
    if (threads == 0) {
        // Each thread runs an event loop of its own, so a slow client holds no thread, and slow
        // answers are made on the pool. More threads than cores would only take turns at the
        // store's one write lock.
        threads = std::max(2U, std::thread::hardware_concurrency());
    }
    makeGuardAndPools();

    // The error log is on only for what LengthRefusals reads in it.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (m_socket->ipv6()) {
        flags |= MHD_USE_IPv6;
    }
    if (tls()) {
        flags |= MHD_USE_TLS;
    }
    const int listening = m_socket->release();
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LengthRefusals::libraryLog), m_lengths.get()},
        {MHD_OPTION_LISTEN_SOCKET, listening, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, threads, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, m_options.maxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_options.maxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, m_options.idleSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(m_options.connectionMemory), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Callbacks::onCompleted), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Callbacks::onConnection), this},
    };
    if (tls()) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, m_tlsCert.data()});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, m_tlsKey.data()});
        items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});

    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Callbacks::onRequest, this, MHD_OPTION_ARRAY, items.data(),
                                MHD_OPTION_END);
    if (m_daemon == nullptr) {
        close(listening);
        m_pool.reset();
        m_writers.reset();
        m_guard.reset();
        m_lengths.reset();
        throw std::runtime_error("cannot serve on " + baseUrl() +
                                 (tls() ? " (are the certificate and the key PEM files that belong together?)" : ""));
    }
}

void HttpServer::stop() {
    if (m_daemon == nullptr) {
        return;
    }
    // Stop accepting first, then close what is open; the library waits for answers in progress.
    // The listening socket is closed only once the library's threads have ended: they take it out
    // of their event loops on their own time after the quiesce.
    const MHD_socket listening = MHD_quiesce_daemon(m_daemon);
    m_pool->stop();
    m_writers->stop();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    if (listening != MHD_INVALID_SOCKET) {
        close(listening);
    }
    m_pool.reset();
    m_writers.reset();
    m_guard.reset();
    m_lengths.reset();
}

std::string HttpServer::tooLargeText() const {
    // In KiB only when that is exact: a limit under 1 KiB would otherwise read "0 KiB".
    const std::size_t limit = m_options.maxBodyBytes;
    const std::string size = limit % 1024 == 0 && limit != 0
                                 ? std::to_string(limit / 1024) + " KiB"
                                 : std::to_string(limit) + (limit == 1 ? " byte" : " bytes");
    return "413 Payload Too Large: requests may have at most " + size;
}

std::string HttpServer::baseUrl() const {
    std::string host = m_options.host;
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]"; // IPv6
    }
    const bool https = !m_options.tlsCertFile.empty();
    return (https ? "https://" : "http://") + host + ":" + std::to_string(m_port);
}

} // namespace server::http

#pragma once

#include "server/app/Defaults.h"
#include "server/delivery/DeliveryWorker.h"
#include "server/delivery/GatewayTable.h"
#include "server/delivery/MailSender.h"
#include "server/delivery/SmsGateway.h"
#include "server/exchanges/Exchanges.h"
#include "server/exchanges/LoginThrottle.h"
#include "server/http/HttpServer.h"
#include "server/store/DemoData.h"
#include "server/store/Store.h"
#include "server/store/TextSweeper.h"
#include "server/web/AccountPages.h"
#include "server/web/MessagesRoute.h"
#include "server/web/Verification.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace server {

namespace http {
class HttpServer;
class RouteTable;
struct HttpOptions;
} // namespace http

struct ServerOptions {
    std::string host = std::string(kDefaultHost);
    int port = kDefaultPort; // 0: any free port; port() tells which
    // The SQLite file (":memory:" gives a private in-memory store), or a libpq connection URI
    // ("postgresql://...") for a PostgreSQL store that several service processes share.
    std::string databasePath = std::string(kDefaultDatabaseFile);
    // Receives one line per accepted message (Protocol.h, ConsoleLine) and one per internal
    // error; empty: silent. Called from the server's threads, one call at a time.
    std::function<void(const std::string&)> console;
    // The address under which clients reach the service, used in answers and pages (the
    // advertisement's link); empty: baseUrl(). Never taken from a request.
    std::string publicUrl{};
    // The send answer's advertisement; by default the way to "My messages" under publicUrl.
    Advertisement ad{};
    StoreSettings store{};
    ThrottleSettings throttle{};
    // The relay that delivers accepted messages as e-mail to the carriers' gateways; without it,
    // delivery is off and messages only go to the outbox.
    std::optional<SmtpSettings> smtp{};
    // The SMS gateway (Kannel's smsbox) that delivers accepted messages and codes as texts; when
    // set it is the only route, and the relay is not used. Its delivery reports come back to
    // publicUrl (or baseUrl()) + "/delivery-report".
    std::optional<SmsGatewaySettings> smsGateway{};
    // The delivery worker's clock, which decides when a retry is due; empty: the system clock.
    // Tests step through the retry pauses with their own, and wakeDelivery().
    DeliveryWorker::Clock deliveryClock{};
    // The carriers and their gateways; null: the built-in table.
    std::shared_ptr<const GatewayTable> gateways{};
    // Texts the account pages' codes in place of the delivery queue (tests). Empty: the codes go
    // through the queue when delivery is on, and to `console` when it is off.
    CodeSender codeSender{};
    VerificationLimits verificationLimits{};
    // The secret the account codes' key is made from (Verification.h), the same for every service
    // process on one store; empty: a random key of this process's own.
    std::string codeKey{};
    // The clock of the codes and their limits; empty: the store's.
    SecondsClock clock{};

    // HTTPS: the certificate chain and its private key, PEM files. Both or neither.
    std::string tlsCertFile{};
    std::string tlsKeyFile{};

    // Threads that serve connections; each serves many at once, so slow clients do not hold
    // one up. 0: the number of cores, at least 2.
    unsigned threads = http::HttpOptions{}.threads;
    // Open connections in all and from one client address. Near the limit in all, each new
    // connection ends the one that has waited longest for its request; beyond the limit per
    // address, new ones are refused at once, so that a few addresses cannot take them all.
    unsigned maxConnections = http::HttpOptions{}.maxConnections;
    unsigned maxConnectionsPerAddress = http::HttpOptions{}.maxConnectionsPerAddress;
    // A load balancer's address, whose requests count as from the client its X-Forwarded-For
    // header names (http::HttpOptions::trustedProxy); empty: none.
    std::string trustedProxy{};
    // Connections the kernel queues before they are accepted, so that a burst is not refused.
    unsigned listenBacklog = http::HttpOptions{}.listenBacklog;
    // A connection that sends nothing for this long is closed.
    unsigned idleSeconds = http::HttpOptions{}.idleSeconds;
    // The whole request, head and body, must arrive within this time after the connection opens
    // or after the previous answer, however slowly the bytes trickle in; a body must also keep up
    // 1 KiB a second after its first 2 s.
    unsigned headSeconds = http::HttpOptions{}.headSeconds;
    // Memory per connection; the request head must fit into it (bounds its size and its number
    // of lines).
    std::size_t connectionMemory = http::HttpOptions{}.connectionMemory;
};

// The service: an HTTP(S) server answering the client's five exchanges and serving its web
// pages, on threads of its own. Typical use, also in the client's end-to-end tests:
//
//     server::Server service({.port = 0, .databasePath = ":memory:"});
//     service.start();
//     ... talk to service.baseUrl() ...
//     service.stop(); // or let the destructor do it
class Server {
public:
    // Opens (or creates) the store; does not listen yet. Throws SqliteError when the store
    // cannot be opened, std::runtime_error when the relay's settings are unusable.
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds to the host and port and starts serving, and delivering when the relay is set.
    // Throws std::runtime_error when the address cannot be bound or the certificate cannot be
    // read. Only once per object.
    void start();
    // Stops serving: no new connections, open ones are closed, requests being answered are
    // finished. Returns within the time of the longest answer (a password hash), whatever the
    // clients do. Safe to call more than once.
    void stop();

    bool running() const;
    // Has the delivery worker look for due messages now.
    void wakeDelivery();
    // The bound port (once started).
    int port() const noexcept;
    // "http://host:port" or "https://host:port"
    std::string baseUrl() const;

    Store& store() noexcept { return m_store; }
    // The exchanges as the server answers them (once started).
    Exchanges& exchanges() noexcept { return *m_exchanges; }

private:
    void toConsole(const std::string& line);
    CodeSender codeDelivery();
    DeliveryWorker::Clock deliveryClock() const;
    http::HttpOptions httpOptions();
    http::RouteTable routes();
    void addExchangeRoutes(http::RouteTable& table);
    void addPageRoutes(http::RouteTable& table);

    ServerOptions m_options;
    Store m_store;
    std::shared_ptr<const GatewayTable> m_gateways;
    std::atomic<bool> m_cancelDelivery{false};
    std::unique_ptr<CurlMailSender> m_sender;
    std::unique_ptr<KannelSmsSender> m_smsSender; // the SMS route, when set
    std::unique_ptr<DeliveryWorker> m_worker;     // null when delivery is off
    Verification m_verification;
    AccountPages m_accounts;
    MessagesRoute m_messages;
    TextSweeper m_sweeper;
    std::unique_ptr<Exchanges> m_exchanges;
    std::mutex m_consoleMutex;
    std::unique_ptr<http::HttpServer> m_http;
    bool m_started = false;
};

} // namespace server

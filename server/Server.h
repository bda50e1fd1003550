#pragma once

#include "AccountPages.h"
#include "DemoData.h"
#include "Store.h"
#include "Verification.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace server {

struct ServerOptions {
    std::string host = std::string(kDefaultHost);
    int port = kDefaultPort; // 0: any free port; port() tells which
    // The SQLite file; ":memory:" gives a private in-memory store.
    std::string databasePath = std::string(kDefaultDatabaseFile);
    // Receives one line per accepted message (Protocol.h, ConsoleLine) and one per internal
    // error; empty: silent. Called from the server's threads, one call at a time.
    std::function<void(const std::string&)> console;
    // Texts the account pages' codes. Empty: delivery is off, and codes go to `console`.
    CodeSender codeSender;
    VerificationLimits verificationLimits;
    // The clock of the codes and their limits; empty: the system's.
    SecondsClock clock;
};

// The service: an HTTP server answering the client's five exchanges and serving its web
// pages, on a thread of its own. Typical use, also in the client's end-to-end tests:
//
//     server::Server service({.port = 0, .databasePath = ":memory:"});
//     service.start();
//     ... talk to service.baseUrl() ...
//     service.stop(); // or let the destructor do it
class Server {
public:
    // Opens (or creates) the store; does not listen yet. Throws SqliteError when the store
    // cannot be opened.
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds to the host and port and starts serving. Throws std::runtime_error when the address
    // cannot be bound. Only once per object.
    void start();
    // Stops serving and waits for the server's thread. Safe to call more than once.
    void stop();

    bool running() const;
    // The bound port (once started).
    int port() const noexcept { return m_port; }
    // "http://host:port"
    std::string baseUrl() const;

    Store& store() noexcept { return m_store; }

private:
    void routes();
    void toConsole(const std::string& line);

    ServerOptions m_options;
    Store m_store;
    Verification m_verification;
    AccountPages m_accounts;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    std::atomic<bool> m_listenEnded{false};
    std::mutex m_consoleMutex;
    int m_port = 0;
    bool m_started = false;
};

} // namespace server

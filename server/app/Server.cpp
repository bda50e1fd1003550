#include "server/app/Server.h"

#include "server/web/Csrf.h"
#include "server/web/Pages.h"
#include "server/exchanges/Exchanges.h"
#include "server/exchanges/RequestReader.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace server {

namespace {

constexpr const char* kXml = "text/xml; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kText = "text/plain; charset=utf-8";

using Clock = std::chrono::steady_clock;

enum class Route { Login, Carriers, AddressBook, Update, Send, Home, Updates, LoginPage, Unknown };

Route RouteOf(std::string_view path) {
    static const std::pair<std::string_view, Route> routes[] = {
        {"/vantro_login.aspx", Route::Login},     {"/vantro_carriers.aspx", Route::Carriers},
        {"/vantro_ab.aspx", Route::AddressBook},  {"/vantro_ab_update.aspx", Route::Update},
        {"/vantro_send.aspx", Route::Send},       {"/", Route::Home},
        {"/vantro_updates.aspx", Route::Updates}, {"/login.aspx", Route::LoginPage},
    };
    for (const auto& [name, route] : routes) {
        if (path == name) {
            return route;
        }
    }
    return Route::Unknown;
}

// The methods a route answers, as the Allow header lists them.
const char* AllowedMethods(Route route) {
    switch (route) {
    case Route::Home:
    case Route::Updates:
        return "GET, HEAD";
    case Route::LoginPage:
        return "GET, HEAD, POST";
    case Route::Unknown:
        return "";
    default:
        return "POST";
    }
}

bool Allows(Route route, std::string_view method) {
    const std::string_view allowed = AllowedMethods(route);
    std::size_t start = 0;
    while (start < allowed.size()) {
        std::size_t end = allowed.find(", ", start);
        end = end == std::string_view::npos ? allowed.size() : end;
        if (allowed.substr(start, end - start) == method) {
            return true;
        }
        start = end + 2;
    }
    return false;
}

// The exchanges whose answer reports a change to the store, which they give only once the change
// is on disk (a send, an address book update, a registration or a new password).
bool WritesToStore(Route route, std::string_view method) {
    return method == "POST" && (route == Route::Send || route == Route::Update || route == Route::LoginPage);
}

// Writes waiting for the disk's sync at once: so many share one sync (GroupCommit.h). They use
// no core while they wait.
constexpr unsigned kWriteWorkers = 32;

struct Answer {
    unsigned status = 200;
    std::string body{};
    const char* type = kText;
    const char* allow = nullptr;
    std::vector<std::pair<std::string, std::string>> headers{};
};

// One request being read: its body so far, and, for one answered on workers (a login, a write),
// those workers and the answer once they have made it.
struct RequestState {
    std::string body;
    bool tooLarge = false;
    Server::LoginWorkers* setAsideOn = nullptr; // while its connection is set aside
    bool failed = false;
    Answer answer;
};

Answer PlainError(unsigned status, std::string text) { return Answer{status, std::move(text) + "\n", kText}; }

MHD_Result Send(MHD_Connection* connection, const Answer& answer) {
    MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
    if (answer.allow != nullptr) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, answer.allow);
    }
    for (const auto& [name, value] : answer.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return queued;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The value of one field of an HTML form posted as application/x-www-form-urlencoded.
std::string FormValue(std::string_view form, std::string_view name) {
    const auto decode = [](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out += ' ';
            } else if (text[i] == '%' && i + 2 < text.size() + 0 && HexValue(text[i + 1]) >= 0 &&
                       HexValue(text[i + 2]) >= 0) {
                out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::size_t start = 0;
    while (start <= form.size()) {
        std::size_t end = form.find('&', start);
        end = end == std::string_view::npos ? form.size() : end;
        const std::string_view pair = form.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (decode(pair.substr(0, equals)) == name) {
            return equals == std::string_view::npos ? std::string() : decode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return {};
}

// Headers of the pages with forms: never cached (they carry a form token), never framed, and
// nothing loaded from elsewhere, not even by a script slipped into a page.
void AddAccountPageHeaders(Answer& answer) {
    answer.headers.emplace_back("Cache-Control", "no-store");
    answer.headers.emplace_back("Content-Security-Policy",
                                "default-src 'none'; style-src 'unsafe-inline'; "
                                "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
    answer.headers.emplace_back("Referrer-Policy", "no-referrer");
}

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return {};
    }
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
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

// Logins wait for a password hash, which takes a core for a long while, and writes wait for the
// disk to sync (GroupCommit.h). Both are answered on workers of their own, while their connection
// is set aside, so that the threads serving connections stay free for the other exchanges however
// many logins arrive, and so that as many writes as there are write workers share one sync.
class Server::LoginWorkers {
public:
    using Job = std::function<void(bool stopping)>;

    explicit LoginWorkers(unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            m_threads.emplace_back([this] { work(); });
        }
    }
    ~LoginWorkers() { stop(); }
    LoginWorkers(const LoginWorkers&) = delete;
    LoginWorkers& operator=(const LoginWorkers&) = delete;

    void post(Job job) {
        {
            std::lock_guard lock(m_mutex);
            ++m_unfinished;
            if (!m_stopping) {
                m_jobs.push_back(std::move(job));
                m_wake.notify_one();
                return;
            }
        }
        job(true); // arrived while stopping: refused at once
    }
    // A login's connection has had its answer queued (or has gone).
    void finished() {
        std::lock_guard lock(m_mutex);
        --m_unfinished;
        m_idle.notify_all();
    }
    // Jobs not yet started are run with `stopping` set, which answers them at once; then waits,
    // for a bounded time, until every set-aside connection has had its answer queued: the
    // library must not be stopped while one is still set aside.
    void stop() {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                return;
            }
            m_stopping = true;
        }
        m_wake.notify_all();
        for (std::thread& thread : m_threads) {
            thread.join();
        }
        std::unique_lock lock(m_mutex);
        m_idle.wait_for(lock, std::chrono::seconds(3), [this] { return m_unfinished == 0; });
    }

private:
    void work() {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                return; // stopping, nothing left
            }
            Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            const bool stopping = m_stopping;
            lock.unlock();
            job(stopping);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_jobs;
    std::size_t m_unfinished = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

// Closes connections whose request head has not arrived in time. The HTTP library bounds the
// time between two reads, not the whole head, so a client sending a byte every few seconds
// would otherwise hold its connection for ever.
class Server::HeadDeadlines {
public:
    explicit HeadDeadlines(std::chrono::seconds limit) : m_limit(limit), m_thread([this] { watch(); }) {}
    ~HeadDeadlines() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    HeadDeadlines(const HeadDeadlines&) = delete;
    HeadDeadlines& operator=(const HeadDeadlines&) = delete;

    // A connection opened: its first head is awaited.
    void opened(MHD_Connection* connection, int fd) {
        std::lock_guard lock(m_mutex);
        m_connections[connection] = Entry{fd, Clock::now(), true};
    }
    // Its head has arrived.
    void headArrived(MHD_Connection* connection) {
        std::lock_guard lock(m_mutex);
        if (auto found = m_connections.find(connection); found != m_connections.end()) {
            found->second.awaitingHead = false;
        }
    }
    // Its answer has gone: the next head is awaited.
    void answered(MHD_Connection* connection) {
        std::lock_guard lock(m_mutex);
        if (auto found = m_connections.find(connection); found != m_connections.end()) {
            found->second = Entry{found->second.fd, Clock::now(), true};
        }
    }
    // Called before the library closes the socket, so the watcher never touches a reused one.
    void closed(MHD_Connection* connection) {
        std::lock_guard lock(m_mutex);
        m_connections.erase(connection);
    }

private:
    struct Entry {
        int fd = -1;
        Clock::time_point since;
        bool awaitingHead = true;
    };

    void watch() {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            m_wake.wait_for(lock, std::chrono::milliseconds(250));
            const Clock::time_point now = Clock::now();
            for (auto& [connection, entry] : m_connections) {
                if (entry.awaitingHead && now - entry.since > m_limit) {
                    // The library sees the connection fail and closes it on its own thread.
                    shutdown(entry.fd, SHUT_RDWR);
                    entry.awaitingHead = false;
                }
            }
        }
    }

    std::chrono::seconds m_limit;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<MHD_Connection*, Entry> m_connections;
    bool m_stopping = false;
    std::thread m_thread;
};

struct Server::Callbacks {
    // "/login.aspx": the registration and new-password pages, whose forms carry a form token
    // that must equal the one in the browser's cookie.
    static Answer accountPage(Server& server, MHD_Connection* connection, std::string_view method,
                              const std::string& body) {
        const bool registration = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "regstart") != nullptr;
        const bool reset = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "forgot") != nullptr;
        if (!registration && !reset) {
            if (method == "POST") {
                return PlainError(MHD_HTTP_NOT_FOUND, "404 Not Found");
            }
            return Answer{200, LoginPage(), kHtml};
        }
        const char* cookie = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_COOKIE);
        std::string token = CookieValue(cookie != nullptr ? cookie : "", kCsrfCookieName);
        Answer answer{200, {}, kHtml};
        AddAccountPageHeaders(answer);
        const auto fill = [&answer](const Page& page) {
            answer.status = static_cast<unsigned>(page.status);
            answer.body = page.html;
            return answer;
        };
        if (method != "POST") {
            if (!IsCsrfToken(token)) {
                token = NewCsrfToken();
                const bool secure =
                    !server.m_options.tlsCertFile.empty() || server.m_options.publicUrl.starts_with("https://");
                answer.headers.emplace_back(MHD_HTTP_HEADER_SET_COOKIE, CsrfCookieHeader(token, secure));
            }
            return fill(registration ? server.m_accounts.registrationForm(token)
                                     : server.m_accounts.passwordResetForm(token));
        }
        if (!CsrfTokensMatch(token, FormValue(body, kCsrfFieldName))) {
            return fill(AccountPages::refusedForm(registration));
        }
        FormFields form;
        for (const char* name : {"step", "number", "carrier", "code", "password", "confirmation"}) {
            form.emplace(name, FormValue(body, name));
        }
        const std::string address = ClientAddress(connection);
        return fill(registration ? server.m_accounts.postRegistration(form, address, token)
                                 : server.m_accounts.postPasswordReset(form, address, token));
    }

    static Answer answer(Server& server, MHD_Connection* connection, Route route, std::string_view method,
                         const RequestState& request) {
        if (route == Route::Unknown) {
            return PlainError(MHD_HTTP_NOT_FOUND, "404 Not Found");
        }
        if (!Allows(route, method)) {
            Answer refused = PlainError(MHD_HTTP_METHOD_NOT_ALLOWED,
                                        std::string("405 Method Not Allowed. Use ") + AllowedMethods(route) + ".");
            refused.allow = AllowedMethods(route);
            return refused;
        }
        if (request.tooLarge) {
            return PlainError(MHD_HTTP_CONTENT_TOO_LARGE, "413 Payload Too Large: requests may have at most 64 KiB");
        }
        Exchanges& exchanges = *server.m_exchanges;
        const auto xml = [](std::string text) { return Answer{200, std::move(text), kXml}; };
        const auto html = [](std::string text, unsigned status = 200) {
            return Answer{status, std::move(text), kHtml};
        };
        switch (route) {
        case Route::Login:
            return xml(exchanges.login(request.body, ClientAddress(connection)));
        case Route::Carriers:
            return xml(exchanges.carriers());
        case Route::AddressBook:
            return xml(exchanges.addressBook(request.body));
        case Route::Update:
            return xml(exchanges.update(request.body));
        case Route::Send:
            return xml(exchanges.send(request.body));
        case Route::Home:
            return html(HomePage(server.m_worker != nullptr));
        case Route::Updates:
            return html(UpdatesPage());
        case Route::LoginPage:
            return accountPage(server, connection, method, request.body);
        case Route::Unknown:
            break;
        }
        return PlainError(MHD_HTTP_NOT_FOUND, "404 Not Found");
    }

    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                const char* /*version*/, const char* uploadData, size_t* uploadSize, void** context) {
        auto& server = *static_cast<Server*>(cls);
        auto* request = static_cast<RequestState*>(*context);
        if (request == nullptr) {
            // The head is complete.
            server.m_deadlines->headArrived(connection);
            request = new RequestState;
            *context = request;
            const char* length =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxRequestBytes) {
                request->tooLarge = true; // answered once the body has been passed over
            }
            return MHD_YES;
        }
        if (*uploadSize != 0) {
            if (!request->tooLarge) {
                if (request->body.size() + *uploadSize > kMaxRequestBytes) {
                    request->tooLarge = true;
                    request->body.clear();
                } else {
                    request->body.append(uploadData, *uploadSize);
                }
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        const Route route = RouteOf(url != nullptr ? url : "");
        if (request->setAsideOn != nullptr) {
            // Back from the workers.
            request->setAsideOn->finished();
            request->setAsideOn = nullptr;
            if (request->failed) {
                return Send(connection, PlainError(MHD_HTTP_INTERNAL_SERVER_ERROR, "500 Internal Server Error"));
            }
            return Send(connection, request->answer);
        }
        const bool login = route == Route::Login && std::string_view(method) == "POST" && !request->tooLarge;
        if (login || (WritesToStore(route, method) && !request->tooLarge)) {
            LoginWorkers& workers = login ? *server.m_loginWorkers : *server.m_writeWorkers;
            request->setAsideOn = &workers;
            MHD_suspend_connection(connection);
            workers.post([&server, connection, request, login, route, method = std::string(method),
                          address = ClientAddress(connection), path = std::string(url)](bool stopping) {
                try {
                    if (!login) {
                        // A write in progress is finished: stopping waits for it.
                        request->answer = Callbacks::answer(server, connection, route, method, *request);
                    } else {
                        request->answer = Answer{200,
                                                 stopping ? server.m_exchanges->refuseLogin("The service is stopping.")
                                                          : server.m_exchanges->login(request->body, address),
                                                 kXml};
                    }
                } catch (const std::exception& e) {
                    server.toConsole("ERROR " + method + " " + path + ": " + e.what());
                    request->failed = true;
                }
                MHD_resume_connection(connection);
            });
            return MHD_YES;
        }
        Answer answer;
        try {
            answer = Callbacks::answer(server, connection, route, method, *request);
        } catch (const std::exception& e) {
            server.toConsole(std::string("ERROR ") + method + " " + url + ": " + e.what());
            answer = PlainError(MHD_HTTP_INTERNAL_SERVER_ERROR, "500 Internal Server Error");
        }
        return Send(connection, answer);
    }

    static void onCompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
        auto* request = static_cast<RequestState*>(*context);
        if (request != nullptr && request->setAsideOn != nullptr) {
            request->setAsideOn->finished(); // closed while set aside
        }
        delete request;
        *context = nullptr;
        static_cast<Server*>(cls)->m_deadlines->answered(connection);
    }

    static void onConnection(void* cls, MHD_Connection* connection, void** /*socketContext*/,
                             MHD_ConnectionNotificationCode code) {
        auto& server = *static_cast<Server*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info != nullptr) {
                // Answers go out at once instead of waiting for the client's acknowledgement.
                int yes = 1;
                setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
                server.m_deadlines->opened(connection, info->connect_fd);
            }
        } else {
            server.m_deadlines->closed(connection);
        }
    }
};

Server::Server(ServerOptions options)
    : m_options(std::move(options)), m_store(m_options.databasePath, m_options.store),
      m_gateways(m_options.gateways ? m_options.gateways
                                    : std::shared_ptr<const GatewayTable>(&GatewayTable::builtIn(), [](auto*) {})),
      m_verification(m_store, m_options.verificationLimits, m_options.clock ? m_options.clock : m_options.store.clock),
      m_accounts(m_store, m_verification, *m_gateways, codeDelivery(),
                 [this](const std::string& line) { toConsole(line); }) {
    if (m_options.smtp) {
        CheckSmtpSettings(*m_options.smtp);
        m_sender = std::make_unique<CurlMailSender>(*m_options.smtp, &m_cancelDelivery);
        m_worker = std::make_unique<DeliveryWorker>(m_store, *m_sender, *m_gateways, m_options.smtp->from,
                                                    [this](const std::string& line) { toConsole(line); });
    }
}

Server::~Server() { stop(); }

CodeSender Server::codeDelivery() {
    if (m_options.codeSender) {
        return m_options.codeSender;
    }
    if (!m_options.smtp) {
        return {};
    }
    return [this](const CodeText& text) {
        m_store.queueCode(text.number, text.carrier, text.subject, text.body, text.expiresAt);
        if (m_worker) {
            m_worker->wake();
        }
    };
}

void Server::toConsole(const std::string& line) {
    if (m_options.console) {
        std::lock_guard lock(m_consoleMutex);
        m_options.console(line);
    }
}

void Server::start() {
    if (m_started) {
        throw std::logic_error("Server::start: already started");
    }
    m_started = true;
    const bool tls = !m_options.tlsCertFile.empty() || !m_options.tlsKeyFile.empty();
    if (tls) {
        if (m_options.tlsCertFile.empty() || m_options.tlsKeyFile.empty()) {
            throw std::runtime_error("HTTPS needs both a certificate and a key file");
        }
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            throw std::runtime_error("this build of libmicrohttpd cannot serve HTTPS");
        }
        m_tlsCert = ReadFile(m_options.tlsCertFile, "certificate");
        m_tlsKey = ReadFile(m_options.tlsKeyFile, "private key");
    }
    if (m_options.port < 0 || m_options.port > 65535) {
        throw std::runtime_error("cannot listen at port " + std::to_string(m_options.port));
    }

    sockaddr_storage address{};
    static_assert(sizeof address >= sizeof(sockaddr_in6));
    const bool ipv6 = m_options.host.find(':') != std::string::npos;
    if (ipv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(m_options.port));
        if (inet_pton(AF_INET6, m_options.host.c_str(), &in6.sin6_addr) != 1) {
            throw std::runtime_error("not an IPv6 address: " + m_options.host);
        }
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<std::uint16_t>(m_options.port));
        const std::string host = m_options.host == "localhost" ? "127.0.0.1" : m_options.host;
        if (inet_pton(AF_INET, host.c_str(), &in4.sin_addr) != 1) {
            throw std::runtime_error("not an IP address: " + m_options.host);
        }
    }

    // The socket is bound here rather than by the library, so that the port is known before the
    // first request can arrive. SO_REUSEADDR alone allows a quick restart but refuses a port that
    // another service listens on.
    const int listening = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listening < 0) {
        throw std::runtime_error("cannot open a socket");
    }
    int yes = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const socklen_t addressSize = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(listening, reinterpret_cast<sockaddr*>(&address), addressSize) != 0 ||
        listen(listening, static_cast<int>(m_options.listenBacklog)) != 0) {
        close(listening);
        throw std::runtime_error("cannot listen on " + m_options.host + " at port " + std::to_string(m_options.port));
    }
    socklen_t boundSize = sizeof address;
    getsockname(listening, reinterpret_cast<sockaddr*>(&address), &boundSize);
    m_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                        : reinterpret_cast<sockaddr_in&>(address).sin_port);

    ExchangeSettings settings;
    settings.publicUrl = m_options.publicUrl.empty() ? baseUrl() : m_options.publicUrl;
    settings.console = [this](const std::string& line) { toConsole(line); };
    settings.throttle = m_options.throttle;
    settings.gateways = m_gateways.get();
    settings.deliveryOn = m_worker != nullptr;
    settings.queued = [this] { m_worker->wake(); };
    m_exchanges = std::make_unique<Exchanges>(m_store, std::move(settings));

    unsigned threads = m_options.threads;
    if (threads == 0) {
        // Each thread runs an event loop of its own, so a slow client holds no thread, and logins
        // hash elsewhere. More threads than cores would only take turns at the one write lock.
        threads = std::max(2U, std::thread::hardware_concurrency());
    }
    m_deadlines = std::make_unique<HeadDeadlines>(std::chrono::seconds(m_options.headSeconds));
    m_loginWorkers = std::make_unique<LoginWorkers>(std::max(1U, std::thread::hardware_concurrency()));
    m_writeWorkers = std::make_unique<LoginWorkers>(kWriteWorkers);

    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
    if (ipv6) {
        flags |= MHD_USE_IPv6;
    }
    if (tls) {
        flags |= MHD_USE_TLS;
    }
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_LISTEN_SOCKET, listening, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, threads, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, m_options.maxConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_options.maxConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, m_options.idleSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(m_options.connectionMemory), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Callbacks::onCompleted), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Callbacks::onConnection), this},
    };
    if (tls) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, m_tlsCert.data()});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, m_tlsKey.data()});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});

    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Callbacks::onRequest, this, MHD_OPTION_ARRAY, items.data(),
                                MHD_OPTION_END);
    if (m_daemon == nullptr) {
        close(listening);
        m_loginWorkers.reset();
        m_writeWorkers.reset();
        m_deadlines.reset();
        throw std::runtime_error("cannot serve on " + baseUrl() +
                                 (tls ? " (are the certificate and the key PEM files that belong together?)" : ""));
    }
    if (m_worker) {
        toConsole("Delivery on: messages go by e-mail through " + m_options.smtp->url + " from " +
                  m_options.smtp->from);
        m_worker->start();
    } else {
        toConsole("Delivery is off: accepted messages stay in the outbox (--smtp turns it on).");
    }
}

void Server::stop() {
    if (m_worker) {
        // Cuts a send in progress short; its message stays queued for the next start.
        m_worker->requestStop();
        m_cancelDelivery = true;
        m_worker->stop();
    }
    if (m_daemon == nullptr) {
        return;
    }
    // Stop accepting first, then close what is open; the library waits for answers in progress.
    const MHD_socket listening = MHD_quiesce_daemon(m_daemon);
    if (listening != MHD_INVALID_SOCKET) {
        close(listening);
    }
    m_loginWorkers->stop();
    m_writeWorkers->stop();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_loginWorkers.reset();
    m_writeWorkers.reset();
    m_deadlines.reset();
}

bool Server::running() const { return m_daemon != nullptr; }

std::string Server::baseUrl() const {
    std::string host = m_options.host;
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]"; // IPv6
    }
    const bool tls = !m_options.tlsCertFile.empty();
    return (tls ? "https://" : "http://") + host + ":" + std::to_string(m_port);
}

} // namespace server

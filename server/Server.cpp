#include "Server.h"

#include "Csrf.h"
#include "Pages.h"
#include "Protocol.h"

#include <chrono>
#include <stdexcept>
#include <string_view>

#include <httplib.h>

namespace server {

namespace {

constexpr const char* kXml = "text/xml; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kText = "text/plain; charset=utf-8";

constexpr std::string_view kExchangePaths[] = {
    "/vantro_login.aspx", "/vantro_carriers.aspx", "/vantro_ab.aspx", "/vantro_ab_update.aspx", "/vantro_send.aspx",
};

bool IsExchangePath(std::string_view path) {
    for (const std::string_view exchange : kExchangePaths) {
        if (path == exchange) {
            return true;
        }
    }
    return false;
}

// Headers of the pages with forms: never cached (they carry a form token), never framed, and
// nothing loaded from elsewhere, not even by a script slipped into a page.
void AccountPageHeaders(httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; "
                                              "frame-ancestors 'none'; base-uri 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
}

// The form token of the browser's cookie, or a new one handed out with this answer.
std::string FormToken(const httplib::Request& req, httplib::Response& res) {
    AccountPageHeaders(res);
    std::string token = CookieValue(req.get_header_value("Cookie"), kCsrfCookieName);
    if (!IsCsrfToken(token)) {
        token = NewCsrfToken();
        res.set_header("Set-Cookie", CsrfCookieHeader(token));
    }
    return token;
}

void MethodNotAllowed(httplib::Response& res, const char* allowed) {
    res.status = 405;
    res.set_header("Allow", allowed);
    res.set_content(std::string("405 Method Not Allowed. Use ") + allowed + ".\n", kText);
}

} // namespace

Server::Server(ServerOptions options)
    : m_options(std::move(options)), m_store(m_options.databasePath, m_options.store),
      m_gateways(m_options.gateways ? m_options.gateways
                                    : std::shared_ptr<const GatewayTable>(&GatewayTable::builtIn(), [](auto*) {})),
      m_verification(m_store, m_options.verificationLimits, m_options.clock ? m_options.clock : m_options.store.clock),
      m_accounts(m_store, m_verification, *m_gateways, codeDelivery(),
                 [this](const std::string& line) { toConsole(line); }),
      m_server(std::make_unique<httplib::Server>()) {
    if (m_options.smtp) {
        CheckSmtpSettings(*m_options.smtp);
        m_sender = std::make_unique<CurlMailSender>(*m_options.smtp, &m_cancelDelivery);
        m_worker = std::make_unique<DeliveryWorker>(m_store, *m_sender, *m_gateways, m_options.smtp->from,
                                                    [this](const std::string& line) { toConsole(line); });
    }
    routes();
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

void Server::routes() {
    httplib::Server& server = *m_server;
    server.set_payload_max_length(kMaxRequestBytes);
    server.set_keep_alive_timeout(1); // bounds how long stop() waits for idle connections
    server.set_read_timeout(5);
    // httplib's default also sets SO_REUSEPORT, which would let a second service share the port
    // unnoticed. SO_REUSEADDR alone allows a quick restart but refuses a port in use.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    });
    server.set_write_timeout(5);

    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        if (IsExchangePath(req.path)) {
            if (req.method != "POST") {
                MethodNotAllowed(res, "POST");
                return R::Handled;
            }
        } else if (req.path == "/" || req.path == "/vantro_updates.aspx") {
            if (req.method != "GET" && req.method != "HEAD") {
                MethodNotAllowed(res, "GET, HEAD");
                return R::Handled;
            }
        } else if (req.path == "/login.aspx") {
            if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
                MethodNotAllowed(res, "GET, HEAD, POST");
                return R::Handled;
            }
        }
        return R::Unhandled;
    });

    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) {
            std::string text = std::to_string(res.status);
            switch (res.status) {
            case 400:
                text += " Bad Request";
                break;
            case 404:
                text += " Not Found";
                break;
            case 413:
                text += " Payload Too Large: requests may have at most 64 KiB";
                break;
            default:
                text += " Error";
                break;
            }
            res.set_content(text + "\n", kText);
        }
    });

    server.set_exception_handler(
        [this](const httplib::Request& req, httplib::Response& res, const std::exception_ptr& ep) {
            std::string what = "unknown error";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            toConsole("ERROR " + req.method + " " + req.path + ": " + what);
            res.status = 500;
            res.set_content("500 Internal Server Error\n", kText);
        });

    const auto xml = [](auto answer) {
        return [answer](const httplib::Request& req, httplib::Response& res) {
            res.status = 200;
            res.set_content(answer(req), kXml);
        };
    };

    server.Post("/vantro_login.aspx",
                xml([this](const httplib::Request& req) { return m_exchanges->login(req.body, req.remote_addr); }));
    server.Post("/vantro_carriers.aspx", xml([this](const httplib::Request&) { return m_exchanges->carriers(); }));
    server.Post("/vantro_ab.aspx",
                xml([this](const httplib::Request& req) { return m_exchanges->addressBook(req.body); }));
    server.Post("/vantro_ab_update.aspx",
                xml([this](const httplib::Request& req) { return m_exchanges->update(req.body); }));
    server.Post("/vantro_send.aspx", xml([this](const httplib::Request& req) { return m_exchanges->send(req.body); }));

    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(HomePage(), kHtml); });
    server.Get("/vantro_updates.aspx",
               [](const httplib::Request&, httplib::Response& res) { res.set_content(UpdatesPage(), kHtml); });
    server.Get("/login.aspx", [this](const httplib::Request& req, httplib::Response& res) {
        const bool registration = req.has_param("regstart");
        if (!registration && !req.has_param("forgot")) {
            res.set_content(LoginPage(), kHtml);
            return;
        }
        const std::string token = FormToken(req, res);
        const Page page = registration ? m_accounts.registrationForm(token) : m_accounts.passwordResetForm(token);
        res.status = page.status;
        res.set_content(page.html, kHtml);
    });
    server.Post("/login.aspx", [this](const httplib::Request& req, httplib::Response& res) {
        const bool registration = req.has_param("regstart");
        if (!registration && !req.has_param("forgot")) {
            res.status = 404;
            return;
        }
        AccountPageHeaders(res);
        const std::string cookieToken = CookieValue(req.get_header_value("Cookie"), kCsrfCookieName);
        if (!CsrfTokensMatch(cookieToken, req.get_param_value(std::string(kCsrfFieldName)))) {
            const Page page = AccountPages::refusedForm(registration);
            res.status = page.status;
            res.set_content(page.html, kHtml);
            return;
        }
        FormFields form;
        for (const auto& [name, value] : req.params) {
            form.emplace(name, value); // the first of repeated fields counts
        }
        const Page page = registration ? m_accounts.postRegistration(form, req.remote_addr, cookieToken)
                                       : m_accounts.postPasswordReset(form, req.remote_addr, cookieToken);
        res.status = page.status;
        res.set_content(page.html, kHtml);
    });
}

void Server::start() {
    if (m_started) {
        throw std::logic_error("Server::start: already started");
    }
    m_started = true;
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(m_options.host);
        if (m_port <= 0) {
            m_port = 0;
            throw std::runtime_error("cannot listen on " + m_options.host + " at any port");
        }
    } else {
        if (m_options.port < 0 || m_options.port > 65535 || !m_server->bind_to_port(m_options.host, m_options.port)) {
            throw std::runtime_error("cannot listen on " + m_options.host + " at port " +
                                     std::to_string(m_options.port));
        }
        m_port = m_options.port;
    }
    ExchangeSettings settings;
    settings.publicUrl = m_options.publicUrl.empty() ? baseUrl() : m_options.publicUrl;
    settings.console = [this](const std::string& line) { toConsole(line); };
    settings.throttle = m_options.throttle;
    settings.gateways = m_gateways.get();
    settings.deliveryOn = m_worker != nullptr;
    settings.queued = [this] { m_worker->wake(); };
    m_exchanges = std::make_unique<Exchanges>(m_store, std::move(settings));
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_listenEnded = true;
    });
    // stop() only takes effect once the server runs, so wait for that here.
    while (!m_server->is_running() && !m_listenEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!m_server->is_running()) {
        m_thread.join();
        throw std::runtime_error("cannot serve on " + baseUrl());
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
    if (m_thread.joinable()) {
        m_server->stop();
        m_thread.join();
    }
}

bool Server::running() const { return m_server->is_running(); }

std::string Server::baseUrl() const {
    std::string host = m_options.host;
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]"; // IPv6
    }
    return "http://" + host + ":" + std::to_string(m_port);
}

} // namespace server

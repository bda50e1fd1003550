#include "server/app/Server.h"

#include "server/exchanges/Exchanges.h"
#include "server/exchanges/RequestReader.h"
#include "server/http/HttpServer.h"
#include "server/web/AccountRoute.h"
#include "server/web/MessagesPage.h"
#include "server/web/Pages.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace server {

namespace {

http::Answer Xml(std::string text) { return http::Answer{200, std::move(text), http::kXml}; }
http::Answer Html(std::string text) {
    http::Answer answer{200, std::move(text), http::kHtml};
    AddPageHeaders(answer);
    return answer;
}
// The login answer carries a session token: no cache along the way may keep it.
http::Answer LoginXml(std::string text) {
    http::Answer answer = Xml(std::move(text));
    answer.headers.emplace_back("Cache-Control", "no-store");
    return answer;
}

http::Answer PageRefusal(unsigned status, std::string_view text) {
    http::Answer answer =
        Html(server::Html(kMessagesTitle, "<p class=\"message\" role=\"alert\">" + HtmlEscape(text) + "</p>"));
    answer.status = status;
    return answer;
}

// "/delivery-report?id=N&secret=S&type=T&reply=R", called by the SMS gateway. Without the
// message's secret there is nothing here: 404, and nothing changes.
http::Answer AnswerDeliveryReport(Store& store, const http::Request& request,
                                  const std::function<void(const std::string&)>& console) {
    const std::string id = request.queryArgument("id");
    const std::string secret = request.queryArgument("secret");
    const auto reported = ReadKannelReport(request.queryArgument("type"), request.queryArgument("reply"));
    if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos || secret.empty() ||
        !reported) {
        return http::PlainError(404, "404 Not Found");
    }
    DeliveryReport report{std::stoll(id), secret, std::string(reported->state), reported->reason};
    switch (store.applyReport(report)) {
    case ReportResult::Unknown:
        return http::PlainError(404, "404 Not Found");
    case ReportResult::Applied:
        console("SMS #" + id + " " + report.state + (report.reason.empty() ? "" : ": " + report.reason));
        break;
    case ReportResult::Unchanged:
        break;
    }
    return http::PlainError(200, "OK");
}

} // namespace

Server::Server(ServerOptions options)
    : m_options(std::move(options)), m_store(m_options.databasePath, m_options.store),
      m_gateways(m_options.gateways ? m_options.gateways
                                    : std::shared_ptr<const GatewayTable>(&GatewayTable::builtIn(), [](auto*) {})),
      m_verification(m_store, m_options.verificationLimits, m_options.clock ? m_options.clock : m_options.store.clock,
                     m_options.codeKey),
      m_accounts(
          m_store, m_verification, *m_gateways, codeDelivery(), [this](const std::string& line) { toConsole(line); },
          m_options.smsGateway.has_value()),
      m_messages(m_store, m_options.throttle),
      m_sweeper(m_store, [this](const std::string& line) { toConsole(line); }) {
    if (m_options.smsGateway) {
        // The SMS gateway is the route when it is set; the worker, which needs the service's
        // address for the reports, is made in start().
        CheckSmsGatewaySettings(*m_options.smsGateway);
        m_smsSender = std::make_unique<KannelSmsSender>(*m_options.smsGateway, &m_cancelDelivery);
    } else if (m_options.smtp) {
        CheckSmtpSettings(*m_options.smtp);
        m_sender = std::make_unique<CurlMailSender>(*m_options.smtp, &m_cancelDelivery);
        m_worker = std::make_unique<DeliveryWorker>(
            m_store, *m_sender, *m_gateways, m_options.smtp->from, [this](const std::string& line) { toConsole(line); },
            deliveryClock());
    }
    m_http = std::make_unique<http::HttpServer>(httpOptions(), routes());
}

Server::~Server() { stop(); }

DeliveryWorker::Clock Server::deliveryClock() const {
    if (m_options.deliveryClock) {
        return m_options.deliveryClock;
    }
    return [] { return std::chrono::system_clock::now(); };
}

void Server::wakeDelivery() {
    if (m_worker) {
        m_worker->wake();
    }
}

CodeSender Server::codeDelivery() {
    if (m_options.codeSender) {
        return m_options.codeSender;
    }
    if (!m_options.smtp && !m_options.smsGateway) {
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

http::HttpOptions Server::httpOptions() {
    return http::HttpOptions{
        .host = m_options.host,
        .port = m_options.port,
        .tlsCertFile = m_options.tlsCertFile,
        .tlsKeyFile = m_options.tlsKeyFile,
        .threads = m_options.threads,
        .maxConnections = m_options.maxConnections,
        .maxConnectionsPerAddress = m_options.maxConnectionsPerAddress,
        .listenBacklog = m_options.listenBacklog,
        .idleSeconds = m_options.idleSeconds,
        .headSeconds = m_options.headSeconds,
        .connectionMemory = m_options.connectionMemory,
        .maxBodyBytes = kMaxRequestBytes,
        // Logins hash a password on every core there is, never on the threads serving connections.
        .poolWorkers = std::max(1U, std::thread::hardware_concurrency()),
        .trustedProxy = m_options.trustedProxy,
        .errors = [this](const std::string& line) { toConsole(line); },
    };
}

// The handlers reach the exchanges only once start() has made them, before anything is served.
// The program's five exchanges.
void Server::addExchangeRoutes(http::RouteTable& table) {
    using http::Method;
    using http::Request;
    table.add(
        {.path = "/vantro_login.aspx",
         .methods = Method::Post,
         .handler = [this](const Request& r) { return LoginXml(m_exchanges->login(r.body(), r.clientAddress())); },
         .onPool = true,
         .whenStopping =
             [this](const Request&) { return LoginXml(m_exchanges->refuseLogin("The service is stopping.")); },
         .whenBusy =
             [this](const Request&) {
                 return LoginXml(m_exchanges->refuseLogin("Too many logins are waiting. Please try again shortly."));
             }});
    table.add({"/vantro_carriers.aspx", Method::Post, [this](const Request&) { return Xml(m_exchanges->carriers()); }});
    table.add({"/vantro_ab.aspx", Method::Post,
               [this](const Request& r) { return Xml(m_exchanges->addressBook(r.body())); }});
    // The answers that report a change wait for it to be on disk (Store.h).
    table.add({.path = "/vantro_ab_update.aspx",
               .methods = Method::Post,
               .handler = [this](const Request& r) { return Xml(m_exchanges->update(r.body())); },
               .waitsForDisk = Method::Post});
    table.add({.path = "/vantro_send.aspx",
               .methods = Method::Post,
               .handler = [this](const Request& r) { return Xml(m_exchanges->send(r.body())); },
               .waitsForDisk = Method::Post});
}

// The pages, and the SMS gateway's delivery reports.
void Server::addPageRoutes(http::RouteTable& table) {
    using http::Method;
    using http::Request;
    table.add({"/", Method::Get | Method::Head,
               [this](const Request&) { return Html(HomePage(m_worker != nullptr, m_smsSender != nullptr)); }});
    table.add({"/vantro_updates.aspx", Method::Get | Method::Head, [](const Request&) { return Html(UpdatesPage()); }});
    const bool secureCookie = !m_options.tlsCertFile.empty() || m_options.publicUrl.starts_with("https://");
    table.add(
        {.path = "/login.aspx",
         .methods = Method::Get | Method::Head | Method::Post,
         .handler = [this, secureCookie](const Request& r) { return AnswerAccountPage(m_accounts, r, secureCookie); },
         .waitsForDisk = Method::Post});
    // Signing in hashes a password: on the pool, as the program's login.
    table.add({.path = std::string(kMessagesPath),
               .methods = Method::Get | Method::Head | Method::Post,
               .handler = [this, secureCookie](const Request& r) { return m_messages.answer(r, secureCookie); },
               .onPool = true,
               .whenStopping = [](const Request&) { return PageRefusal(503, "The service is stopping."); },
               .whenBusy =
                   [](const Request&) {
                       return PageRefusal(503, "Too many sign-ins are waiting. Please try again shortly.");
                   }});
    // Only with the SMS route; a 404 otherwise, as for any path that is not there. The gateway
    // does not send a report again once answered, so the answer waits for the report to be on disk.
    if (m_smsSender) {
        table.add({.path = "/delivery-report",
                   .methods = Method::Get,
                   .handler =
                       [this](const Request& r) {
                           return AnswerDeliveryReport(m_store, r,
                                                       [this](const std::string& line) { toConsole(line); });
                       },
                   .waitsForDisk = Method::Get});
    }
}

http::RouteTable Server::routes() {
    http::RouteTable table;
    addExchangeRoutes(table);
    addPageRoutes(table);
    return table;
}

void Server::start() {
    if (m_started) {
        throw std::logic_error("Server::start: already started");
    }
    m_started = true;
    m_http->listen();

    ExchangeSettings settings;
    settings.publicUrl = m_options.publicUrl.empty() ? baseUrl() : m_options.publicUrl;
    settings.ad = m_options.ad;
    const std::string reportUrl = settings.publicUrl + "/delivery-report";
    if (m_smsSender) {
        m_worker = std::make_unique<DeliveryWorker>(
            m_store, *m_smsSender, reportUrl, [this](const std::string& line) { toConsole(line); }, deliveryClock());
        settings.byCarrierGateway = false;
    }
    settings.console = [this](const std::string& line) { toConsole(line); };
    settings.throttle = m_options.throttle;
    settings.gateways = m_gateways.get();
    settings.deliveryOn = m_worker != nullptr;
    settings.queued = [this] { m_worker->wake(); };
    m_exchanges = std::make_unique<Exchanges>(m_store, std::move(settings));

    m_http->serve();
    m_sweeper.start();
    if (m_smsSender) {
        toConsole("Delivery on: messages go as texts through the SMS gateway " + m_options.smsGateway->url + " from " +
                  m_options.smsGateway->from + ", delivery reports to " + reportUrl);
        m_worker->start();
    } else if (m_worker) {
        toConsole("Delivery on: messages go by e-mail through " + m_options.smtp->url + " from " +
                  m_options.smtp->from);
        m_worker->start();
    } else {
        toConsole("Delivery is off: accepted messages stay in the outbox (--sms-gateway or --smtp turns it on).");
    }
}

void Server::stop() {
    m_sweeper.stop();
    if (m_worker) {
        // Cuts a send in progress short; its message stays queued for the next start.
        m_worker->requestStop();
        m_cancelDelivery = true;
        m_worker->stop();
    }
    m_http->stop();
}

bool Server::running() const { return m_http->running(); }

int Server::port() const noexcept { return m_http->port(); }

std::string Server::baseUrl() const { return m_http->baseUrl(); }

} // namespace server

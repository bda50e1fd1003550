// vantro-server: the service the program talks to, run on one machine or for real users.
//
//   vantro-server [--config FILE] [--host ADDRESS] [--port N] [--db PATH] [--public-url URL] ...
//
// Every option can also stand in a configuration file as "name = value" (the long name without
// its dashes); the command line wins. Serves until SIGINT (Ctrl+C) or SIGTERM, then stops.

#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/app/Server.h"

#include <charconv>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>

namespace {

struct Settings {
    server::ServerOptions server;
    unsigned concurrentHashes = 0;
    // Delivery, put together once every option is read.
    server::SmtpSettings smtp;
    std::string smtpCredentials;
    std::string gateways;
};

// One option: its name, what its value is called (empty for a flag), its help text and what it
// sets. The command line and the configuration file both go through this table. A flag takes no
// value on the command line and "true" or "false" in the file.
struct Option {
    std::string_view name;
    std::string_view value;
    std::string_view help;
    std::function<bool(std::string_view, Settings&)> set; // false: the value is not acceptable
};

template <typename Number> bool ParseNumber(std::string_view text, Number& out, Number low, Number high) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

// Setters for a number field, reached through a member path.
template <typename Field> auto Number(Field field, long long low, long long high) {
    return [field, low, high](std::string_view text, Settings& settings) {
        auto& target = field(settings);
        using T = std::remove_reference_t<decltype(target)>;
        return ParseNumber<T>(text, target, static_cast<T>(low), static_cast<T>(high));
    };
}

template <typename Field> auto Text(Field field) {
    return [field](std::string_view text, Settings& settings) {
        field(settings) = std::string(text);
        return true;
    };
}

constexpr long long kMaxInt = 2147483647;

const std::vector<Option>& Options() {
    static const std::vector<Option> options = {
        {"config", "FILE", "read options from FILE, one \"name = value\" a line; the command line wins", {}},
        {"host", "ADDRESS", "address to listen on (default 127.0.0.1)",
         Text([](Settings & s) -> auto& { return s.server.host; })},
        {"port", "N", "port to listen on, 0 for any free port (default 8471)",
         Number(
             [](Settings & s) -> auto& { return s.server.port; }, 0, 65535)},
        {"db", "PATH", "the SQLite store, created when missing (default ./vantro-server.db)",
         Text([](Settings & s) -> auto& { return s.server.databasePath; })},
        {"public-url", "URL",
         "the address clients reach the service under, for links in answers (default: the listening address)",
         [](std::string_view text, Settings& s) {
             if (!(text.starts_with("http://") || text.starts_with("https://")) || text.ends_with("/")) {
                 return false;
             }
             s.server.publicUrl = std::string(text);
             return true;
         }},
        {"tls-cert", "FILE", "serve HTTPS with this certificate chain (PEM); needs --tls-key",
         Text([](Settings & s) -> auto& { return s.server.tlsCertFile; })},
        {"tls-key", "FILE", "the certificate's private key (PEM)",
         Text([](Settings & s) -> auto& { return s.server.tlsKeyFile; })},
        {"sends-per-minute", "N", "messages a user may send in any minute, 0 for no limit (default 10)",
         Number(
             [](Settings & s) -> auto& { return s.server.store.sendsPerMinute; }, 0, kMaxInt)},
        {"sends-per-day", "N", "messages a user may send in any 24 hours, 0 for no limit (default 200)",
         Number(
             [](Settings & s) -> auto& { return s.server.store.sendsPerDay; }, 0, kMaxInt)},
        {"login-failures", "N", "failed logins for a login or from an address before a pause (default 5)",
         Number(
             [](Settings & s) -> auto& { return s.server.throttle.failuresBeforePause; }, 1, kMaxInt)},
        {"login-pause", "SECONDS", "the first pause; it doubles with each further failure (default 2)",
         Number(
             [](Settings & s) -> auto& { return s.server.throttle.firstPauseSeconds; }, 1, kMaxInt)},
        {"login-pause-max", "SECONDS", "the longest pause (default 900)",
         Number(
             [](Settings & s) -> auto& { return s.server.throttle.longestPauseSeconds; }, 1, kMaxInt)},
        {"session-idle-days", "N", "a login's session ends after this many days unused (default 30)",
         [](std::string_view text, Settings& s) {
             int days = 0;
             if (!ParseNumber(text, days, 1, 3650)) {
                 return false;
             }
             s.server.store.sessionIdleSeconds = std::int64_t{days} * 24 * 60 * 60;
             return true;
         }},
        {"codes-per-hour", "N", "account codes asked for one phone number in any hour (default 3)",
         Number(
             [](Settings & s) -> auto& { return s.server.verificationLimits.requestsPerHour; }, 1, kMaxInt)},
        {"codes-per-day", "N", "account codes asked for one phone number in any 24 hours (default 10)",
         Number(
             [](Settings & s) -> auto& { return s.server.verificationLimits.requestsPerDay; }, 1, kMaxInt)},
        {"address-codes-per-hour", "N", "account codes asked from one client address in any hour (default 3)",
         Number(
             [](Settings & s) -> auto& { return s.server.verificationLimits.addressRequestsPerHour; }, 1, kMaxInt)},
        {"address-codes-per-day", "N", "account codes asked from one client address in any 24 hours (default 10)",
         Number(
             [](Settings & s) -> auto& { return s.server.verificationLimits.addressRequestsPerDay; }, 1, kMaxInt)},
        {"concurrent-hashes", "N", "password hashes computed at once (default: the number of cores)",
         Number(
             [](Settings & s) -> auto& { return s.concurrentHashes; }, 1, 1024)},
        {"threads", "N", "threads serving connections (default: the number of cores, at least 2)",
         Number(
             [](Settings & s) -> auto& { return s.server.threads; }, 1, 1024)},
        {"max-connections", "N", "open connections in all (default 512)",
         Number(
             [](Settings & s) -> auto& { return s.server.maxConnections; }, 1, 1000000)},
        {"max-connections-per-address", "N", "open connections from one client address (default 128)",
         Number(
             [](Settings & s) -> auto& { return s.server.maxConnectionsPerAddress; }, 1, 1000000)},
        {"listen-backlog", "N", "connections waiting to be accepted (default 1024)",
         Number(
             [](Settings & s) -> auto& { return s.server.listenBacklog; }, 1, 65535)},
        {"idle-timeout", "SECONDS", "close a connection that sends nothing for this long (default 10)",
         Number(
             [](Settings & s) -> auto& { return s.server.idleSeconds; }, 1, 3600)},
        {"head-timeout", "SECONDS", "time a request head may take to arrive (default 10)",
         Number(
             [](Settings & s) -> auto& { return s.server.headSeconds; }, 1, 3600)},
        {"smtp", "URL",
         "deliver messages through this relay: smtps://HOST:465, or smtp://HOST:587 with STARTTLS (default: "
         "delivery off)",
         Text([](Settings & s) -> auto& { return s.smtp.url; })},
        {"smtp-from", "ADDRESS", "the sender address of the e-mails",
         Text([](Settings & s) -> auto& { return s.smtp.from; })},
        {"smtp-credentials", "FILE", "the relay's login, \"user:password\" on the file's first line",
         Text([](Settings & s) -> auto& { return s.smtpCredentials; })},
        {"smtp-insecure", "", "allow a relay without TLS (a relay on this machine)",
         [](std::string_view text, Settings& s) {
             if (text != "true" && text != "false") {
                 return false;
             }
             s.smtp.insecure = text == "true";
             return true;
         }},
        {"gateways", "FILE", "the carriers and their e-mail-to-SMS gateways (default: the built-in table)",
         Text([](Settings & s) -> auto& { return s.gateways; })},
        {"help", "", "show this text", {}},
    };
    return options;
}

void Usage(std::ostream& out) {
    out << "Usage: vantro-server [options]\n";
    for (const Option& option : Options()) {
        std::string left = "  --" + std::string(option.name);
        if (!option.value.empty()) {
            left += " " + std::string(option.value);
        }
        out << left << std::string(left.size() < 36 ? 36 - left.size() : 1, ' ') << option.help << "\n";
    }
}

const Option* FindOption(std::string_view name) {
    for (const Option& option : Options()) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// An error message, or nothing when every line was read.
std::optional<std::string> ReadConfig(const std::string& path, Settings& settings) {
    std::ifstream file(path);
    if (!file) {
        return "cannot read the configuration file " + path;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string_view text = Trim(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const std::size_t equals = text.find('=');
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (equals == std::string_view::npos) {
            return where + "expected \"name = value\"";
        }
        const std::string_view name = Trim(text.substr(0, equals));
        const std::string_view value = Trim(text.substr(equals + 1));
        const Option* option = FindOption(name);
        if (option == nullptr || !option->set) {
            return where + "unknown option \"" + std::string(name) + "\"";
        }
        if (!option->set(value, settings)) {
            return where + "unacceptable value \"" + std::string(value) + "\" for " + std::string(name);
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::vector<std::pair<const Option*, std::string_view>> given;
    std::string configFile;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const Option* option = arg.starts_with("--") ? FindOption(arg.substr(2)) : nullptr;
        if (arg == "-h" || (option != nullptr && option->name == "help")) {
            Usage(std::cout);
            return EXIT_SUCCESS;
        }
        if (option != nullptr && option->value.empty() && option->set) {
            given.emplace_back(option, "true"); // a flag
            continue;
        }
        if (option == nullptr || i + 1 >= argc) {
            std::cerr << "vantro-server: unknown or incomplete option \"" << arg << "\"\n";
            Usage(std::cerr);
            return 2;
        }
        const std::string_view value = argv[++i];
        if (option->name == "config") {
            configFile = std::string(value);
        } else {
            given.emplace_back(option, value);
        }
    }
    if (!configFile.empty()) {
        if (const auto error = ReadConfig(configFile, settings)) {
            std::cerr << "vantro-server: " << *error << "\n";
            return 2;
        }
    }
    for (const auto& [option, value] : given) {
        if (!option->set(value, settings)) {
            std::cerr << "vantro-server: unacceptable value \"" << value << "\" for --" << option->name << "\n";
            return 2;
        }
    }
    server::SetConcurrentHashLimit(settings.concurrentHashes);
    server::ServerOptions& options = settings.server;
    try {
        if (!settings.gateways.empty()) {
            options.gateways =
                std::make_shared<const server::GatewayTable>(server::GatewayTable::load(settings.gateways));
        }
        if (!settings.smtp.url.empty()) {
            if (!settings.smtpCredentials.empty()) {
                server::ReadCredentials(settings.smtpCredentials, settings.smtp);
            }
            options.smtp = settings.smtp;
        } else if (!settings.smtp.from.empty() || !settings.smtpCredentials.empty() || settings.smtp.insecure) {
            std::cerr << "vantro-server: --smtp-from, --smtp-credentials and --smtp-insecure need --smtp\n";
            return 2;
        }
    } catch (const std::exception& e) {
        std::cerr << "vantro-server: " << e.what() << std::endl;
        return 2;
    }
    options.console = [](const std::string& line) { std::cout << line << std::endl; };

    // Block the stop signals in every thread (the server's threads inherit the mask) and wait
    // for them on this one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away while its answer is written must not end the service.
    signal(SIGPIPE, SIG_IGN);

    try {
        server::Server service(options);
        service.start();
        std::cout << "Vantro service listening on " << service.baseUrl() << " (port " << service.port() << "), store "
                  << options.databasePath << "\n"
                  << "Demo user: login " << server::kDemoLogin << ", password " << server::kDemoPassword << "\n"
                  << "Press Ctrl+C to stop." << std::endl;

        int received = 0;
        sigwait(&stopSignals, &received);
        std::cout << "Stopping (" << (received == SIGINT ? "SIGINT" : "SIGTERM") << ")..." << std::endl;
        service.stop();
        std::cout << "Stopped." << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "vantro-server: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}

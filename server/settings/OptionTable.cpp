#include "server/settings/OptionTable.h"

#include <charconv>
#include <cstdint>
#include <system_error>

namespace server {

namespace {

constexpr long long kMaxInt = 2147483647;

// A decimal number from `low` to `high`. CLI11's own conversion would also take "0x10" and read
// "010" as octal, so the validator rewrites the number in plain decimal before CLI11 converts it.
CLI::Validator decimal(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            long long value = 0;
            const char* const end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, value);
            if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
                return std::string("not a number from ") + std::to_string(low) + " to " + std::to_string(high);
            }
            text = std::to_string(value);
            return std::string();
        },
        "");
}

// Links in answers are made by appending paths, so the address has a scheme and no final slash.
CLI::Validator webAddress() {
    return CLI::Validator(
        [](std::string& text) {
            const std::string_view url = text;
            if (!(url.starts_with("http://") || url.starts_with("https://")) || url.ends_with("/")) {
                return std::string("not an http:// or https:// address without a final /");
            }
            return std::string();
        },
        "");
}

// The advertisement's link: an http:// or https:// address, or nothing.
CLI::Validator linkAddress() {
    return CLI::Validator(
        [](std::string& text) {
            const std::string_view url = text;
            if (!url.empty() && !url.starts_with("http://") && !url.starts_with("https://")) {
                return std::string("not an http:// or https:// address");
            }
            return std::string();
        },
        "");
}

// The option table, one entry per option, in the help's order; each group a function of its own.
struct OptionGroups {
    CLI::App& app;
    Settings& s;
    ServerOptions& o;

    CLI::Option* text(const char* name, std::string& field, const char* value, const char* help) {
        return app.add_option(name, field, help)->type_name(value);
    }
    template <typename Field>
    CLI::Option* number(const char* name, Field& field, const char* value, long long low, long long high,
                        const char* help) {
        return app.add_option(name, field, help)->type_name(value)->transform(decimal(low, high));
    }

    // Where it listens, its store, its addresses and the send answer's advertisement.
    void service() {
        text("--host", o.host, "ADDRESS", "address to listen on (default 127.0.0.1)");
        number("--port", o.port, "N", 0, 65535, "port to listen on, 0 for any free port (default 8471)");
        text("--db", o.databasePath, "PATH|URI",
             "the SQLite store, created when missing (default ./vantro-server.db), or a PostgreSQL database: "
             "postgresql://... (a libpq URI; its password from a service file or .pgpass, never here)");
        text("--public-url", o.publicUrl, "URL",
             "the address clients reach the service under, for links in answers (default: the listening address)")
            ->check(webAddress());
        app.add_option_function<std::string>(
               "--ad-text", [&o = o](const std::string& value) { o.ad.text = value; },
               "the advertisement's text in every send answer (default: \"Track this message and your last ones\")")
            ->type_name("TEXT");
        app.add_option_function<std::string>(
               "--ad-link", [&o = o](const std::string& value) { o.ad.link = value; },
               "the advertisement link's caption (default: \"See delivery status\")")
            ->type_name("TEXT");
        app.add_option_function<std::string>(
               "--ad-url", [&o = o](const std::string& value) { o.ad.url = value; },
               "the address the advertisement link opens, empty for no link (default: PUBLIC_URL/messages.aspx)")
            ->type_name("URL")
            ->check(linkAddress());
        text("--tls-cert", o.tlsCertFile, "FILE", "serve HTTPS with this certificate chain (PEM); needs --tls-key");
        text("--tls-key", o.tlsKeyFile, "FILE", "the certificate's private key (PEM)");
    }

    // What a user or a client address may do, and how hard logins are to guess.
    void limits() {
        number("--sends-per-minute", o.store.sendsPerMinute, "N", 0, kMaxInt,
               "messages a user may send in any minute, 0 for no limit (default 10)");
        number("--sends-per-day", o.store.sendsPerDay, "N", 0, kMaxInt,
               "messages a user may send in any 24 hours, 0 for no limit (default 200)");
        number("--login-failures", o.throttle.failuresBeforePause, "N", 1, kMaxInt,
               "failed logins for a login or from an address before a pause (default 5)");
        number("--login-pause", o.throttle.firstPauseSeconds, "SECONDS", 1, kMaxInt,
               "the first pause; it doubles with each further failure (default 2)");
        number("--login-pause-max", o.throttle.longestPauseSeconds, "SECONDS", 1, kMaxInt,
               "the longest pause (default 900)");
        app.add_option_function<std::int64_t>(
               "--session-idle-days", [&o = o](std::int64_t days) { o.store.sessionIdleSeconds = days * 24 * 60 * 60; },
               "a login's session ends after this many days unused (default 30)")
            ->type_name("N")
            ->transform(decimal(1, 3650));
        text("--code-key", s.codeKeyFile, "FILE",
             "the secret the account codes are hashed under, at least 32 characters on the file's first line; "
             "the same file for every process on one store (default: a random key per process)");
        number("--delivery-claim", o.store.claimSeconds, "SECONDS", 2, 86400,
               "how long a delivery worker holds the messages it attempts, longer than an attempt takes; a dead "
               "worker's messages go out again "
               "after this (default 300)");
        number("--keep-message-days", o.store.keepMessageDays, "N", 1, 3650,
               "days a message's subject and body are kept once it is delivered, failed, expired or off (default 30)");
        number("--codes-per-hour", o.verificationLimits.requestsPerHour, "N", 1, kMaxInt,
               "account codes asked for one phone number in any hour (default 3)");
        number("--codes-per-day", o.verificationLimits.requestsPerDay, "N", 1, kMaxInt,
               "account codes asked for one phone number in any 24 hours (default 10)");
        number("--address-codes-per-hour", o.verificationLimits.addressRequestsPerHour, "N", 1, kMaxInt,
               "account codes asked from one client address in any hour (default 3)");
        number("--address-codes-per-day", o.verificationLimits.addressRequestsPerDay, "N", 1, kMaxInt,
               "account codes asked from one client address in any 24 hours (default 10)");
        number("--concurrent-hashes", s.concurrentHashes, "N", 1, 1024,
               "password hashes computed at once (default: the number of cores)");
    }

    // Connections and threads.
    void connections() {
        number("--threads", o.threads, "N", 1, 1024,
               "threads serving connections (default: the number of cores, at least 2)");
        number("--max-connections", o.maxConnections, "N", 1, 1000000, "open connections in all (default 512)");
        text("--trusted-proxy", o.trustedProxy, "ADDRESS",
             "a load balancer's address: its requests count as from the client its X-Forwarded-For names");
        number("--max-connections-per-address", o.maxConnectionsPerAddress, "N", 1, 1000000,
               "open connections from one client address (default 32)");
        number("--listen-backlog", o.listenBacklog, "N", 1, 65535, "connections waiting to be accepted (default 1024)");
        number("--idle-timeout", o.idleSeconds, "SECONDS", 1, 3600,
               "close a connection that sends nothing for this long (default 10)");
        number("--head-timeout", o.headSeconds, "SECONDS", 1, 3600,
               "time a whole request, head and body, may take to arrive (default 10)");
    }

    // The delivery routes.
    void delivery() {
        text("--sms-gateway", s.sms.url, "URL",
             "deliver messages as texts through this SMS gateway's sendsms address, e.g. "
             "http://127.0.0.1:13013/cgi-bin/sendsms; when set, the e-mail route is not used");
        text("--sms-gateway-credentials", s.smsCredentials, "FILE",
             "the sendsms user, \"username:password\" on the file's first line");
        text("--sms-from", s.sms.from, "NUMBER", "the sender of the texts: + and its number (E.164), or a short code");
        text("--smtp", s.smtp.url, "URL",
             "deliver messages through this relay: smtps://HOST:465, or smtp://HOST:587 with STARTTLS (default: "
             "delivery off)");
        text("--smtp-from", s.smtp.from, "ADDRESS", "the sender address of the e-mails");
        text("--smtp-credentials", s.smtpCredentials, "FILE",
             "the relay's login, \"user:password\" on the file's first line");
        app.add_flag(
            "--smtp-insecure", s.smtp.insecure,
            "allow a relay without TLS and without a login, only on this machine (localhost, 127.x.x.x, [::1])");
        text("--gateways", s.gateways, "FILE",
             "the carriers and their e-mail-to-SMS gateways (default: the built-in table)");
    }
};

} // namespace

void addOptions(CLI::App& app, Settings& s) {
    // In the help's order: CLI11 adds its help flag first, so it is taken away and added last.
    app.set_help_flag();
    // An option given twice counts the last time.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.set_config("--config", "", "read options from FILE, one \"name = value\" a line; the command line wins")
        ->type_name("FILE");
    OptionGroups options{app, s, s.server};
    options.service();
    options.limits();
    options.connections();
    options.delivery();
    app.set_help_flag("-h,--help", "show this text")->configurable(false);
}

bool acceptable(CLI::Option& option, std::string value) {
    if (option.get_expected_min() == 0) {
        return value == "true" || value == "false"; // a flag
    }
    try {
        return (*option.get_validator(0))(value).empty();
    } catch (const CLI::OptionNotFound&) {
        return true; // a text option without a check takes any value
    }
}

} // namespace server

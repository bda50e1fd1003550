#pragma once

// A loopback SMTP relay for tests: listens on 127.0.0.1, speaks just enough SMTP for libcurl
// (EHLO, STARTTLS, AUTH PLAIN, MAIL, RCPT, DATA, RSET, NOOP, QUIT), records every transaction and
// answers each one as the test scripted it. Without TLS by default (the service talks to it with
// the insecure option); with it, STARTTLS under a certificate for 127.0.0.1 from a CA of its own.

#include "LoopbackListener.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace smtpsink {

// Standard padded base64 as AUTH PLAIN and base64 bodies use it, blanks and line breaks skipped.
// Text that is not that comes back as "<not base64: TEXT>", which no expectation matches.
std::string Base64Decode(std::string_view text);

// How the sink ends one mail transaction, once the message's data has arrived.
struct Reaction {
    enum class Kind {
        Accept, // 250
        Reply,  // the scripted reply, e.g. "451 4.3.0 Try again later"
        Drop,   // closes the connection without a word
    };
    Kind kind = Kind::Accept;
    std::string reply;

    static Reaction accept() { return {}; }
    static Reaction answer(std::string line) { return {Kind::Reply, std::move(line)}; }
    static Reaction drop() { return {Kind::Drop, {}}; }
};

struct Transaction {
    std::string authUser; // from AUTH PLAIN, empty without it
    std::string authPassword;
    bool authOverTls = false; // the AUTH came after STARTTLS
    std::string mailFrom;     // the address between < and >
    std::vector<std::string> recipients;
    std::string data; // as it arrived after DATA, dot-stuffing undone, without the final ".\r\n"
    bool accepted = false;
};

enum class SinkTls { None, StartTls };

class SmtpSink {
public:
    // Listens at once on a free port. With StartTls, first makes its CA and certificate with the
    // openssl command (throws when it cannot).
    explicit SmtpSink(SinkTls tls = SinkTls::None);
    ~SmtpSink(); // stops and waits for its thread
    SmtpSink(const SmtpSink&) = delete;
    SmtpSink& operator=(const SmtpSink&) = delete;

    int port() const noexcept { return m_listener.port(); }
    std::string url() const { return "smtp://127.0.0.1:" + std::to_string(m_listener.port()); }

    // Reactions for the next transactions, in order; once they are used up, every transaction
    // is accepted.
    void script(std::vector<Reaction> reactions);

    // The CA the StartTls sink's certificate is checked against.
    std::string caFile() const { return m_dir + "/ca.pem"; }

    // AUTH commands that came without TLS, whether or not a transaction followed.
    std::size_t authsWithoutTls() const;

    // Every transaction that reached the end of its data, accepted or not, oldest first.
    std::vector<Transaction> transactions() const;
    std::vector<Transaction> accepted() const;

    // Waits until `count` transactions have been accepted, or gives up after `limit` (a guard
    // against a hanging test, not a measurement). True when they arrived.
    bool waitForAccepted(std::size_t count, std::chrono::seconds limit = std::chrono::seconds(30)) const;

private:
    void serve();
    void converse(int client);
    Reaction nextReaction();

    void makeCertificates();

    std::string m_dir;             // the certificates, with StartTls
    void* m_credentials = nullptr; // gnutls_certificate_credentials_t, with StartTls
    testsupport::LoopbackListener m_listener;
    std::thread m_thread;
    std::size_t m_authsWithoutTls = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Reaction> m_script;
    std::vector<Transaction> m_transactions;
};

} // namespace smtpsink

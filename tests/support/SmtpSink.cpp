#include "SmtpSink.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

namespace smtpsink {

std::string Base64Decode(std::string_view text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), " \t\r\n",
                          &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        return "<not base64: " + std::string(text) + ">";
    }
    out.resize(length);
    return out;
}

namespace {

bool StartsWithCommand(std::string_view line, std::string_view command) {
    if (line.size() < command.size()) {
        return false;
    }
    for (std::size_t i = 0; i < command.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) != command[i]) {
            return false;
        }
    }
    return true;
}

std::string Between(std::string_view line, char open, char close) {
    const auto begin = line.find(open);
    const auto end = line.find(close, begin == std::string_view::npos ? 0 : begin + 1);
    if (begin == std::string_view::npos || end == std::string_view::npos) {
        return {};
    }
    return std::string(line.substr(begin + 1, end - begin - 1));
}

// The conversation's socket, and its TLS session once the client has taken STARTTLS.
struct Channel {
    int socket;
    gnutls_session_t tls = nullptr;

    ~Channel() {
        if (tls != nullptr) {
            gnutls_deinit(tls);
        }
    }

    bool pending() const { return tls != nullptr && gnutls_record_check_pending(tls) > 0; }

    ssize_t receive(char* buffer, std::size_t size) const {
        if (tls == nullptr) {
            return ::recv(socket, buffer, size, 0);
        }
        ssize_t got = 0;
        do {
            got = gnutls_record_recv(tls, buffer, size);
        } while (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED);
        return got;
    }

    void say(std::string_view line) const {
        std::string text(line);
        text += "\r\n";
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = tls != nullptr ? gnutls_record_send(tls, text.data() + sent, text.size() - sent)
                                             : ::send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    // The server's side of the TLS handshake, with the sink's certificate.
    bool startTls(void* credentials) {
        gnutls_init(&tls, GNUTLS_SERVER);
        gnutls_set_default_priority(tls);
        gnutls_credentials_set(tls, GNUTLS_CRD_CERTIFICATE, credentials);
        gnutls_transport_set_int(tls, socket);
        gnutls_handshake_set_timeout(tls, 5000);
        int status = 0;
        do {
            status = gnutls_handshake(tls);
        } while (status < 0 && gnutls_error_is_fatal(status) == 0);
        return status == GNUTLS_E_SUCCESS;
    }
};

// Reads CR LF terminated lines from a channel, giving up when the sink stops.
class LineReader {
public:
    LineReader(const Channel& channel, int wake) : m_channel(channel), m_wake(wake) {}

    std::optional<std::string> line() {
        for (;;) {
            const auto end = m_buffer.find("\r\n");
            if (end != std::string::npos) {
                std::string result = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 2);
                return result;
            }
            if (!m_channel.pending()) {
                pollfd fds[2] = {{m_channel.socket, POLLIN, 0}, {m_wake, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
                    return std::nullopt;
                }
            }
            char chunk[4096];
            const ssize_t got = m_channel.receive(chunk, sizeof chunk);
            if (got <= 0) {
                return std::nullopt;
            }
            m_buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

    // What came in the clear before STARTTLS is never read as sent under TLS.
    void forget() { m_buffer.clear(); }

private:
    const Channel& m_channel;
    int m_wake;
    std::string m_buffer;
};

} // namespace

SmtpSink::SmtpSink(SinkTls tls) : m_listener("SmtpSink", 8) {
    if (tls == SinkTls::StartTls) {
        makeCertificates();
    }
    m_thread = std::thread([this] { serve(); });
}

SmtpSink::~SmtpSink() {
    m_listener.wake(); // ends the thread
    m_thread.join();
    if (m_credentials != nullptr) {
        gnutls_certificate_free_credentials(static_cast<gnutls_certificate_credentials_t>(m_credentials));
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
}

// A CA of the sink's own and, signed by it, a certificate for 127.0.0.1, which is what the
// client checks the name against.
void SmtpSink::makeCertificates() {
    static std::atomic<int> made = 0;
    m_dir = (std::filesystem::temp_directory_path() /
             ("vantro-smtp-sink-" + std::to_string(::getpid()) + "-" + std::to_string(++made)))
                .string();
    std::filesystem::create_directories(m_dir);
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string script =
        "{ cd '" + m_dir + "' && openssl req -x509 " + key +
        " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Vantro Test Relay CA'"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"
        " && openssl req " +
        key + " -keyout relay.key -out relay.csr -subj /CN=127.0.0.1" +
        " && printf 'subjectAltName=IP:127.0.0.1\\n' > relay.ext" +
        " && openssl x509 -req -in relay.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile relay.ext"
        " -out relay.pem; } >/dev/null 2>&1";
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_certificate_allocate_credentials(&credentials);
    m_credentials = credentials;
    if (std::system(script.c_str()) != 0 ||
        gnutls_certificate_set_x509_key_file(credentials, (m_dir + "/relay.pem").c_str(),
                                             (m_dir + "/relay.key").c_str(), GNUTLS_X509_FMT_PEM) < 0) {
        throw std::runtime_error("SmtpSink: the openssl command could not make the relay's certificate");
    }
}

std::size_t SmtpSink::authsWithoutTls() const {
    std::lock_guard lock(m_mutex);
    return m_authsWithoutTls;
}

void SmtpSink::script(std::vector<Reaction> reactions) {
    std::lock_guard lock(m_mutex);
    m_script.assign(reactions.begin(), reactions.end());
}

std::vector<Transaction> SmtpSink::transactions() const {
    std::lock_guard lock(m_mutex);
    return m_transactions;
}

std::vector<Transaction> SmtpSink::accepted() const {
    std::lock_guard lock(m_mutex);
    std::vector<Transaction> result;
    std::copy_if(m_transactions.begin(), m_transactions.end(), std::back_inserter(result),
                 [](const Transaction& t) { return t.accepted; });
    return result;
}

bool SmtpSink::waitForAccepted(std::size_t count, std::chrono::seconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] {
        return static_cast<std::size_t>(std::count_if(m_transactions.begin(), m_transactions.end(),
                                                      [](const Transaction& t) { return t.accepted; })) >= count;
    });
}

Reaction SmtpSink::nextReaction() {
    std::lock_guard lock(m_mutex);
    if (m_script.empty()) {
        return Reaction::accept();
    }
    Reaction reaction = m_script.front();
    m_script.pop_front();
    return reaction;
}

void SmtpSink::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listener.socket(), POLLIN, 0}, {m_listener.wakeEnd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        const int client = ::accept(m_listener.socket(), nullptr, nullptr);
        if (client >= 0) {
            converse(client);
            ::close(client);
        }
    }
}

void SmtpSink::converse(int client) {
    Channel channel{client};
    LineReader reader(channel, m_listener.wakeEnd());
    channel.say("220 sink.test ESMTP ready");
    Transaction current;
    while (const auto line = reader.line()) {
        if (StartsWithCommand(*line, "EHLO")) {
            channel.say("250-sink.test");
            if (m_credentials != nullptr && channel.tls == nullptr) {
                channel.say("250-STARTTLS");
            }
            channel.say("250-8BITMIME");
            channel.say("250 AUTH PLAIN");
        } else if (StartsWithCommand(*line, "HELO") || StartsWithCommand(*line, "NOOP")) {
            channel.say("250 OK");
        } else if (StartsWithCommand(*line, "STARTTLS") && m_credentials != nullptr && channel.tls == nullptr) {
            channel.say("220 2.0.0 Ready to start TLS");
            reader.forget();
            if (!channel.startTls(m_credentials)) {
                return;
            }
            current = Transaction{};
        } else if (StartsWithCommand(*line, "AUTH PLAIN")) {
            current.authOverTls = channel.tls != nullptr;
            if (channel.tls == nullptr) {
                std::lock_guard lock(m_mutex);
                ++m_authsWithoutTls;
            }
            std::string encoded = line->substr(std::min<std::size_t>(line->size(), 11));
            if (encoded.empty()) {
                channel.say("334 ");
                const auto answer = reader.line();
                if (!answer) {
                    return;
                }
                encoded = *answer;
            }
            // authorisation id NUL user NUL password
            const std::string plain = Base64Decode(encoded);
            const auto first = plain.find('\0');
            const auto second = plain.find('\0', first == std::string::npos ? 0 : first + 1);
            if (first != std::string::npos && second != std::string::npos) {
                current.authUser = plain.substr(first + 1, second - first - 1);
                current.authPassword = plain.substr(second + 1);
            }
            channel.say("235 2.7.0 Authentication successful");
        } else if (StartsWithCommand(*line, "MAIL FROM:")) {
            current.mailFrom = Between(*line, '<', '>');
            current.recipients.clear();
            current.data.clear();
            channel.say("250 2.1.0 OK");
        } else if (StartsWithCommand(*line, "RCPT TO:")) {
            current.recipients.push_back(Between(*line, '<', '>'));
            channel.say("250 2.1.5 OK");
        } else if (StartsWithCommand(*line, "DATA")) {
            channel.say("354 End data with <CR><LF>.<CR><LF>");
            for (;;) {
                const auto dataLine = reader.line();
                if (!dataLine) {
                    return;
                }
                if (*dataLine == ".") {
                    break;
                }
                current.data += dataLine->starts_with('.') ? dataLine->substr(1) : *dataLine;
                current.data += "\r\n";
            }
            const Reaction reaction = nextReaction();
            current.accepted = reaction.kind == Reaction::Kind::Accept;
            {
                std::lock_guard lock(m_mutex);
                m_transactions.push_back(current);
            }
            m_changed.notify_all();
            if (reaction.kind == Reaction::Kind::Drop) {
                return;
            }
            channel.say(current.accepted ? std::string("250 2.0.0 Queued") : reaction.reply);
        } else if (StartsWithCommand(*line, "RSET")) {
            current = Transaction{current.authUser, current.authPassword, current.authOverTls, {}, {}, {}, false};
            channel.say("250 OK");
        } else if (StartsWithCommand(*line, "QUIT")) {
            channel.say("221 Bye");
            return;
        } else {
            channel.say("502 5.5.2 Command not recognised");
        }
    }
}

} // namespace smtpsink

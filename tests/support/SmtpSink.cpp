#include "SmtpSink.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>
#include <string_view>

#include <arpa/inet.h>
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

// Reads CR LF terminated lines from a socket, giving up when the sink stops.
class LineReader {
public:
    LineReader(int socket, int wake) : m_socket(socket), m_wake(wake) {}

    std::optional<std::string> line() {
        for (;;) {
            const auto end = m_buffer.find("\r\n");
            if (end != std::string::npos) {
                std::string result = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 2);
                return result;
            }
            pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t got = ::recv(m_socket, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return std::nullopt;
            }
            m_buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

private:
    int m_socket;
    int m_wake;
    std::string m_buffer;
};

void Say(int socket, std::string_view line) {
    std::string text(line);
    text += "\r\n";
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace

SmtpSink::SmtpSink() : m_listener("SmtpSink", 8) { m_thread = std::thread([this] { serve(); }); }

SmtpSink::~SmtpSink() {
    m_listener.wake(); // ends the thread
    m_thread.join();
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
    LineReader reader(client, m_listener.wakeEnd());
    Say(client, "220 sink.test ESMTP ready");
    Transaction current;
    while (const auto line = reader.line()) {
        if (StartsWithCommand(*line, "EHLO")) {
            Say(client, "250-sink.test");
            Say(client, "250-8BITMIME");
            Say(client, "250 AUTH PLAIN");
        } else if (StartsWithCommand(*line, "HELO") || StartsWithCommand(*line, "NOOP")) {
            Say(client, "250 OK");
        } else if (StartsWithCommand(*line, "AUTH PLAIN")) {
            std::string encoded = line->substr(std::min<std::size_t>(line->size(), 11));
            if (encoded.empty()) {
                Say(client, "334 ");
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
            Say(client, "235 2.7.0 Authentication successful");
        } else if (StartsWithCommand(*line, "MAIL FROM:")) {
            current.mailFrom = Between(*line, '<', '>');
            current.recipients.clear();
            current.data.clear();
            Say(client, "250 2.1.0 OK");
        } else if (StartsWithCommand(*line, "RCPT TO:")) {
            current.recipients.push_back(Between(*line, '<', '>'));
            Say(client, "250 2.1.5 OK");
        } else if (StartsWithCommand(*line, "DATA")) {
            Say(client, "354 End data with <CR><LF>.<CR><LF>");
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
            Say(client, current.accepted ? std::string("250 2.0.0 Queued") : reaction.reply);
        } else if (StartsWithCommand(*line, "RSET")) {
            current = Transaction{current.authUser, current.authPassword, {}, {}, {}, false};
            Say(client, "250 OK");
        } else if (StartsWithCommand(*line, "QUIT")) {
            Say(client, "221 Bye");
            return;
        } else {
            Say(client, "502 5.5.2 Command not recognised");
        }
    }
}

} // namespace smtpsink

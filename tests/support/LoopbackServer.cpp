#include "tests/support/LoopbackServer.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

bool sendAll(int socket, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

const char* reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

int openListener(const std::string& host, int& port, int backlog = 16) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) {
        throw std::runtime_error("socket() failed");
    }
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        ::close(listener);
        throw std::runtime_error("not an IPv4 address: " + host);
    }
    address.sin_port = 0;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, backlog) != 0) {
        ::close(listener);
        throw std::runtime_error("bind() or listen() failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

} // namespace

std::vector<std::string> RecordedRequest::headerNames() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : headers) {
        names.push_back(name);
    }
    return names;
}

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return {};
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return equalsIgnoringCase(h.first, name); });
}

LoopbackServer::LoopbackServer(std::string address)
    : m_address(std::move(address)), m_listener(openListener(m_address, m_port)), m_thread([this] { serve(); }) {}

LoopbackServer::~LoopbackServer() {
    m_stopping = true;
    m_thread.join();
    ::close(m_listener);
}

std::string LoopbackServer::url() const { return "http://" + m_address + ":" + std::to_string(m_port); }

void LoopbackServer::reply(const std::string& path, ScriptedReply reply) { replyInTurn(path, {std::move(reply)}); }

void LoopbackServer::replyInTurn(const std::string& path, std::vector<ScriptedReply> replies) {
    std::lock_guard lock(m_mutex);
    m_replies[path] = std::deque<ScriptedReply>(replies.begin(), replies.end());
}

void LoopbackServer::reply(const std::string& path, int status, std::string body) {
    ScriptedReply r;
    r.status = status;
    r.body = std::move(body);
    reply(path, std::move(r));
}

void LoopbackServer::replyXml(const std::string& path, const std::string& body) {
    ScriptedReply r;
    r.body = body;
    r.headers = {{"Content-Type", "text/xml"}};
    reply(path, std::move(r));
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<RecordedRequest> LoopbackServer::requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> matching;
    for (const RecordedRequest& request : requests()) {
        if (pathOf(request.target) == path) {
            matching.push_back(request);
        }
    }
    return matching;
}

std::string LoopbackServer::closedPortUrl() {
    int port = 0;
    ::close(openListener("127.0.0.1", port));
    return "http://127.0.0.1:" + std::to_string(port);
}

ScriptedReply LoopbackServer::nextReply(const std::string& path) {
    std::lock_guard lock(m_mutex);
    auto found = m_replies.find(path);
    if (found == m_replies.end() || found->second.empty()) {
        ScriptedReply notFound;
        notFound.status = 404;
        notFound.body = "no reply scripted for " + path;
        return notFound;
    }
    ScriptedReply next = found->second.front();
    if (found->second.size() > 1) {
        found->second.pop_front();
    }
    return next;
}

void LoopbackServer::serve() {
    while (!m_stopping) {
        pollfd waiting{m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 20) <= 0) {
            continue;
        }
        const int connection = ::accept(m_listener, nullptr, nullptr);
        if (connection >= 0) {
            handle(connection);
            ::close(connection);
        }
    }
}

void LoopbackServer::handle(int connection) {
    std::string received;
    char buffer[4096];
    std::size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        received.append(buffer, static_cast<std::size_t>(n));
        headEnd = received.find("\r\n\r\n");
    }

    RecordedRequest request;
    std::size_t lineStart = 0;
    std::size_t lineEnd = received.find("\r\n");
    const std::string requestLine = received.substr(0, lineEnd);
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    lineStart = lineEnd + 2;
    while (lineStart < headEnd) {
        lineEnd = received.find("\r\n", lineStart);
        const std::string line = received.substr(lineStart, lineEnd - lineStart);
        const std::size_t colon = line.find(':');
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        request.headers.emplace_back(line.substr(0, colon), value);
        lineStart = lineEnd + 2;
    }

    request.body = received.substr(headEnd + 4);
    const std::string length = request.header("Content-Length");
    const std::size_t expected = length.empty() ? 0 : std::stoul(length);
    while (request.body.size() < expected) {
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        request.body.append(buffer, static_cast<std::size_t>(n));
    }
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
    }

    const ScriptedReply reply = nextReply(pathOf(request.target));
    if (reply.fault == WireFault::CloseWithoutAnswer) {
        return;
    }
    if (reply.fault != WireFault::StallAfterHeaders) {
        std::this_thread::sleep_for(reply.delay);
    }
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers) {
        head += name + ": " + value + "\r\n";
    }
    if (reply.fault == WireFault::Chunked) {
        sendAll(connection, head + "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
        constexpr std::size_t kChunk = 64 * 1024;
        for (std::size_t at = 0; at < reply.body.size(); at += kChunk) {
            const std::string piece = reply.body.substr(at, kChunk);
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            sendAll(connection, size + piece + "\r\n");
        }
        sendAll(connection, "0\r\n\r\n");
        return;
    }
    head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
    if (reply.fault == WireFault::StallAfterHeaders) {
        sendAll(connection, head);
        std::this_thread::sleep_for(reply.delay);
        sendAll(connection, reply.body);
    } else if (reply.fault == WireFault::ResetMidBody) {
        sendAll(connection, head + reply.body.substr(0, reply.body.size() / 2));
        // A zero linger time makes close() send a reset instead of an orderly end.
        const linger reset{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else if (reply.trickleEvery.count() > 0) {
        // Ends early once the client has given up, so that the server can stop.
        bool open = sendAll(connection, head);
        for (std::size_t i = 0; open && i < reply.body.size() && !m_stopping; ++i) {
            std::this_thread::sleep_for(reply.trickleEvery);
            open = sendAll(connection, reply.body.substr(i, 1));
        }
    } else if (reply.stallMidBody.count() > 0) {
        const std::size_t half = reply.body.size() / 2;
        sendAll(connection, head + reply.body.substr(0, half));
        std::this_thread::sleep_for(reply.stallMidBody);
        sendAll(connection, reply.body.substr(half));
    } else {
        sendAll(connection, head + reply.body);
    }
}

UnansweredListener::UnansweredListener() : m_listener(openListener("127.0.0.1", m_port, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(m_port));
    // A backlog of 0 holds one connection; the next handshakes are dropped and stay unanswered.
    for (int i = 0; i < 2; ++i) {
        const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(waiting, reinterpret_cast<sockaddr*>(&address), sizeof address);
        m_waiting.push_back(waiting);
    }
}

UnansweredListener::~UnansweredListener() {
    for (int waiting : m_waiting) {
        ::close(waiting);
    }
    ::close(m_listener);
}

std::string UnansweredListener::url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A request as it reached the server, byte for byte.
struct RecordedRequest {
    std::string method;
    std::string target;                                       // path and query
    std::vector<std::pair<std::string, std::string>> headers; // in the order received
    std::string body;

    std::vector<std::string> headerNames() const;
    // The value of the first header of that name (any case), or "" when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

// How a scripted reply goes wrong on the wire, if it does.
enum class WireFault {
    None,
    CloseWithoutAnswer, // the request is read, then the connection is closed with nothing sent
    ResetMidBody,       // half the body, then a TCP reset
    StallAfterHeaders,  // the head, then nothing for `delay` before the body
    Chunked,            // the body in 64 KiB chunks, its length never announced
};

struct ScriptedReply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0};        // before anything is sent
    std::chrono::milliseconds stallMidBody{0}; // after half the body has been sent
    std::chrono::milliseconds trickleEvery{0}; // the body one byte at a time, this far apart
    WireFault fault = WireFault::None;
};

// An HTTP/1.1 server on 127.0.0.1 (or another loopback address) at a free port, run on a thread of its own, answering
// each path as the test scripted it and recording every request. Hand-rolled on plain sockets rather than cpp-httplib
// because the tests check the order of the request headers, which cpp-httplib does not keep.
class LoopbackServer {
public:
    explicit LoopbackServer(std::string address = "127.0.0.1");
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // "http://<address>:<port>"
    std::string url() const;
    int port() const { return m_port; }

    // Answers every request for `path` (without query) with `reply`.
    void reply(const std::string& path, ScriptedReply reply);
    // Answers the requests for `path` with `replies` in turn; the last one stays.
    void replyInTurn(const std::string& path, std::vector<ScriptedReply> replies);
    // Shorthand: `status` with `body`.
    void reply(const std::string& path, int status, std::string body);
    // Shorthand: status 200 with `body`.
    void replyXml(const std::string& path, const std::string& body);

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsTo(const std::string& path) const;

    // An address where nothing listens: a port that was free a moment ago.
    static std::string closedPortUrl();

private:
    void serve();
    void handle(int connection);
    ScriptedReply nextReply(const std::string& path);

    std::string m_address; // before m_listener, which is opened on it
    int m_port = 0;        // before m_listener: opening the listener sets it
    int m_listener = -1;
    std::atomic<bool> m_stopping{false};
    mutable std::mutex m_mutex;
    std::map<std::string, std::deque<ScriptedReply>> m_replies;
    std::vector<RecordedRequest> m_requests;
    std::thread m_thread;
};

// An address where a connect never completes: a listener on 127.0.0.1 whose queue of connections
// is already full, so that the kernel drops every further handshake.
class UnansweredListener {
public:
    UnansweredListener();
    ~UnansweredListener();
    UnansweredListener(const UnansweredListener&) = delete;
    UnansweredListener& operator=(const UnansweredListener&) = delete;

    std::string url() const;

private:
    int m_port = 0;
    int m_listener = -1;
    std::vector<int> m_waiting; // the connections that fill the queue
};

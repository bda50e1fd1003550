#pragma once

#include "server/delivery/GatewayTable.h"
#include "server/delivery/DeliveryQueue.h"
#include "server/delivery/MailSender.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace server {

// Sends the outbox's queued messages, one at a time, on one thread of its own.
//
// A temporary failure is tried again after 1 minute, then 5 minutes, 30 minutes and every
// 2 hours, until 24 hours after the message was accepted; then it fails. A permanent failure
// (5xx) fails at once. A message is marked sent only after the relay took it, so a crash in
// between sends it again, with the same Message-ID: at least once, never lost.
class DeliveryWorker {
public:
    using Clock = std::function<TimePoint()>;
    using Log = std::function<void(const std::string&)>;

    static constexpr std::chrono::hours kGiveUpAfter{24};
    // The pause after the given number of failed attempts (1, 2, ...).
    static std::chrono::seconds retryPause(int failedAttempts);

    // `log` gets one line per attempt and may be empty. `clock` is the time source; tests pass
    // their own to step through the pauses without waiting.
    DeliveryWorker(
        DeliveryQueue& queue, MailSender& sender, const GatewayTable& gateways, std::string from, Log log,
        Clock clock = [] { return std::chrono::system_clock::now(); });
    ~DeliveryWorker();
    DeliveryWorker(const DeliveryWorker&) = delete;
    DeliveryWorker& operator=(const DeliveryWorker&) = delete;

    // Attempts every message due now, on the calling thread; returns how many it attempted.
    int deliverDue();

    // Runs deliverDue on the worker's thread whenever something is due or wake() is called.
    void start();
    // Asks the thread to end without waiting: from now on, a send that is cut short (the
    // sender's cancel flag) leaves its message queued as it was.
    void requestStop();
    // requestStop, then waits for the thread.
    void stop();
    // A message has been queued.
    void wake();

private:
    void run();
    void log(const std::string& line) const;

    DeliveryQueue& m_queue;
    MailSender& m_sender;
    const GatewayTable& m_gateways;
    std::string m_from;
    Log m_log;
    Clock m_clock;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    std::thread m_thread;
};

} // namespace server

#pragma once

#include "server/delivery/GatewayTable.h"
#include "server/delivery/DeliveryQueue.h"
#include "server/delivery/MailSender.h"
#include "server/delivery/SmsGateway.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace server {

// Sends the outbox's queued messages on one thread of its own: by e-mail to the carriers' gateways
// through an SMTP relay, one at a time, or as texts through the SMS gateway, kTextsInFlight at once.
//
// A temporary failure is tried again after 1 minute, then 5 minutes, 30 minutes and every
// 2 hours, until 24 hours after the message was accepted; then it fails. A permanent failure
// (5xx, or the SMS gateway's 4xx) fails at once. A message is marked accepted only after the relay
// or the gateway took it, so a crash in between sends it again: at least once, never lost (the
// e-mail carries the same Message-ID again; the text cannot say it is a repeat).
class DeliveryWorker {
public:
    using Clock = std::function<TimePoint()>;
    using Log = std::function<void(const std::string&)>;

    static constexpr std::chrono::hours kGiveUpAfter{24};
    // Texts handed to the SMS gateway at once. smsbox answers only once bearerbox has taken the
    // text, and Kannel's own connection between the two holds small writes back until the other
    // side's delayed ACK (Nagle, 40 ms): each answer takes 40 to 80 ms however idle the gateway,
    // so the texts in flight set the pace: 8 made about 100 a second, 64 over 1,000 (README).
    static constexpr int kTextsInFlight = 64;
    // The pause after the given number of failed attempts (1, 2, ...).
    static std::chrono::seconds retryPause(int failedAttempts);

    // `log` gets one line per attempt and may be empty. `clock` is the time source; tests pass
    // their own to step through the pauses without waiting.
    DeliveryWorker(
        DeliveryQueue& queue, MailSender& sender, const GatewayTable& gateways, std::string from, Log log,
        Clock clock = [] { return std::chrono::system_clock::now(); });
    // Through the SMS gateway. `reportUrl` is the service's delivery-report address
    // (PUBLIC-URL/delivery-report); each text asks the gateway to call it with a secret of its own.
    DeliveryWorker(
        DeliveryQueue& queue, SmsSender& sender, std::string reportUrl, Log log,
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
    struct Attempt {
        std::string to; // for the log
        bool accepted = false;
        bool permanent = false;
        bool withdrawn = false; // no longer queued when its turn came: not attempted
        std::string reply;
    };
    Attempt sendMail(const QueuedMessage& message, TimePoint now);
    Attempt sendText(const QueuedMessage& message, TimePoint now);
    // Marks the message as the attempt ended; false when the attempt was cut short by stop().
    bool record(const QueuedMessage& message, const Attempt& attempt, TimePoint now);
    int deliverTextsDue();
    void run();
    void log(const std::string& line) const;

    DeliveryQueue& m_queue;
    MailSender* m_sender = nullptr;    // the e-mail route, or
    const GatewayTable* m_gateways = nullptr;
    SmsSender* m_sms = nullptr;        // the SMS gateway's
    std::string m_from;
    std::string m_reportUrl;
    Log m_log;
    Clock m_clock;
    std::atomic<bool> m_stopping{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    std::thread m_thread;
};

} // namespace server

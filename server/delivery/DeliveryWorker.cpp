#include "server/delivery/DeliveryWorker.h"

#include "server/delivery/MailMessage.h"
#include "server/delivery/ReportSecret.h"

#include <array>
#include <atomic>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace server {

std::string UtcText(TimePoint when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::optional<TimePoint> ParseUtcText(std::string_view text) {
    std::tm utc{};
    int year = 0;
    int month = 0;
    char zone = 0;
    const std::string copy(text);
    if (text.size() != 20 ||
        std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &utc.tm_mday, &utc.tm_hour, &utc.tm_min,
                    &utc.tm_sec, &zone) != 7 ||
        zone != 'Z') {
        return std::nullopt;
    }
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    return std::chrono::system_clock::from_time_t(timegm(&utc));
}

std::chrono::seconds DeliveryWorker::retryPause(int failedAttempts) {
    using namespace std::chrono;
    static constexpr std::array<seconds, 4> kPauses{minutes(1), minutes(5), minutes(30), hours(2)};
    const auto index = static_cast<std::size_t>(failedAttempts < 1 ? 0 : failedAttempts - 1);
    return kPauses[std::min(index, kPauses.size() - 1)];
}

DeliveryWorker::DeliveryWorker(DeliveryQueue& queue, MailSender& sender, const GatewayTable& gateways, std::string from,
                               Log log, Clock clock)
    : m_queue(queue), m_sender(&sender), m_gateways(&gateways), m_from(std::move(from)), m_log(std::move(log)),
      m_clock(std::move(clock)) {}

DeliveryWorker::DeliveryWorker(DeliveryQueue& queue, SmsSender& sender, std::string reportUrl, Log log, Clock clock)
    : m_queue(queue), m_sms(&sender), m_reportUrl(std::move(reportUrl)), m_log(std::move(log)),
      m_clock(std::move(clock)) {}

DeliveryWorker::~DeliveryWorker() { stop(); }

void DeliveryWorker::log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

DeliveryWorker::Attempt DeliveryWorker::sendMail(const QueuedMessage& message, TimePoint now) {
    Attempt attempt;
    attempt.to = m_gateways->address(message.number, message.carrier);
    if (attempt.to.empty()) {
        // The gateway was taken out of the table after the message was accepted.
        attempt.permanent = true;
        attempt.reply = "no e-mail gateway for the carrier " + message.carrier;
        return attempt;
    }
    MailFields fields;
    fields.from = m_from;
    fields.to = attempt.to;
    fields.subject = message.subject;
    fields.body = message.body;
    // Date and Message-ID come from the outbox entry, so every attempt sends the same e-mail.
    fields.date = ParseUtcText(message.queuedAt).value_or(now);
    fields.messageId = MessageIdFor(message.id, message.queuedAt, m_from);
    const SendOutcome outcome = m_sender->send(m_from, attempt.to, ComposeMail(fields));
    attempt.accepted = outcome.kind == SendOutcome::Kind::Delivered;
    attempt.permanent = outcome.kind == SendOutcome::Kind::Permanent;
    attempt.reply = outcome.reply;
    return attempt;
}

DeliveryWorker::Attempt DeliveryWorker::sendText(const QueuedMessage& message, TimePoint now) {
    Attempt attempt;
    SmsSubmission submission;
    submission.to = E164FromUsNumber(message.number);
    submission.text = SmsText(message.subject, message.body);
    // A new secret for each attempt, its hash stored first: the gateway may report before it
    // answers. Reports of an earlier attempt that the gateway took after all no longer match.
    const std::string secret = NewReportSecret();
    if (!m_queue.setReportSecretHash(message.id, ReportSecretHash(secret))) {
        attempt.withdrawn = true;
        return attempt;
    }
    submission.dlrUrl = m_reportUrl + "?id=" + std::to_string(message.id) + "&secret=" + secret +
                        "&type=%d&reply=%A"; // Kannel fills in the report's type and the SMSC's text
    if (const auto expires = ParseUtcText(message.expiresAt)) {
        // An account code is worth nothing after its validity, on the SMSC as here.
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(*expires - now).count();
        submission.validityMinutes = static_cast<int>(std::max<long long>(1, (left + 59) / 60));
    }
    attempt.to = submission.to;
    const SmsOutcome outcome = m_sms->submit(submission);
    attempt.accepted = outcome.kind == SmsOutcome::Kind::Accepted;
    attempt.permanent = outcome.kind == SmsOutcome::Kind::Permanent;
    attempt.reply = outcome.reply;
    return attempt;
}

bool DeliveryWorker::record(const QueuedMessage& message, const Attempt& attempt, TimePoint now) {
    const int attempts = message.attempts + 1;
    const std::string label = "SMS #" + std::to_string(message.id);
    const std::string& to = attempt.to;
    if (attempt.withdrawn) {
        log(label + " withdrawn before its attempt: no longer queued");
    } else if (attempt.accepted) {
        m_queue.markAccepted(message.id, attempts, attempt.reply);
        log(label + (m_sms != nullptr ? " accepted by the SMS gateway for " : " sent to ") + to + ": " + attempt.reply);
    } else if (m_stopping) {
        return false; // cut short by stop(): it stays queued and goes again after the restart
    } else if (attempt.permanent) {
        m_queue.markFailed(message.id, attempts, attempt.reply);
        log(label + (to.empty() ? std::string(" failed: ") : " to " + to + " refused: ") + attempt.reply);
    } else {
        const TimePoint giveUp = ParseUtcText(message.queuedAt).value_or(now) + kGiveUpAfter;
        if (now >= giveUp) {
            m_queue.markFailed(message.id, attempts, attempt.reply);
            log(label + " to " + to + " failed for 24 hours, given up: " + attempt.reply);
        } else {
            // The last attempt falls at the 24-hour mark.
            const TimePoint next = std::min(now + retryPause(attempts), giveUp);
            m_queue.markRetry(message.id, attempts, next, attempt.reply);
            log(label + " to " + to + " not sent, next attempt " + UtcText(next) + ": " + attempt.reply);
        }
    }
    return true;
}

int DeliveryWorker::deliverTextsDue() {
    int attempted = 0;
    while (!m_stopping) {
        const TimePoint now = m_clock();
        const std::vector<QueuedMessage> due = m_queue.dueMessages(now, kTextsInFlight);
        if (due.empty()) {
            break;
        }
        // Handed over together, each recorded as soon as its answer is in, so that the records
        // share the store's syncs. The next batch is read once all are recorded: no message is in
        // two batches.
        std::mutex cutShortMutex;
        std::vector<std::int64_t> cutShort;
        std::vector<std::exception_ptr> errors(due.size());
        const auto attempt = [&](std::size_t i) {
            try {
                if (!record(due[i], sendText(due[i], now), now)) {
                    const std::lock_guard lock(cutShortMutex);
                    cutShort.push_back(due[i].id);
                }
            } catch (...) {
                errors[i] = std::current_exception(); // for run(), once the others are done
            }
        };
        std::vector<std::thread> senders;
        for (std::size_t i = 1; i < due.size(); ++i) {
            senders.emplace_back(attempt, i);
        }
        attempt(0);
        for (auto& sender : senders) {
            sender.join();
        }
        attempted += static_cast<int>(due.size());
        if (!cutShort.empty()) {
            // Cut short by stop(): back to the queue at once, for another process's worker or
            // for this one after the restart, rather than once the claims run out.
            m_queue.releaseClaims(cutShort);
        }
        for (const auto& error : errors) {
            if (error) {
                std::rethrow_exception(error);
            }
        }
        if (!cutShort.empty()) {
            break;
        }
    }
    return attempted;
}

int DeliveryWorker::deliverDue() {
    if (m_sms != nullptr) {
        return deliverTextsDue();
    }
    int attempted = 0;
    while (!m_stopping) {
        const TimePoint now = m_clock();
        const auto message = m_queue.nextDue(now);
        if (!message) {
            break;
        }
        ++attempted;
        if (!record(*message, sendMail(*message, now), now)) {
            m_queue.releaseClaims({message->id});
            break;
        }
    }
    return attempted;
}

void DeliveryWorker::start() {
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
}

void DeliveryWorker::requestStop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
}

void DeliveryWorker::stop() {
    requestStop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void DeliveryWorker::wake() {
    {
        std::lock_guard lock(m_mutex);
        m_woken = true;
    }
    m_wake.notify_all();
}

void DeliveryWorker::run() {
    while (!m_stopping) {
        std::optional<TimePoint> next;
        try {
            deliverDue();
            next = m_queue.nextAttempt();
        } catch (const std::exception& e) {
            // A failing store: say so, and try again in a minute rather than in a tight loop.
            log(std::string("ERROR delivery: ") + e.what());
            next = std::chrono::system_clock::now() + std::chrono::minutes(1);
        }
        std::unique_lock lock(m_mutex);
        const auto ready = [this] { return m_stopping || m_woken; };
        if (next) {
            m_wake.wait_until(lock, *next, ready);
        } else {
            m_wake.wait(lock, ready);
        }
        m_woken = false;
    }
}

} // namespace server

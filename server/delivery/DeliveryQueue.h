#pragma once

// What the delivery worker needs of the outbox. The store implements it; the SQL stays there.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

using TimePoint = std::chrono::system_clock::time_point;

struct QueuedMessage {
    std::int64_t id = 0;
    std::string number;
    std::string carrier;
    std::string subject;
    std::string body;
    std::string queuedAt; // UTC, "YYYY-MM-DDTHH:MM:SSZ": when the service accepted it
    int attempts = 0;     // attempts made so far
    std::string expiresAt; // an account code's end of validity (UTC); empty for a user's message
};

// The states of an outbox entry, as the outbox's `state` column holds them. A message only ever
// moves forward: queued, then accepted, submitted, then one of the final states delivered, failed
// and expired; a queued one may also end cancelled. Stores written before the SMS gateway said
// "sent" where they now say "accepted".
namespace delivery {
inline constexpr std::string_view kQueued = "queued";       // waiting for its next attempt
inline constexpr std::string_view kAccepted = "accepted";   // the SMS gateway or the SMTP relay took it
inline constexpr std::string_view kSubmitted = "submitted"; // the gateway reports that the SMSC took it
inline constexpr std::string_view kDelivered = "delivered"; // the SMSC reports it delivered to the phone
inline constexpr std::string_view kFailed = "failed";       // refused, reported undeliverable, or 24 hours of failures
inline constexpr std::string_view kExpired = "expired";     // its validity ran out before it was delivered
inline constexpr std::string_view kOff = "off";             // accepted while delivery was off; never sent
inline constexpr std::string_view kCancelled = "cancelled"; // its sender deleted the account before it went
} // namespace delivery

// A state change the SMS gateway reported, for one message.
struct DeliveryReport {
    std::int64_t id = 0;
    std::string secret;  // as the report presents it
    std::string state;   // delivery::kSubmitted, kDelivered, kFailed or kExpired
    std::string reason;  // the report's text, for a failure
};

class DeliveryQueue {
public:
    virtual ~DeliveryQueue() = default;
    // The oldest queued message whose next attempt is due at `now`.
    virtual std::optional<QueuedMessage> nextDue(TimePoint now) = 0;
    // The oldest `limit` queued messages due at `now`, oldest first, claimed for this worker: no
    // other worker gets them until they are marked or their claim runs out (the store's lease).
    virtual std::vector<QueuedMessage> dueMessages(TimePoint now, int limit) = 0;
    // Gives claimed messages back unattempted (the worker is stopping): due again at once.
    virtual void releaseClaims(const std::vector<std::int64_t>& ids) = 0;
    // The earliest next attempt of any queued message, if there is one.
    virtual std::optional<TimePoint> nextAttempt() = 0;
    // The hash of the secret (ReportSecret.h) the next attempt's delivery reports will carry; set
    // before the attempt, since a report may arrive before the attempt's answer. False, and the
    // attempt is not to be made, when the message is no longer queued: its sender deleted the
    // account since it was taken from the queue.
    virtual bool setReportSecretHash(std::int64_t id, std::string_view hash) = 0;
    // Each of these changes only a message that is still queued: a delivery report that came in
    // while the attempt was under way has already moved it further, and stands.
    virtual void markAccepted(std::int64_t id, int attempts, std::string_view reply) = 0;
    virtual void markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) = 0;
    virtual void markFailed(std::int64_t id, int attempts, std::string_view reply) = 0;
};

// "YYYY-MM-DDTHH:MM:SSZ", the store's way of writing a time, and back (nothing when malformed).
std::string UtcText(TimePoint when);
std::optional<TimePoint> ParseUtcText(std::string_view text);

} // namespace server

#pragma once

// What the delivery worker needs of the outbox. The store implements it; the SQL stays there.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
};

// The states of an outbox entry, as the outbox's `state` column holds them.
namespace delivery {
inline constexpr std::string_view kQueued = "queued"; // waiting for its next attempt
inline constexpr std::string_view kSent = "sent";     // the relay took it
inline constexpr std::string_view kFailed = "failed"; // given up: a permanent refusal or 24 hours of failures
inline constexpr std::string_view kOff = "off";       // accepted while delivery was off; never sent
} // namespace delivery

class DeliveryQueue {
public:
    virtual ~DeliveryQueue() = default;
    // The oldest queued message whose next attempt is due at `now`.
    virtual std::optional<QueuedMessage> nextDue(TimePoint now) = 0;
    // The earliest next attempt of any queued message, if there is one.
    virtual std::optional<TimePoint> nextAttempt() = 0;
    virtual void markSent(std::int64_t id, int attempts, std::string_view reply) = 0;
    virtual void markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) = 0;
    virtual void markFailed(std::int64_t id, int attempts, std::string_view reply) = 0;
};

// "YYYY-MM-DDTHH:MM:SSZ", the store's way of writing a time, and back (nothing when malformed).
std::string UtcText(TimePoint when);
std::optional<TimePoint> ParseUtcText(std::string_view text);

} // namespace server

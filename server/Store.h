#pragma once

#include "DeliveryQueue.h"
#include "Sqlite.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace server {

struct User {
    std::int64_t id = 0;
    std::string login;
    std::string password;
};

struct Friend {
    std::int64_t id = 0;
    std::string name;
    std::string number;
    std::string carrier;
};

// One accepted message, as the outbox keeps it.
struct OutboxMessage {
    std::int64_t id = 0;
    std::int64_t userId = 0;
    std::int64_t friendId = 0; // 0 when sent to a typed number
    std::string number;        // the recipient's number
    std::string carrier;
    std::string subject;
    std::string body;   // exactly as received, CR LF kept
    std::string sentAt; // UTC, "YYYY-MM-DDTHH:MM:SSZ": when the service accepted it
    // Delivery (DeliveryQueue.h): delivery::kQueued when the service sends it on, delivery::kOff
    // when delivery is off; then the attempts made, the next attempt (UTC) and the relay's last reply.
    std::string state = std::string(delivery::kOff);
    int attempts = 0;
    std::string nextAttempt;
    std::string lastReply;
};

// The service's data in one SQLite file: users, their address books and the outbox. Every
// operation is one transaction with prepared statements, and the object may be shared between
// threads (it serialises its operations). The outbox is also the delivery queue.
class Store : public DeliveryQueue {
public:
    // The client keeps a friend's id in a 32-bit signed field and fails on a larger one, so the
    // store hands out no id above this.
    static constexpr std::int64_t kMaxFriendId = 2147483647;

    // Opens the store at `path` (":memory:" for a private in-memory store). A new store gets its
    // tables and the demo user with the demo friends (DemoData.h).
    explicit Store(const std::string& path);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    std::optional<User> findUserByLogin(std::string_view login);
    std::optional<User> findUser(std::int64_t userId);

    // The new user's id, or nothing when the login is taken.
    std::optional<std::int64_t> registerUser(std::string_view login, std::string_view password);

    // The user's friends in the order they were added.
    std::vector<Friend> friends(std::int64_t userId);
    std::optional<Friend> findFriend(std::int64_t userId, std::int64_t friendId);

    // The new friend's id, or nothing when no id up to kMaxFriendId is left.
    std::optional<std::int64_t> addFriend(std::int64_t userId, const Friend& entry);
    // False when the user has no friend with that id.
    bool updateFriend(std::int64_t userId, const Friend& entry);
    bool deleteFriend(std::int64_t userId, std::int64_t friendId);

    // Stores the message (its id and sentAt are filled in; a queued message is due at once) and
    // returns it as stored.
    OutboxMessage addToOutbox(OutboxMessage message);
    // Every message, oldest first.
    std::vector<OutboxMessage> outbox();

    // Queues the text of an account code for delivery, with no user; its body is blanked once it
    // is sent or failed, and it is not attempted at or after `expiresAt` (seconds since the epoch).
    void queueCode(std::string_view number, std::string_view carrier, std::string_view subject, std::string_view body,
                   std::int64_t expiresAt);

    // DeliveryQueue
    std::optional<QueuedMessage> nextDue(TimePoint now) override;
    std::optional<TimePoint> nextAttempt() override;
    void markSent(std::int64_t id, int attempts, std::string_view reply) override;
    void markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) override;
    void markFailed(std::int64_t id, int attempts, std::string_view reply) override;

    // Sets a new password; false when there is no such user.
    bool setPassword(std::int64_t userId, std::string_view password);

    // Runs `work(Database&)` under the store's lock, for units that keep tables of their own in
    // the same file.
    template <typename Work> auto withDatabase(Work&& work) {
        std::lock_guard lock(m_mutex);
        return work(m_db);
    }

private:
    void createSchemaOnFirstStart();
    void addDeliveryColumns();
    void addCodeMessages();
    void retireCodes(const std::string& now, std::optional<std::int64_t> id);
    void setDeliveryState(std::int64_t id, std::string_view state, int attempts, const std::string* next,
                          std::string_view reply);
    std::optional<std::int64_t> insertFriend(std::int64_t userId, const Friend& entry);

    std::mutex m_mutex;
    Database m_db;
};

} // namespace server

#pragma once

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
    std::string sentAt; // UTC, "YYYY-MM-DDTHH:MM:SSZ"
};

// The service's data in one SQLite file: users, their address books and the outbox. Every
// operation is one transaction with prepared statements, and the object may be shared between
// threads (it serialises its operations).
class Store {
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

    // Stores the message (its id and sentAt are filled in) and returns it as stored.
    OutboxMessage addToOutbox(OutboxMessage message);
    // Every message, oldest first.
    std::vector<OutboxMessage> outbox();

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
    std::optional<std::int64_t> insertFriend(std::int64_t userId, const Friend& entry);

    std::mutex m_mutex;
    Database m_db;
};

} // namespace server

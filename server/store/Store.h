#pragma once

#include "server/delivery/DeliveryQueue.h"
#include "server/store/GroupCommit.h"
#include "server/store/Connection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace server {

struct User {
    std::int64_t id = 0; // the row id; never leaves the service
    std::string login;
    std::string passwordHash; // Passwords.h
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

// One change of a message's state, with its time (UTC, to the millisecond) and, for a failure or
// an expiry, the reason.
struct StateChange {
    std::string state;
    std::string at;
    std::string reason;
};

// What a delivery report did.
enum class ReportResult {
    Unknown,   // no such message, or not its secret: nothing changed, and the caller learns no more
    Applied,   // the message moved on
    Unchanged, // late or repeated: the message is already as far along, or in a final state
};

// One of a user's messages as the "My messages" page shows it.
struct SentMessage {
    std::int64_t id = 0;
    std::string sentAt;     // UTC, "YYYY-MM-DDTHH:MM:SSZ"
    std::string number;     // the recipient's number
    std::string friendName; // the name the number has in the sender's address book; empty: none
    std::string subject;    // subject and body are empty once the text is removed
    std::string body;
    std::string state;       // delivery::k...
    std::string nextAttempt; // queued: when it is tried next (UTC)
    std::string stateAt;     // when the message reached its state (UTC, to the millisecond or second)
    std::string reason;      // failed or expired: why
};

struct StoreSettings {
    // A session ends when it has not been used for this long.
    std::int64_t sessionIdleSeconds = std::int64_t{30} * 24 * 60 * 60;
    // Messages a user may send in any 60 s and in any 24 h; 0: no limit.
    int sendsPerMinute = 10;
    int sendsPerDay = 200;
    // How long a delivery worker's claim on the messages it attempts lasts: longer than any
    // attempt takes (the SMS gateway's and the relay's timeouts), so that no message goes twice;
    // a worker that died leaves its messages to the others for this long at most.
    std::int64_t claimSeconds = 300;
    // A signed-in web page ("My messages") is signed out after this long without a visit.
    std::int64_t pageSessionIdleSeconds = std::int64_t{30} * 60;
    // A message's subject and body are blanked this many days after it reached a final state.
    int keepMessageDays = 30;
    // Seconds since 1970 (UTC); empty: the system clock. Tests set their own.
    std::function<std::int64_t()> clock;
};

// What became of a message given to the outbox.
struct OutboxResult {
    enum class Status { Stored, UnknownFriend, OverMinuteLimit, OverDayLimit };
    Status status = Status::Stored;
    OutboxMessage message;    // as stored, when stored
    std::int64_t retryAt = 0; // over a limit: when the user may send again (seconds since 1970)
};

// A run of failed logins for one subject: a login or a client address (LoginThrottle.h).
struct LoginFailures {
    std::int64_t failures = 0;
    std::int64_t lastFailure = 0; // seconds since 1970
    std::int64_t pausedUntil = 0; // seconds since 1970; no attempt before then
};

class Checkpointer;
class ReadConnection;
class ReadPool;

// The service's data: users, their sessions, their address books, the outbox, the send limits,
// login pauses and account codes. It lives in one SQLite file (the default) or in a PostgreSQL
// database that several service processes share (Connection.h): every table's SQL is written once
// for both. Writes are serialised on one connection per process, reads run on connections of their
// own (ReadPool.h) and never wait for a write. Every statement is prepared once per connection and
// kept. The object may be shared between threads. The outbox is also the delivery queue.
//
// Every write returns only once it is on disk: commits are synced (SQLite: synchronous = FULL;
// PostgreSQL: fsync and synchronous_commit on, checked at start), and the writes of concurrent
// callers share one transaction and one sync (GroupCommit.h). A caller may therefore answer "sent"
// as soon as a write returns.
//
// One file per table: Users.cpp (users and sessions), Friends.cpp, Outbox.cpp (with the delivery
// queue), Messages.cpp (a user's messages and how long their text is kept), PageSessions.cpp,
// LoginFailures.cpp, and AccountDeletion.cpp across them; the schema is Migrations.cpp's ladder, the demo user DemoSeed.cpp's.
class Store : public DeliveryQueue {
public:
    // The client keeps a friend's id in a 32-bit signed field and fails on a larger one, so the
    // store hands out no id above this.
    static constexpr std::int64_t kMaxFriendId = 2147483647;
    // Per user, so that one account cannot fill the disk or make every address book read slow:
    // friends beyond this are refused, and a session beyond this ends the one unused longest.
    static constexpr std::int64_t kMaxFriendsPerUser = 1000;
    static constexpr std::int64_t kMaxSessionsPerUser = 20;
    // On PostgreSQL, how often a delivery worker looks for messages other processes queued.
    static constexpr std::chrono::seconds kQueuePollInterval{1};

    // Opens the store at `location` and brings its schema up to date (Migrations.h): a libpq
    // connection URI ("postgresql://...") for PostgreSQL, else the path of an SQLite file
    // (":memory:" for a private in-memory store). A new store then gets the demo user with the
    // demo friends (DemoData.h). Throws StoreError when it cannot.
    explicit Store(const std::string& location, StoreSettings settings = {});
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const StoreSettings& settings() const noexcept { return m_settings; }
    std::int64_t now() const;

    std::optional<User> findUserByLogin(std::string_view login);

    // The new user's id, or nothing when the login is taken.
    std::optional<std::int64_t> registerUser(std::string_view login, std::string_view passwordHash);
    // Replaces the password and ends every session of the user, the web pages' too.
    void setPassword(std::int64_t userId, std::string_view passwordHash);

    // A new session for the user; the token is what the client carries.
    std::string startSession(std::int64_t userId);
    // The user of a live session, which counts as a use of it; nothing for an unknown, ended or
    // idle token.
    std::optional<User> sessionUser(std::string_view token);

    // The latest end of a pause among the two subjects' runs of failed logins; 0 when neither has
    // a run.
    std::int64_t loginPausedUntil(std::string_view first, std::string_view second);
    // Counts one failed login for each of the two subjects, in one write: `count` makes a subject's
    // run (an empty one when it has none) the next. Runs whose last failure lies before
    // `forgetBefore` are gone first, so that made-up logins do not pile up.
    void countLoginFailure(std::string_view first, std::string_view second, std::int64_t forgetBefore,
                           const std::function<void(LoginFailures&)>& count);
    // Ends the subjects' runs.
    void forgetLoginFailures(std::initializer_list<std::string_view> subjects);

    // The user's friends in the order they were added.
    std::vector<Friend> friends(std::int64_t userId);
    std::optional<Friend> findFriend(std::int64_t userId, std::int64_t friendId);

    // The new friend's id, or nothing when the user has kMaxFriendsPerUser friends already or no
    // id up to kMaxFriendId is left.
    std::optional<std::int64_t> addFriend(std::int64_t userId, const Friend& entry);
    // False when the user has no friend with that id.
    bool updateFriend(std::int64_t userId, const Friend& entry);
    bool deleteFriend(std::int64_t userId, std::int64_t friendId);

    // Stores the message unless the user is over a send limit. For a message to a friend
    // (friendId != 0) the number and carrier are the friend's, looked up with the owner.
    OutboxResult addToOutbox(OutboxMessage message);
    // Every message, oldest first.
    std::vector<OutboxMessage> outbox();

    // Queues the text of an account code for delivery, with no user; its body is blanked once it
    // is sent or failed, and it is not attempted at or after `expiresAt` (seconds since 1970).
    void queueCode(std::string_view number, std::string_view carrier, std::string_view subject, std::string_view body,
                   std::int64_t expiresAt);

    // Every change of the message's state, oldest first.
    std::vector<StateChange> stateHistory(std::int64_t id);
    // The user's latest `limit` messages, newest first (Messages.cpp).
    std::vector<SentMessage> sentMessages(std::int64_t userId, int limit);
    // Blanks the subject and body of every message that reached a final state (delivered, failed,
    // expired, off, cancelled) more than keepMessageDays days ago; returns how many it blanked.
    int blankFinishedTexts();

    // Sessions of the web pages, apart from the program's (PageSessions.cpp): a new one, its user
    // while it lives (a visit keeps it alive), and its end. A password change ends them all.
    std::string startPageSession(std::int64_t userId);
    std::optional<User> pageSessionUser(std::string_view token);
    void endPageSession(std::string_view token);

    // Removes the user with their address book and every session, blanks the text of their
    // messages and cancels those still queued, so that none is ever sent. The number the user
    // proved is forgotten, and it may register again (AccountDeletion.cpp).
    void deleteAccount(std::int64_t userId);
    // Moves the message as the SMS gateway reports, when the report carries the message's secret;
    // never back, and never out of a final state.
    ReportResult applyReport(const DeliveryReport& report);

    // DeliveryQueue
    std::optional<QueuedMessage> nextDue(TimePoint now) override;
    std::vector<QueuedMessage> dueMessages(TimePoint now, int limit) override;
    void releaseClaims(const std::vector<std::int64_t>& ids) override;
    std::optional<TimePoint> nextAttempt() override;
    bool setReportSecretHash(std::int64_t id, std::string_view hash) override;
    void markAccepted(std::int64_t id, int attempts, std::string_view reply) override;
    void markRetry(std::int64_t id, int attempts, TimePoint next, std::string_view reply) override;
    void markFailed(std::int64_t id, int attempts, std::string_view reply) override;

    // Runs `work(Database&)` on the writing connection as one write (one step of a group commit),
    // for work that takes several statements, such as the account codes' (Codes.h). A Transaction
    // the work opens is a savepoint of the group's; its result is returned once it is durable.
    template <typename Work> auto withDatabase(Work&& work) {
        return write([&] { return work(m_writer); });
    }

private:
    // Runs `work()`, which uses m_writer, as one step of the next group commit (GroupCommit.h) and
    // returns its result once that commit is durable.
    template <typename Work> auto write(Work&& work) {
        using Result = std::invoke_result_t<Work&>;
        if constexpr (std::is_void_v<Result>) {
            m_commits.run(std::function<void()>(std::ref(work)));
        } else {
            std::optional<Result> result;
            m_commits.run([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    void openSchema();
    void releaseStaleClaims();
    void seedDemoData();
    ReadConnection reading();
    std::optional<std::int64_t> insertUser(std::string_view login, std::string_view passwordHash);
    // Holds the user's row until the write ends, so that writes of other service processes that
    // count the user's rows against a cap (friends, sessions, sends) wait for this one.
    void lockUser(std::int64_t userId);
    std::optional<std::int64_t> insertFriend(std::int64_t userId, const Friend& entry);
    std::optional<OutboxResult> overSendLimit(std::int64_t userId, std::int64_t time);
    void insertMessage(OutboxMessage& message);
    void retireCodes(const std::string& now, std::optional<std::int64_t> id);
    void recordState(std::int64_t id, std::string_view state, std::string_view reason);
    std::string stateTime() const;
    void setDeliveryState(std::int64_t id, std::string_view state, int attempts, const std::string* next,
                          std::string_view reply);

    bool m_inMemory = false;
    StoreSettings m_settings;
    std::mutex m_writeMutex; // guards m_writer
    std::unique_ptr<Database> m_writing;
    Database& m_writer;
    GroupCommit m_commits{m_writer, m_writeMutex};
    std::unique_ptr<ReadPool> m_readPool; // none for an in-memory store, whose only connection is m_writer
    std::unique_ptr<Checkpointer> m_checkpointer;
};

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970.
std::string UtcText(std::int64_t seconds);

} // namespace server

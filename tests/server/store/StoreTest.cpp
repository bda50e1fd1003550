// The store: first start, restart, upgrade of an older store, the id range, durability under
// load, and refusing what it cannot open. The tests of StoreBackendTest run on SQLite and on
// PostgreSQL; StoreAccountsTest.cpp holds the ones on sessions, friends and delivery reports.

#include "server/store/Store.h"

#include "support/ClientRequests.h"
#include "server/store/DemoData.h"
#include "server/store/Passwords.h"
#include "server/exchanges/Exchanges.h"
#include "server/store/Migrations.h"
#include "server/store/Sqlite.h"
#include "StoreBackends.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

using namespace server;

namespace {

void Execute(const std::string& path, const char* sql) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
}

TEST_P(StoreBackendTest, FirstStart_climbsTheWholeLadder_andCreatesTheDemoUserAndFriends) {
    Store store(location());
    const auto demo = store.findUserByLogin(kDemoLogin);
    ASSERT_TRUE(demo.has_value());
    EXPECT_TRUE(IsPasswordHash(demo->passwordHash)) << demo->passwordHash;
    EXPECT_TRUE(VerifyPassword(demo->passwordHash, kDemoPassword));
    EXPECT_FALSE(VerifyPassword(demo->passwordHash, "Demo"));
    const std::vector<Friend> friends = store.friends(demo->id);
    ASSERT_EQ(friends.size(), kDemoFriends.size());
    for (std::size_t i = 0; i < friends.size(); ++i) {
        EXPECT_EQ(friends[i].id, kDemoFriends[i].id);
        EXPECT_EQ(friends[i].name, kDemoFriends[i].name);
        EXPECT_EQ(friends[i].number, kDemoFriends[i].number);
        EXPECT_EQ(friends[i].carrier, kDemoFriends[i].carrier);
    }
    EXPECT_EQ(kDemoFriends[0].name, "Tom & Jerry");
    EXPECT_EQ(kDemoFriends[0].carrier, "AT&T");
    EXPECT_TRUE(store.outbox().empty());
    store.withDatabase([](Database& db) { EXPECT_TRUE(IsSchemaCurrent(db)); });
}

TEST(StoreTest, Files_areTheServiceUsersAlone_whateverTheUmask) {
    lstest::TempDir dir;
    const std::string path = dir.file("store.db");
    const mode_t previous = umask(0);
    {
        Store store(path);
        ASSERT_TRUE(store.registerUser("7125550100", HashPassword("secret")));
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const auto permissions = std::filesystem::status(path + suffix).permissions();
            EXPECT_EQ(permissions, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write) << suffix;
        }
    }
    umask(previous);
}

TEST_P(StoreBackendTest, Everything_survivesARestart) {
    const std::string& path = location();
    std::int64_t newUser = 0;
    std::string token;
    const std::string body = "first\r\nsecond";
    {
        Store store(path);
        newUser = store.registerUser("7125550100", HashPassword("secret&<")).value_or(0);
        ASSERT_GT(newUser, 1);
        token = store.startSession(newUser);
        ASSERT_TRUE(store.addFriend(1, Friend{0, "Ben & Jerry", "4125550107", "AT&T"}));
        ASSERT_TRUE(store.deleteFriend(1, 2));
        OutboxMessage message;
        message.userId = 1;
        message.number = "7245550199";
        message.carrier = "Sprint";
        message.subject = "subj";
        message.body = body;
        ASSERT_EQ(store.addToOutbox(message).status, OutboxResult::Status::Stored);
    }
    Store store(path);
    // The demo user is not created a second time, and the deleted demo friend stays deleted.
    const auto demo = store.findUserByLogin(kDemoLogin);
    ASSERT_TRUE(demo.has_value());
    EXPECT_EQ(demo->id, 1);
    const std::vector<Friend> friends = store.friends(1);
    ASSERT_EQ(friends.size(), 2U);
    EXPECT_EQ(friends[0].name, "Tom & Jerry");
    EXPECT_EQ(friends[1].name, "Ben & Jerry");
    EXPECT_EQ(friends[1].carrier, "AT&T");
    EXPECT_EQ(friends[1].id, 3); // ids are not reused

    const auto user = store.findUserByLogin("7125550100");
    ASSERT_TRUE(user.has_value());
    EXPECT_EQ(user->id, newUser);
    EXPECT_TRUE(VerifyPassword(user->passwordHash, "secret&<"));
    EXPECT_FALSE(store.registerUser("7125550100", HashPassword("again")).has_value());
    EXPECT_EQ(store.sessionUser(token).value_or(User{}).id, newUser);

    const std::vector<OutboxMessage> outbox = store.outbox();
    ASSERT_EQ(outbox.size(), 1U);
    EXPECT_EQ(outbox[0].body, body);
    EXPECT_EQ(outbox[0].subject, "subj");
    EXPECT_EQ(outbox[0].carrier, "Sprint");

    // New ids continue after the old ones.
    EXPECT_EQ(store.addFriend(1, Friend{0, "New", "4125550108", "Ting"}), 4);
}

// Under steady writes with reads in between, the write-ahead log is moved into the file and starts
// over, instead of growing for as long as the load lasts.
TEST(StoreTest, WriteAheadLog_startsOver_underSteadyWrites) {
    lstest::TempDir dir;
    const std::string path = dir.file("store.db");
    constexpr int kSends = 6000; // a log of over 100 MB if it never started over
    {
        Store store(path, {.sendsPerMinute = 0, .sendsPerDay = 0, .clock = {}});
        const std::string token = store.startSession(1);
        std::atomic<bool> writing = true;
        std::atomic<bool> readFailed = false;
        std::thread reader([&] {
            while (writing) {
                readFailed = readFailed || !store.sessionUser(token).has_value();
            }
        });
        OutboxMessage message;
        message.userId = 1;
        message.number = "7245550199";
        message.carrier = "Sprint";
        message.subject = "subj";
        message.body = std::string(200, 'x');
        // Several writers, as the service has: their commits are grouped, and each waits for its own.
        constexpr int kWriters = 4;
        std::atomic<bool> stored = true;
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&] {
                for (int i = 0; i < kSends / kWriters && stored; ++i) {
                    stored = store.addToOutbox(message).status == OutboxResult::Status::Stored;
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
        writing = false;
        reader.join();
        ASSERT_TRUE(stored);
        EXPECT_FALSE(readFailed);
        EXPECT_LT(std::filesystem::file_size(path + "-wal"), 40U << 20);
    }
    Store store(path);
    EXPECT_EQ(store.outbox().size(), static_cast<std::size_t>(kSends));
}

// Concurrent writes share transactions (GroupCommit.h); one that fails is undone alone and its
// caller sees the failure, while the writes grouped with it are kept and reported as made.
TEST_P(StoreBackendTest, ConcurrentWrites_oneFails_itAloneIsUndoneAndTheOthersAreKept) {
    const std::string& path = location();
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::atomic<int> added = 0;
    std::atomic<int> refused = 0;
    {
        Store store(path);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; ++i) {
                    if (store.addFriend(1, Friend{0, "kept", "7245550199", "Sprint"})) {
                        ++added;
                    }
                    try {
                        store.withDatabase([&](Database& db) {
                            db.prepared("INSERT INTO friends(user_id, name, number, carrier) "
                                        "VALUES (1, 'undone', '7245550199', 'Sprint')")
                                ->run();
                            if (t % 2 == 0) {
                                throw std::runtime_error("refused after writing");
                            }
                            db.prepared("DELETE FROM friends WHERE name = 'undone'")->run();
                        });
                    } catch (const std::runtime_error&) {
                        ++refused;
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    EXPECT_EQ(added, kThreads * kRounds);
    EXPECT_EQ(refused, kThreads / 2 * kRounds);
    Store store(path); // reopened: what was reported as written is on disk
    std::size_t kept = 0;
    for (const Friend& entry : store.friends(1)) {
        EXPECT_NE(entry.name, "undone");
        kept += entry.name == "kept" ? 1 : 0;
    }
    EXPECT_EQ(kept, static_cast<std::size_t>(kThreads * kRounds));
}

TEST(StoreTest, StoreWithPlainPasswords_isUpgraded_andEveryUserLogsIn) {
    lstest::TempDir dir;
    const std::string path = dir.file("old.db");
    // A store as the service wrote it before passwords were hashed, with a friend's name and a
    // message holding characters that XML 1.0 does not allow.
    Execute(path, R"sql(
CREATE TABLE users (id INTEGER PRIMARY KEY AUTOINCREMENT, login TEXT NOT NULL UNIQUE, password TEXT NOT NULL,
    created TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%SZ', 'now')));
CREATE TABLE friends (id INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
    name TEXT NOT NULL, number TEXT NOT NULL, carrier TEXT NOT NULL);
CREATE INDEX friends_by_user ON friends(user_id, id);
CREATE TABLE outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, user_id INTEGER NOT NULL REFERENCES users(id),
    friend_id INTEGER, number TEXT NOT NULL, carrier TEXT NOT NULL, subject TEXT NOT NULL, body TEXT NOT NULL,
    sent_at TEXT NOT NULL);
INSERT INTO users(login, password) VALUES ('4125551212', 'demo'), ('7125550100', 'p&ss<word>'),
    ('7125550101', 'x&amp;y'), ('7125550102', '$argon2id is how it starts');
INSERT INTO friends(user_id, name, number, carrier) VALUES (1, 'Bell' || char(1) || 'e', '4125550100', 'AT&T'),
    (2, 'Plain', '4125550101', 'Sprint');
INSERT INTO outbox(user_id, number, carrier, subject, body, sent_at)
    VALUES (1, '4125550100', 'AT&T', 'a' || char(11) || 'b', 'ok' || char(65535), '2024-01-02T03:04:05Z');
PRAGMA user_version = 1;
)sql");
    const std::vector<std::pair<std::string, std::string>> users = {{"4125551212", "demo"},
                                                                    {"7125550100", "p&ss<word>"},
                                                                    {"7125550101", "x&amp;y"},
                                                                    {"7125550102", "$argon2id is how it starts"}};
    Store store(path);
    Exchanges exchanges(store, {});
    for (const auto& [login, password] : users) {
        const auto user = store.findUserByLogin(login);
        ASSERT_TRUE(user.has_value()) << login;
        EXPECT_TRUE(IsPasswordHash(user->passwordHash)) << login;
        EXPECT_EQ(user->passwordHash.find(password), std::string::npos) << login;
        const lstest::Answer answer(exchanges.login(lstest::LoginRequest(login, password), "127.0.0.1"));
        EXPECT_EQ(answer.text("//result"), "TRUE") << login;
        EXPECT_EQ(answer.text("//string").size(), 32U) << login;
    }
    EXPECT_EQ(store.friends(1).front().name, "Bell\xEF\xBF\xBD"
                                             "e");
    EXPECT_EQ(store.friends(2).front().name, "Plain");
    EXPECT_EQ(store.outbox().front().subject, "a\xEF\xBF\xBD"
                                              "b");
    EXPECT_EQ(store.outbox().front().body, "ok\xEF\xBF\xBD");
}

TEST(StoreTest, FriendIds_stayWithinTheClientsThirtyTwoBits) {
    lstest::TempDir dir;
    const std::string path = dir.file("store.db");
    { Store store(path); }
    // Pretend nearly every id has been handed out.
    Execute(path, "UPDATE sqlite_sequence SET seq = 2147483646 WHERE name = 'friends'");
    Store store(path);
    EXPECT_EQ(store.addFriend(1, Friend{0, "Last", "4125550109", "Sprint"}), Store::kMaxFriendId);
    EXPECT_FALSE(store.addFriend(1, Friend{0, "One too many", "4125550109", "Sprint"}).has_value());
    EXPECT_EQ(store.friends(1).size(), 3U);
    EXPECT_EQ(store.friends(1).back().name, "Last");
}

TEST(StoreTest, UnusableStore_isRefused) {
    lstest::TempDir dir;
    EXPECT_THROW(Store{dir.file("no-such-folder/store.db")}, StoreError);

    const std::string notSqlite = dir.file("text.db");
    std::ofstream(notSqlite) << "This is not an SQLite file, and it is long enough to have a header.\n";
    EXPECT_THROW(Store{notSqlite}, StoreError);

    // A store of another schema version is left alone.
    const std::string future = dir.file("future.db");
    Execute(future, "CREATE TABLE t(x); PRAGMA user_version = 1000");
    EXPECT_THROW(Store{future}, StoreError);
}

// The service answers "sent" once a commit returns, so a PostgreSQL server that would report a
// commit before it is on disk is refused at start.
TEST(StoreTest, PostgresWithoutFsyncOrSynchronousCommitOrWithAPasswordInTheUri_isRefused) {
    const lstest::PgTestDatabase db;
    try {
        Store store(db.uri() + "%20-csynchronous_commit%3Doff");
        ADD_FAILURE() << "opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("synchronous_commit = off"), std::string::npos) << e.what();
    }
    EXPECT_NO_THROW(Store{db.uri() + "%20-csynchronous_commit%3Dlocal"});
    // Nor is a password taken from the URI, where every user's ps would show it.
    EXPECT_THROW(Store{db.uri() + "&password=secret"}, StoreError);
    // Nor a server that does not sync its log at all.
    const lstest::PgTestCluster unsynced("fsync=off");
    try {
        Store store(unsynced.uri());
        ADD_FAILURE() << "opened";
    } catch (const StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("fsync = off"), std::string::npos) << e.what();
    }
}

// PostgreSQL restarted, or its connections cut: the request that finds its connection gone fails,
// and the next ones connect again, prepared statements and all.
TEST(StoreTest, PostgresConnectionsCut_theNextRequestsConnectAgain) {
    const lstest::PgTestCluster cluster("");
    Store store(cluster.uri());
    const std::int64_t demo = store.findUserByLogin(kDemoLogin).value().id;
    ASSERT_TRUE(store.addFriend(demo, Friend{0, "Before", "4125550109", "Sprint"}));
    lstest::PgTestDatabase::executeOn(cluster.uri(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                                     "WHERE application_name = 'vantro-server'");
    // The writing connection and the idle reading one each fail once.
    for (int i = 0; i < 2; ++i) {
        try {
            store.addFriend(demo, Friend{0, "Maybe", "4125550109", "Sprint"});
            store.friends(demo);
        } catch (const StoreError&) {
        }
    }
    EXPECT_TRUE(store.addFriend(demo, Friend{0, "After", "4125550109", "Sprint"}));
    const auto friends = store.friends(demo);
    ASSERT_FALSE(friends.empty());
    EXPECT_EQ(friends.back().name, "After");
}

VANTRO_STORE_BACKENDS(StoreBackendTest);

} // namespace

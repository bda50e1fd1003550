// The users and sessions tables.

#include "server/store/Passwords.h"
#include "server/store/ReadPool.h"
#include "server/store/Store.h"

namespace server {

namespace {

// A session's last use is written at most this often, so that reading with a token is not a
// write each time.
constexpr std::int64_t kSessionTouchSeconds = 60;

bool IsTokenShaped(std::string_view token) {
    if (token.size() != 32) {
        return false;
    }
    for (const char c : token) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<User> Store::findUserByLogin(std::string_view login) {
    ReadConnection connection = reading();
    Query stmt = connection.db().prepared("SELECT id, login, password FROM users WHERE login = ?1");
    stmt->bind(1, login);
    if (!stmt->step()) {
        return std::nullopt;
    }
    return User{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2)};
}

std::optional<std::int64_t> Store::insertUser(std::string_view login, std::string_view passwordHash) {
    // A login taken meanwhile by another service process is no error, only no new user.
    Query stmt = m_writer.prepared(
        "INSERT INTO users(login, password) VALUES (?1, ?2) ON CONFLICT (login) DO NOTHING RETURNING id");
    stmt->bind(1, login).bind(2, passwordHash);
    if (!stmt->step()) {
        return std::nullopt;
    }
    return stmt->columnInt64(0);
}

std::optional<std::int64_t> Store::registerUser(std::string_view login, std::string_view passwordHash) {
    return write([&] { return insertUser(login, passwordHash); });
}

void Store::lockUser(std::int64_t userId) {
    // On SQLite the one writing connection already excludes every other writer.
    if (m_writer.dialect() == Dialect::Postgres) {
        m_writer.prepared("SELECT 1 FROM users WHERE id = ?1 FOR UPDATE")->bind(1, userId).run();
    }
}

void Store::setPassword(std::int64_t userId, std::string_view passwordHash) {
    write([&] {
        m_writer.prepared("UPDATE users SET password = ?1 WHERE id = ?2")->bind(1, passwordHash).bind(2, userId).run();
        m_writer.prepared("DELETE FROM sessions WHERE user_id = ?1")->bind(1, userId).run();
        m_writer.prepared("DELETE FROM page_sessions WHERE user_id = ?1")->bind(1, userId).run();
    });
}

std::string Store::startSession(std::int64_t userId) {
    const std::string token = NewSessionToken();
    write([&] {
        lockUser(userId);
        // Sessions idle for too long go when a new one comes, so the table does not grow forever.
        m_writer.prepared("DELETE FROM sessions WHERE user_id = ?1 AND last_used < ?2")
            ->bind(1, userId)
            .bind(2, now() - m_settings.sessionIdleSeconds)
            .run();
        m_writer.prepared("INSERT INTO sessions(digest, user_id, last_used) VALUES (?1, ?2, ?3)")
            ->bind(1, TokenDigest(token))
            .bind(2, userId)
            .bind(3, now())
            .run();
        // Beyond the cap, the sessions unused longest end; never the new one.
        std::int64_t sessions = 0;
        {
            Query count = m_writer.prepared("SELECT count(*) FROM sessions WHERE user_id = ?1");
            count->bind(1, userId).step();
            sessions = count->columnInt64(0);
        }
        if (sessions > kMaxSessionsPerUser) {
            m_writer
                .prepared("DELETE FROM sessions WHERE digest IN (SELECT digest FROM sessions WHERE user_id = ?1 AND "
                          "digest <> ?2 ORDER BY last_used LIMIT ?3)")
                ->bind(1, userId)
                .bind(2, TokenDigest(token))
                .bind(3, sessions - kMaxSessionsPerUser)
                .run();
        }
    });
    return token;
}

std::optional<User> Store::sessionUser(std::string_view token) {
    if (!IsTokenShaped(token)) {
        return std::nullopt;
    }
    const std::string digest = TokenDigest(token);
    const std::int64_t time = now();
    User user;
    std::int64_t lastUsed = 0;
    {
        ReadConnection connection = reading();
        Query stmt = connection.db().prepared("SELECT u.id, u.login, u.password, s.last_used FROM sessions s "
                                              "JOIN users u ON u.id = s.user_id WHERE s.digest = ?1");
        stmt->bind(1, digest);
        if (!stmt->step()) {
            return std::nullopt;
        }
        user = User{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2)};
        lastUsed = stmt->columnInt64(3);
    }
    if (time - lastUsed > m_settings.sessionIdleSeconds) {
        write([&] { m_writer.prepared("DELETE FROM sessions WHERE digest = ?1")->bind(1, digest).run(); });
        return std::nullopt;
    }
    if (time - lastUsed >= kSessionTouchSeconds) {
        write([&] {
            m_writer.prepared("UPDATE sessions SET last_used = ?1 WHERE digest = ?2 AND last_used < ?1")
                ->bind(1, time)
                .bind(2, digest)
                .run();
        });
    }
    return user;
}

} // namespace server

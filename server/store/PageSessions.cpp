// The page_sessions table: who is signed in to the web pages. Apart from the program's sessions,
// and shorter lived: a page session ends pageSessionIdleSeconds after its last visit.

#include "server/store/Passwords.h"
#include "server/store/ReadPool.h"
#include "server/store/Store.h"

namespace server {

namespace {

// A visit moves the end on at most this often, so that not every page view is a write.
constexpr std::int64_t kExtendEverySeconds = 60;

bool IsPageToken(std::string_view token) {
    return token.size() == 32 && token.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

} // namespace

std::string Store::startPageSession(std::int64_t userId) {
    const std::string token = NewSessionToken();
    const std::int64_t time = now();
    write([&] {
        // Ended ones go when a new one comes; beyond the cap, the one ending first goes too.
        m_writer.prepared("DELETE FROM page_sessions WHERE user_id = ?1 AND expires_at <= ?2")
            ->bind(1, userId)
            .bind(2, time)
            .run();
        m_writer
            .prepared("DELETE FROM page_sessions WHERE user_id = ?1 AND digest NOT IN (SELECT digest FROM "
                      "page_sessions WHERE user_id = ?1 ORDER BY expires_at DESC LIMIT ?2)")
            ->bind(1, userId)
            .bind(2, kMaxSessionsPerUser - 1)
            .run();
        m_writer.prepared("INSERT INTO page_sessions(digest, user_id, expires_at) VALUES (?1, ?2, ?3)")
            ->bind(1, TokenDigest(token))
            .bind(2, userId)
            .bind(3, time + m_settings.pageSessionIdleSeconds)
            .run();
    });
    return token;
}

std::optional<User> Store::pageSessionUser(std::string_view token) {
    if (!IsPageToken(token)) {
        return std::nullopt;
    }
    const std::string digest = TokenDigest(token);
    const std::int64_t time = now();
    std::optional<User> user;
    std::int64_t expiresAt = 0;
    {
        ReadConnection connection = reading();
        Query stmt = connection.db().prepared("SELECT u.id, u.login, u.password, p.expires_at FROM page_sessions p "
                                              "JOIN users u ON u.id = p.user_id WHERE p.digest = ?1 AND "
                                              "p.expires_at > ?2");
        stmt->bind(1, digest).bind(2, time);
        if (!stmt->step()) {
            return std::nullopt;
        }
        user = User{stmt->columnInt64(0), stmt->columnText(1), stmt->columnText(2)};
        expiresAt = stmt->columnInt64(3);
    }
    const std::int64_t newEnd = time + m_settings.pageSessionIdleSeconds;
    if (newEnd - expiresAt >= kExtendEverySeconds) {
        write([&] {
            m_writer.prepared("UPDATE page_sessions SET expires_at = ?1 WHERE digest = ?2 AND expires_at < ?1")
                ->bind(1, newEnd)
                .bind(2, digest)
                .run();
        });
    }
    return user;
}

void Store::endPageSession(std::string_view token) {
    if (!IsPageToken(token)) {
        return;
    }
    write([&] { m_writer.prepared("DELETE FROM page_sessions WHERE digest = ?1")->bind(1, TokenDigest(token)).run(); });
}

} // namespace server

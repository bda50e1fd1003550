// The login_failures table: runs of failed logins per login and per client address, shared by
// every service process on the store.

#include "server/store/ReadPool.h"
#include "server/store/Store.h"

namespace server {

std::int64_t Store::loginPausedUntil(std::string_view first, std::string_view second) {
    ReadConnection connection = reading();
    Query stmt = connection.db().prepared("SELECT coalesce(max(paused_until), 0) FROM login_failures "
                                          "WHERE subject IN (?1, ?2)");
    stmt->bind(1, first).bind(2, second);
    stmt->step();
    return stmt->columnInt64(0);
}

void Store::countLoginFailure(std::string_view first, std::string_view second, std::int64_t forgetBefore,
                              const std::function<void(LoginFailures&)>& count) {
    write([&] {
        m_writer.prepared("DELETE FROM login_failures WHERE last_failure < ?1")->bind(1, forgetBefore).run();
        for (const std::string_view subject : {first, second}) {
            LoginFailures run;
            {
                // A run the service processes count at once is counted once by each: the row
                // (made empty when missing) is held until the write ends.
                m_writer
                    .prepared("INSERT INTO login_failures(subject, failures, last_failure, paused_until) "
                              "VALUES (?1, 0, 0, 0) ON CONFLICT (subject) DO NOTHING")
                    ->bind(1, subject)
                    .run();
                Query find = m_writer.prepared(
                    m_writer.dialect() == Dialect::Postgres
                        ? "SELECT failures, last_failure, paused_until FROM login_failures WHERE subject = ?1 FOR "
                          "UPDATE"
                        : "SELECT failures, last_failure, paused_until FROM login_failures WHERE subject = ?1");
                find->bind(1, subject);
                if (find->step()) {
                    run = LoginFailures{find->columnInt64(0), find->columnInt64(1), find->columnInt64(2)};
                }
            }
            count(run);
            m_writer
                .prepared("UPDATE login_failures SET failures = ?2, last_failure = ?3, paused_until = ?4 "
                          "WHERE subject = ?1")
                ->bind(1, subject)
                .bind(2, run.failures)
                .bind(3, run.lastFailure)
                .bind(4, run.pausedUntil)
                .run();
        }
    });
}

void Store::forgetLoginFailures(std::initializer_list<std::string_view> subjects) {
    write([&] {
        for (const std::string_view subject : subjects) {
            m_writer.prepared("DELETE FROM login_failures WHERE subject = ?1")->bind(1, subject).run();
        }
    });
}

} // namespace server
